#include "mqtt/codec/Properties.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "mqtt/codec/AsciiText.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/codec/WireReader.h"
#include "platform/Error.h"

namespace {

using K = TPacketKind;
using T = TPropertyType;

constexpr uint32_t U16Max = 0xFFFF, U32Max = 0xFFFFFFFF;

constexpr TPacketKinds Message = Kinds(K::Publish, K::Will);
constexpr TPacketKinds Acks = Kinds(K::Puback, K::Pubrec, K::Pubrel, K::Pubcomp);
constexpr TPacketKinds Everywhere = Kinds(K::Connect, K::Connack, K::Publish, K::Will, K::Puback, K::Pubrec,
    K::Pubrel, K::Pubcomp, K::Subscribe, K::Suback, K::Unsubscribe, K::Unsuback, K::Disconnect, K::Auth);

constexpr TPropertyDef Table[] = {
    {0x01, "Payload Format Indicator", "payload-format-indicator", T::Byte, Message, 0, 0, 1},
    {0x02, "Message Expiry Interval", "message-expiry-interval", T::FourByteInteger, Message, 0, 0, U32Max},
    {0x03, "Content Type", "content-type", T::UTF8String, Message, 0, 0, 0},
    {0x08, "Response Topic", "response-topic", T::UTF8String, Message, 0, 0, 0},
    {0x09, "Correlation Data", "correlation-data", T::BinaryData, Message, 0, 0, 0},
    {0x0B, "Subscription Identifier", "subscription-identifier", T::VariableByteInteger,
     Kinds(K::Publish, K::Subscribe), Kinds(K::Publish), 1, MaxVariableByteInteger, Kinds(K::Publish)},
    {0x11, "Session Expiry Interval", "session-expiry-interval", T::FourByteInteger,
     Kinds(K::Connect, K::Connack, K::Disconnect), 0, 0, U32Max},
    {0x12, "Assigned Client Identifier", "assigned-client-identifier", T::UTF8String, Kinds(K::Connack), 0, 0, 0},
    {0x13, "Server Keep Alive", "server-keep-alive", T::TwoByteInteger, Kinds(K::Connack), 0, 0, U16Max},
    {0x15, "Authentication Method", "authentication-method", T::UTF8String, Kinds(K::Connect, K::Connack, K::Auth), 0,
     0, 0},
    {0x16, "Authentication Data", "authentication-data", T::BinaryData, Kinds(K::Connect, K::Connack, K::Auth), 0, 0,
     0},
    {0x17, "Request Problem Information", "request-problem-information", T::Byte, Kinds(K::Connect), 0, 0, 1},
    {0x18, "Will Delay Interval", "will-delay-interval", T::FourByteInteger, Kinds(K::Will), 0, 0, U32Max},
    {0x19, "Request Response Information", "request-response-information", T::Byte, Kinds(K::Connect), 0, 0, 1},
    {0x1A, "Response Information", "response-information", T::UTF8String, Kinds(K::Connack), 0, 0, 0},
    {0x1C, "Server Reference", "server-reference", T::UTF8String, Kinds(K::Connack, K::Disconnect), 0, 0, 0},
    {0x1F, "Reason String", "reason-string", T::UTF8String,
     Acks | Kinds(K::Connack, K::Suback, K::Unsuback, K::Disconnect, K::Auth), 0, 0, 0},
    {0x21, "Receive Maximum", "receive-maximum", T::TwoByteInteger, Kinds(K::Connect, K::Connack), 0, 1, U16Max},
    {0x22, "Topic Alias Maximum", "topic-alias-maximum", T::TwoByteInteger, Kinds(K::Connect, K::Connack), 0, 0,
     U16Max},
    {0x23, "Topic Alias", "topic-alias", T::TwoByteInteger, Kinds(K::Publish), 0, 1, U16Max},
    {0x24, "Maximum QoS", "maximum-qos", T::Byte, Kinds(K::Connack), 0, 0, 1},
    {0x25, "Retain Available", "retain-available", T::Byte, Kinds(K::Connack), 0, 0, 1},
    {0x26, "User Property", "user-property", T::UTF8StringPair, Everywhere, Everywhere, 0, 0},
    {0x27, "Maximum Packet Size", "maximum-packet-size", T::FourByteInteger, Kinds(K::Connect, K::Connack), 0, 1,
     U32Max},
    {0x28, "Wildcard Subscription Available", "wildcard-subscription-available", T::Byte, Kinds(K::Connack), 0, 0, 1},
    {0x29, "Subscription Identifier Available", "subscription-identifier-available", T::Byte, Kinds(K::Connack), 0, 0,
     1},
    {0x2A, "Shared Subscription Available", "shared-subscription-available", T::Byte, Kinds(K::Connack), 0, 0, 1},
};

bool IsNumeric(TPropertyType type)
{
    return type == T::Byte || type == T::TwoByteInteger || type == T::FourByteInteger ||
           type == T::VariableByteInteger;
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) c = Fold(c);
    return lower;
}

