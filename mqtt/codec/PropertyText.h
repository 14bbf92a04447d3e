#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mqtt/codec/PacketKind.h"
#include "mqtt/codec/Properties.h"

// The text form of an MQTT 5.0 property list, as typed into a properties
// field of the console and into scripts:
//
//   session-expiry-interval = 3600; user-property = region=north
//
// Entries are separated by ";" or by line breaks; blank entries are skipped.
// Each entry is NAME = VALUE, split at its first "=":
//   NAME   the property's key ("session-expiry-interval"), its name as the
//          standard writes it ("Session Expiry Interval", any letter case) or
//          its identifier ("0x11");
//   VALUE  as ParseProperty reads it: a number in decimal or 0x hex, a user
//          property as key=value, binary data as hex:0a0b (or as text, sent as
//          its UTF-8 bytes), a string as it stands.
// Blanks around NAME and VALUE are dropped. A VALUE in double quotes is taken
// as written between them, blanks and ";" included; "" inside stands for one
// quote. A line break always ends an entry: no value holds one.

struct TPropertyEntry {
    std::string Name;
    std::string Value;

    bool operator==(const TPropertyEntry&) const = default;
};

// The entries as typed, not checked against the property table. Raises
// Exception naming the entry: "'abc' is not name = value", "'x = \"a' has no
// closing quote".
std::vector<TPropertyEntry> SplitPropertyText(std::string_view text);
// One line: entries joined by "; ", a value quoted where it needs it (blanks
// around it, a quote first, a ";" inside). SplitPropertyText gives the
// entries back.
std::string JoinPropertyText(const std::vector<TPropertyEntry>& entries);

// The property list for that packet (the will: TPacketKind::Will). Raises
// Exception with the codec's reason, which names the property: unknown, not
// allowed there, out of range, repeated where it may appear once, a text or
// binary value longer than 65,535 bytes.
TPropertyList ParsePropertyText(std::string_view text, TPacketKind kind);
// The list as the text above, by keys: "message-expiry-interval = 60; user-property = a=b".
std::string FormatPropertyText(const TPropertyList& list);
