#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt/codec/PacketKind.h"

class TWireReader;

// MQTT 5.0 properties. One table (PropertyTable) defines each property: its
// identifier, its name as the standard writes it, a key for scripts, its
// type, the packets it may appear in, where it may repeat, and the range of
// its value. Builders, the decoder and every display go through it.

enum class TPropertyType : uint8_t {
    Byte,
    TwoByteInteger,
    FourByteInteger,
    VariableByteInteger,
    UTF8String,
    UTF8StringPair,
    BinaryData,
};

struct TPropertyDef {
    uint8_t Id;
    std::string_view Name;   // "Session Expiry Interval"
    std::string_view Key;    // "session-expiry-interval"
    TPropertyType Type;
    TPacketKinds AllowedIn;
    TPacketKinds RepeatableIn;   // where it may appear more than once
    uint32_t Min, Max;           // accepted range of a numeric value
    TPacketKinds BrokerOnlyIn = 0;   // where only the broker may send it
};

// Whether the console may send the property in that packet (a property the
// packet may carry only from the broker is read, never sent).
constexpr bool ClientMaySend(const TPropertyDef& def, TPacketKind kind)
{
    return HasKind(def.AllowedIn, kind) && !HasKind(def.BrokerOnlyIn, kind);
}

// One property's value. Numbers are in Number; a UTF-8 string is in Text, a
// string pair in Text (name) and Text2 (value), both as text in the system
// code page; binary data is in Bytes, unchanged.
struct TProperty {
    uint8_t Id = 0;
    uint32_t Number = 0;
    std::string Text;
    std::string Text2;
    std::string Bytes;

    bool operator==(const TProperty&) const = default;
};

using TPropertyList = std::vector<TProperty>;

std::span<const TPropertyDef> PropertyTable();
const TPropertyDef* FindProperty(uint8_t id);
// By the standard's name (any letter case), the key, or the identifier written as 0x11.
const TPropertyDef* FindProperty(std::string_view nameOrKey);
std::string_view PropertyTypeName(TPropertyType type);   // "Two Byte Integer"

// Constructors of one property value.
TProperty NumberProperty(uint8_t id, uint32_t value);
TProperty TextProperty(uint8_t id, std::string text);
TProperty PairProperty(uint8_t id, std::string name, std::string value);   // User Property
TProperty BinaryProperty(uint8_t id, std::string bytes);

// Whether a list may go into that packet: every property known, allowed
// there, its value in range, and none repeated that may appear once. Raises
// Exception with a reason that names the property.
void CheckProperties(const TPropertyList& list, TPacketKind kind);

// Property Length as a variable byte integer, then each property, texts as
// UTF-8. Runs CheckProperties first; raises as it does, and "utf8str too
// big" for a text or binary value longer than 65,535 bytes.
std::string EncodeProperties(const TPropertyList& list, TPacketKind kind);

// How far DecodeProperties got.
enum class TPropertiesRead {
    // To the block's end. A property not allowed there, repeated, out of
    // range or with a fault in its UTF-8, or a length in more bytes than it
    // needs, is still named in `error`; a refused property is left out.
    Whole,
    // Delimited, but reading stopped inside it (an unknown identifier, whose
    // length nobody knows, or a property running past the block): the
    // properties after that point are unknown. The reader is after the block.
    Stopped,
    // The block's length is cut off, longer than 4 bytes or runs past the
    // end: where the packet goes on is unknown. The reader has not moved.
    Undelimited,
};

// Reads Property Length and the properties at the reader into `list`; the
// first problem goes into `error`, naming the property.
TPropertiesRead DecodeProperties(TWireReader& reader, TPacketKind kind, TPropertyList& list, std::string& error);

// From what a user types: the property's name, key or identifier, its value
// as text, and the packet it is for. Numbers are decimal (or 0x hex); a User
// Property is typed as key=value; binary data as hex:0a0b or as text (sent
// as its UTF-8 bytes). Raises Exception with a reason naming the property.
TProperty ParseProperty(std::string_view nameOrKey, std::string_view value, TPacketKind kind);
// The same without raising: false and the reason.
bool TryParseProperty(std::string_view nameOrKey, std::string_view value, TPacketKind kind, TProperty& property,
                      std::string& reason);

// The value as ParseProperty takes it back: 3600, key=value, hex:0a0b, text.
std::string FormatPropertyValue(const TProperty& property);
// One line: "Session Expiry Interval = 3600", "User Property = key=value".
std::string FormatProperty(const TProperty& property);