std::string PlaceName(TPacketKind kind)
{
    return kind == K::Will ? "the will" : std::string(PacketKindName(kind));
}

std::string OutOfRange(const TPropertyDef& def, uint64_t value)
{
    return std::string(def.Name) + ": " + std::to_string(value) + " is out of range (" + std::to_string(def.Min) +
           " to " + std::to_string(def.Max) + ")";
}

// The first reason why `property` may not follow the properties before it in
// that packet; empty when it may. `seen` holds one flag per identifier.
std::string Refusal(const TProperty& property, TPacketKind kind, bool (&seen)[256])
{
    const TPropertyDef* def = FindProperty(property.Id);
    if (!def) return "unknown property identifier " + FormatHexByte(property.Id);
    if (!HasKind(def->AllowedIn, kind)) return std::string(def->Name) + " is not allowed in " + PlaceName(kind);
    if (seen[property.Id] && !HasKind(def->RepeatableIn, kind))
        return std::string(def->Name) + " may appear only once in " + PlaceName(kind);
    seen[property.Id] = true;
    if (IsNumeric(def->Type) && (property.Number < def->Min || property.Number > def->Max))
        return OutOfRange(*def, property.Number);
    return {};
}

// Bytes a property takes on the wire, identifier included; texts already UTF-8.
struct TEncoded {
    uint8_t Id;
    TPropertyType Type;
    uint32_t Number;
    std::string First, Second;
};

}  // namespace

std::span<const TPropertyDef> PropertyTable() { return Table; }

const TPropertyDef* FindProperty(uint8_t id)
{
    for (const TPropertyDef& def : Table)
        if (def.Id == id) return &def;
    return nullptr;
}

const TPropertyDef* FindProperty(std::string_view nameOrKey)
{
    const std::string wanted = Lower(nameOrKey);
    for (const TPropertyDef& def : Table)
        if (wanted == Lower(def.Name) || wanted == def.Key || wanted == Lower(FormatHexByte(def.Id))) return &def;
    return nullptr;
}

std::string_view PropertyTypeName(TPropertyType type)
{
    switch (type) {
    case T::Byte:
        return "Byte";
    case T::TwoByteInteger:
        return "Two Byte Integer";
    case T::FourByteInteger:
        return "Four Byte Integer";
    case T::VariableByteInteger:
        return "Variable Byte Integer";
    case T::UTF8String:
        return "UTF-8 String";
    case T::UTF8StringPair:
        return "UTF-8 String Pair";
    case T::BinaryData:
        break;
    }
    return "Binary Data";
}

TProperty NumberProperty(uint8_t id, uint32_t value)
{
    TProperty property;
    property.Id = id;
    property.Number = value;
    return property;
}

TProperty TextProperty(uint8_t id, std::string text)
{
    TProperty property;
    property.Id = id;
    property.Text = std::move(text);
    return property;
}

TProperty PairProperty(uint8_t id, std::string name, std::string value)
{
    TProperty property;
    property.Id = id;
    property.Text = std::move(name);
    property.Text2 = std::move(value);
    return property;
}

TProperty BinaryProperty(uint8_t id, std::string bytes)
{
    TProperty property;
    property.Id = id;
    property.Bytes = std::move(bytes);
    return property;
}

void CheckProperties(const TPropertyList& list, TPacketKind kind)
{
    bool seen[256] = {};
    for (const TProperty& property : list) {
        std::string reason = Refusal(property, kind, seen);
        if (!reason.empty()) throw Exception(reason);
    }
}

std::string EncodeProperties(const TPropertyList& list, TPacketKind kind)
{
    CheckProperties(list, kind);
    // Sized first, then written front to back.
    std::vector<TEncoded> encoded;
    encoded.reserve(list.size());
    uint64_t size = 0;
    for (const TProperty& property : list) {
        const TPropertyDef& def = *FindProperty(property.Id);
        TEncoded e{property.Id, def.Type, property.Number, {}, {}};
        size += 1;
        switch (def.Type) {
        case T::Byte:
            size += 1;
            break;
        case T::TwoByteInteger:
            size += 2;
            break;
        case T::FourByteInteger:
            size += 4;
            break;
        case T::VariableByteInteger:
            size += VariableByteIntegerSize(property.Number);
            break;
        case T::UTF8StringPair:
            e.Second = TextToUTF8(property.Text2);
            if (e.Second.size() > 65535) throw Exception("utf8str too big");
            size += 2 + e.Second.size();
            [[fallthrough]];
        case T::UTF8String:
            e.First = TextToUTF8(property.Text);
            if (e.First.size() > 65535) throw Exception("utf8str too big");
            size += 2 + e.First.size();
            break;
        case T::BinaryData:
            e.First = property.Bytes;
            if (e.First.size() > 65535) throw Exception("utf8str too big");
            size += 2 + e.First.size();
            break;
        }
        encoded.push_back(std::move(e));
    }
    if (size > MaxVariableByteInteger) throw Exception("Property Length too big");
    const uint32_t length = static_cast<uint32_t>(size);
    std::string block(VariableByteIntegerSize(length) + size, '\0');
    auto* out = reinterpret_cast<uint8_t*>(block.data());
    out += EncodeVariableByteInteger(out, length);
    for (const TEncoded& e : encoded) {
        *out++ = e.Id;
        switch (e.Type) {
        case T::Byte:
            *out++ = static_cast<uint8_t>(e.Number);
            break;
        case T::TwoByteInteger:
            WriteU16BE(out, static_cast<int32_t>(e.Number));
            out += 2;
            break;
        case T::FourByteInteger:
            for (int shift = 24; shift >= 0; shift -= 8) *out++ = static_cast<uint8_t>(e.Number >> shift);
            break;
        case T::VariableByteInteger:
            out += EncodeVariableByteInteger(out, e.Number);
            break;
        case T::UTF8StringPair:
            out += EncodeUTF8Str(out, e.First);
            out += EncodeUTF8Str(out, e.Second);
            break;
        case T::UTF8String:
        case T::BinaryData:
            out += EncodeUTF8Str(out, e.First);
            break;
        }
    }
    return block;
}

TPropertiesRead DecodeProperties(TWireReader& reader, TPacketKind kind, TPropertyList& list, std::string& error)
{
    auto note = [&](const std::string& problem) {
        if (error.empty()) error = problem;
    };
    uint32_t length = 0;
    TWireReader lengthReader = reader;
    if (!lengthReader.Vbi(length)) {
        note(lengthReader.TooLong() ? "Property Length is longer than 4 bytes"
                                    : "Property Length runs past the end of the packet");
        return TPropertiesRead::Undelimited;
    }
    if (lengthReader.Remaining() < length) {
        note("Property Length " + std::to_string(length) + " runs past the end of the packet");
        return TPropertiesRead::Undelimited;
    }
    if (const std::string overlong = OverlongFault(length, lengthReader.VbiSize()); !overlong.empty())
        note("Property Length " + std::to_string(length) + " " + overlong);
    TWireReader block(lengthReader.Position(), lengthReader.Position() + length);
    reader = lengthReader;
    reader.Skip(length);

    bool seen[256] = {};
    while (!block.AtEnd()) {
        uint8_t id = 0;
        block.Byte(id);
        const TPropertyDef* def = FindProperty(id);
        if (!def) {
            // Its length is unknown, so nothing after it can be found.
            note("unknown property identifier " + FormatHexByte(id));
            return TPropertiesRead::Stopped;
        }
        TProperty property;
        property.Id = id;
        bool read = false;
        std::string fault;
        switch (def->Type) {
        case T::Byte: {
            uint8_t value = 0;
            read = block.Byte(value);
            property.Number = value;
            break;
        }
        case T::TwoByteInteger:
            read = block.U16(property.Number);
            break;
        case T::FourByteInteger:
            read = block.U32(property.Number);
            break;
        case T::VariableByteInteger:
            read = block.Vbi(property.Number);
            if (!read && block.TooLong()) {
                note(std::string(def->Name) + " is longer than 4 bytes");
                return TPropertiesRead::Stopped;
            }
            if (read && !(fault = OverlongFault(property.Number, block.VbiSize())).empty())
                fault = std::to_string(property.Number) + " " + fault;
            break;
        case T::UTF8String:
            read = block.Str(property.Text, fault);
            break;
        case T::UTF8StringPair: {
            std::string valueFault;
            read = block.Str(property.Text, fault) && block.Str(property.Text2, valueFault);
            if (fault.empty()) fault = valueFault;
            break;
        }
        case T::BinaryData:
            read = block.Binary(property.Bytes);
            break;
        }
        if (!read) {
            note(std::string(def->Name) + " runs past the end of the properties");
            return TPropertiesRead::Stopped;
        }
        // A refused property is left out; the ones after it are still read.
        if (std::string reason = Refusal(property, kind, seen); !reason.empty()) {
            note(reason);
            continue;
        }
        if (!fault.empty()) note(std::string(def->Name) + " " + fault);
        list.push_back(std::move(property));
    }
    return TPropertiesRead::Whole;
}

bool TryParseProperty(std::string_view nameOrKey, std::string_view value, TPacketKind kind, TProperty& property,
                      std::string& reason)
{
    try {
        property = ParseProperty(nameOrKey, value, kind);
        return true;
    } catch (const Exception& e) {
        reason = e.Message();
        return false;
    }
}

TProperty ParseProperty(std::string_view nameOrKey, std::string_view value, TPacketKind kind)
{
    const TPropertyDef* def = FindProperty(nameOrKey);
    if (!def) throw Exception("unknown property '" + std::string(nameOrKey) + "'");
    const std::string name(def->Name);
    if (!HasKind(def->AllowedIn, kind)) throw Exception(name + " is not allowed in " + PlaceName(kind));
    if (!ClientMaySend(*def, kind)) throw Exception(name + " is sent only by the broker in " + PlaceName(kind));

    TProperty property;
    property.Id = def->Id;
    switch (def->Type) {
    case T::Byte:
    case T::TwoByteInteger:
    case T::FourByteInteger:
    case T::VariableByteInteger: {
        std::string digits(value);
        while (!digits.empty() && std::isspace(static_cast<unsigned char>(digits.back()))) digits.pop_back();
        size_t start = 0;
        while (start < digits.size() && std::isspace(static_cast<unsigned char>(digits[start]))) ++start;
        digits.erase(0, start);
        int base = 10;
        size_t from = 0;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            base = 16;
            from = 2;
        }
        bool ok = from < digits.size();
        for (size_t i = from; i < digits.size(); ++i)
            if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(digits[i]))
                             : std::isdigit(static_cast<unsigned char>(digits[i]))))
                ok = false;
        if (!ok) throw Exception(name + ": '" + std::string(value) + "' is not a number");
        errno = 0;
        const unsigned long long number = std::strtoull(digits.c_str() + from, nullptr, base);
        if (errno == ERANGE || number < def->Min || number > def->Max)
            throw Exception(errno == ERANGE ? name + ": '" + std::string(value) + "' is out of range (" +
                                                  std::to_string(def->Min) + " to " + std::to_string(def->Max) + ")"
                                            : OutOfRange(*def, number));
        property.Number = static_cast<uint32_t>(number);
        break;
    }
    case T::UTF8String:
        property.Text = value;
        break;
    case T::UTF8StringPair: {
        const size_t equals = value.find('=');
        if (equals == std::string_view::npos)
            throw Exception(name + ": '" + std::string(value) + "' is not a pair (type it as key=value)");
        property.Text = value.substr(0, equals);
        property.Text2 = value.substr(equals + 1);
        break;
    }
    case T::BinaryData:
        if (value.size() >= 4 && Lower(value.substr(0, 4)) == "hex:") {
            std::string digits;
            for (char c : value.substr(4))
                if (c != ' ') digits += c;
            bool ok = digits.size() % 2 == 0;
            for (char c : digits)
                if (!std::isxdigit(static_cast<unsigned char>(c))) ok = false;
            if (!ok)
                throw Exception(name + ": '" + std::string(value) +
                                "' is not hex (an even number of hex digits after hex:)");
            for (size_t i = 0; i < digits.size(); i += 2)
                property.Bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
        } else {
            property.Bytes = TextToUTF8(value);
        }
        break;
    }
    return property;
}

std::string FormatPropertyValue(const TProperty& property)
{
    const TPropertyDef* def = FindProperty(property.Id);
    if (!def) return "?";
    switch (def->Type) {
    case T::UTF8String:
        return property.Text;
    case T::UTF8StringPair:
        return property.Text + "=" + property.Text2;
    case T::BinaryData: {
        static const char digits[] = "0123456789abcdef";
        std::string text = "hex:";
        for (unsigned char c : property.Bytes) {
            text += digits[c >> 4];
            text += digits[c & 0xF];
        }
        return text;
    }
    default:
        return std::to_string(property.Number);
    }
}

std::string FormatProperty(const TProperty& property)
{
    const TPropertyDef* def = FindProperty(property.Id);
    const std::string name = def ? std::string(def->Name) : "Property " + FormatHexByte(property.Id);
    return name + " = " + FormatPropertyValue(property);
}
