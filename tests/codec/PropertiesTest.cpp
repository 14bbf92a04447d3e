#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "mqtt/codec/Properties.h"
#include "mqtt/codec/WireReader.h"
#include "platform/Error.h"

#include "codec/CodecTestSupport.h"

namespace {

using K = TPacketKind;

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::string EncodeFailure(const TPropertyList& list, K kind)
{
    try {
        EncodeProperties(list, kind);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

struct TDecoded {
    TPropertiesRead Read;
    TPropertyList List;
    std::string Error;
    int64_t Consumed;
};

// Decodes a property block held in an exactly sized buffer.
TDecoded Decode(const std::vector<uint8_t>& bytes, K kind)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    TWireReader reader(exact.get(), exact.get() + bytes.size());
    TDecoded d;
    d.Read = DecodeProperties(reader, kind, d.List, d.Error);
    d.Consumed = reader.Position() - exact.get();
    return d;
}

struct RoundTripCase {
    const char* Name;
    K Kind;
    TPropertyList List;
    const char* Block;
};

// Every type at its boundaries, encoded to the standard's bytes and decoded back.
TEST(Properties, EncodeToTheStandardsBytesAndDecodeBack)
{
    const RoundTripCase cases[] = {
        {"none", K::Publish, {}, "00"},
        {"byte 0", K::Publish, {NumberProperty(0x01, 0)}, "02 01 00"},
        {"byte 1", K::Will, {NumberProperty(0x01, 1)}, "02 01 01"},
        {"two byte 1", K::Connect, {NumberProperty(0x21, 1)}, "03 21 00 01"},
        {"two byte 65535", K::Connack, {NumberProperty(0x21, 65535)}, "03 21 FF FF"},
        {"two byte 0 where allowed", K::Connack, {NumberProperty(0x13, 0)}, "03 13 00 00"},
        {"four byte 0", K::Connect, {NumberProperty(0x11, 0)}, "05 11 00 00 00 00"},
        {"four byte max", K::Disconnect, {NumberProperty(0x11, 0xFFFFFFFF)}, "05 11 FF FF FF FF"},
        {"four byte order", K::Publish, {NumberProperty(0x02, 0x01020304)}, "05 02 01 02 03 04"},
        {"vbi 1", K::Subscribe, {NumberProperty(0x0B, 1)}, "02 0B 01"},
        {"vbi 127", K::Subscribe, {NumberProperty(0x0B, 127)}, "02 0B 7F"},
        {"vbi 128", K::Subscribe, {NumberProperty(0x0B, 128)}, "03 0B 80 01"},
        {"vbi 16383", K::Subscribe, {NumberProperty(0x0B, 16383)}, "03 0B FF 7F"},
        {"vbi 16384", K::Subscribe, {NumberProperty(0x0B, 16384)}, "04 0B 80 80 01"},
        {"vbi 2097151", K::Subscribe, {NumberProperty(0x0B, 2097151)}, "04 0B FF FF 7F"},
        {"vbi 2097152", K::Subscribe, {NumberProperty(0x0B, 2097152)}, "05 0B 80 80 80 01"},
        {"vbi max", K::Subscribe, {NumberProperty(0x0B, 268435455)}, "05 0B FF FF FF 7F"},
        {"string empty", K::Publish, {TextProperty(0x03, "")}, "03 03 00 00"},
        {"string", K::Publish, {TextProperty(0x08, "a/b")}, "06 08 00 03 61 2F 62"},
        {"pair", K::Connect, {PairProperty(0x26, "k", "v")}, "07 26 00 01 6B 00 01 76"},
        {"pair empty", K::Auth, {PairProperty(0x26, "", "")}, "05 26 00 00 00 00"},
        {"pairs repeat, in order", K::Suback, {PairProperty(0x26, "b", ""), PairProperty(0x26, "a", "")},
         "0C 26 00 01 62 00 00 26 00 01 61 00 00"},
        {"binary", K::Publish, {BinaryProperty(0x09, std::string("\x0a\x00\xff", 3))}, "06 09 00 03 0A 00 FF"},
        {"binary empty", K::Auth, {BinaryProperty(0x16, "")}, "03 16 00 00"},
        {"subscription identifiers repeat in PUBLISH", K::Publish,
         {NumberProperty(0x0B, 1), NumberProperty(0x0B, 300)}, "05 0B 01 0B AC 02"},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> expected = Hex(c.Block);
        EXPECT_EQ(Bytes(EncodeProperties(c.List, c.Kind)), expected) << c.Name;
        std::vector<uint8_t> withPayload = expected;
        withPayload.push_back(0x99);   // what follows the block is not read
        TDecoded d = Decode(withPayload, c.Kind);
        EXPECT_EQ(d.Read, TPropertiesRead::Whole) << c.Name;
        EXPECT_EQ(d.Error, "") << c.Name;
        EXPECT_EQ(d.List, c.List) << c.Name;
        EXPECT_EQ(d.Consumed, static_cast<int64_t>(expected.size())) << c.Name;
    }
    // A block of 128 bytes needs two length bytes.
    TPropertyList big{BinaryProperty(0x09, std::string(125, 'x'))};
    std::string block = EncodeProperties(big, K::Publish);
    ASSERT_EQ(block.size(), 130u);
    EXPECT_EQ(block.substr(0, 3), "\x80\x01\x09");
    EXPECT_EQ(Decode(Bytes(block), K::Publish).List, big);
}

TEST(Properties, RefusedBeforeEncodingNamingTheProperty)
{
    const struct {
        K Kind;
        TPropertyList List;
        const char* Reason;
    } cases[] = {
        {K::Connect, {NumberProperty(0x23, 1)}, "Topic Alias is not allowed in CONNECT"},
        {K::Publish, {NumberProperty(0x18, 1)}, "Will Delay Interval is not allowed in PUBLISH"},
        {K::Will, {NumberProperty(0x11, 1)}, "Session Expiry Interval is not allowed in the will"},
        {K::Pingreq, {PairProperty(0x26, "k", "v")}, "User Property is not allowed in PINGREQ"},
        {K::Publish, {TextProperty(0x03, "a"), TextProperty(0x03, "b")}, "Content Type may appear only once in PUBLISH"},
        {K::Subscribe, {NumberProperty(0x0B, 1), NumberProperty(0x0B, 2)},
         "Subscription Identifier may appear only once in SUBSCRIBE"},
        {K::Connack, {NumberProperty(0x24, 2)}, "Maximum QoS: 2 is out of range (0 to 1)"},
        {K::Connect, {NumberProperty(0x21, 0)}, "Receive Maximum: 0 is out of range (1 to 65535)"},
        {K::Connect, {NumberProperty(0x21, 65536)}, "Receive Maximum: 65536 is out of range (1 to 65535)"},
        {K::Publish, {NumberProperty(0x23, 0)}, "Topic Alias: 0 is out of range (1 to 65535)"},
        {K::Publish, {NumberProperty(0x01, 2)}, "Payload Format Indicator: 2 is out of range (0 to 1)"},
        {K::Connect, {NumberProperty(0x19, 2)}, "Request Response Information: 2 is out of range (0 to 1)"},
        {K::Connect, {NumberProperty(0x17, 2)}, "Request Problem Information: 2 is out of range (0 to 1)"},
        {K::Subscribe, {NumberProperty(0x0B, 0)}, "Subscription Identifier: 0 is out of range (1 to 268435455)"},
        {K::Publish, {NumberProperty(0x0B, 268435456)},
         "Subscription Identifier: 268435456 is out of range (1 to 268435455)"},
        {K::Connect, {NumberProperty(0x27, 0)}, "Maximum Packet Size: 0 is out of range (1 to 4294967295)"},
        {K::Publish, {NumberProperty(0x05, 0)}, "unknown property identifier 0x05"},
        {K::Publish, {TextProperty(0x03, std::string(65536, 'x'))}, "utf8str too big"},
    };
    for (const auto& c : cases) EXPECT_EQ(EncodeFailure(c.List, c.Kind), c.Reason);
}

TEST(Properties, DecodeNeverLeavesTheBlockAndNamesWhatIsWrong)
{
    constexpr TPropertiesRead Whole = TPropertiesRead::Whole, Stopped = TPropertiesRead::Stopped,
                              Undelimited = TPropertiesRead::Undelimited;
    const struct {
        const char* Bytes;
        K Kind;
        TPropertiesRead Read;
        size_t Kept;
        const char* Error;
    } cases[] = {
        {"", K::Publish, Undelimited, 0, "Property Length runs past the end of the packet"},
        {"80", K::Publish, Undelimited, 0, "Property Length runs past the end of the packet"},
        {"FF FF FF FF 01", K::Publish, Undelimited, 0, "Property Length is longer than 4 bytes"},
        {"05 01 00", K::Publish, Undelimited, 0, "Property Length 5 runs past the end of the packet"},
        {"80 00", K::Publish, Whole, 0, "Property Length 0 takes 2 bytes where 1 would do"},
        {"02 05 00", K::Publish, Stopped, 0, "unknown property identifier 0x05"},
        {"02 23 00", K::Publish, Stopped, 0, "Topic Alias runs past the end of the properties"},
        {"03 23 00 00", K::Publish, Whole, 0, "Topic Alias: 0 is out of range (1 to 65535)"},
        // A refused property is passed over; the ones after it are still read.
        {"05 21 00 05 01 01", K::Publish, Whole, 1, "Receive Maximum is not allowed in PUBLISH"},
        {"04 01 01 01 00", K::Publish, Whole, 1, "Payload Format Indicator may appear only once in PUBLISH"},
        {"04 03 00 05 61", K::Publish, Stopped, 0, "Content Type runs past the end of the properties"},
        {"06 26 00 01 6B 00 01", K::Publish, Stopped, 0, "User Property runs past the end of the properties"},
        {"04 09 00 02 0A", K::Publish, Stopped, 0, "Correlation Data runs past the end of the properties"},
        {"05 0B FF FF FF FF", K::Publish, Stopped, 0, "Subscription Identifier is longer than 4 bytes"},
        {"02 0B 80", K::Publish, Stopped, 0, "Subscription Identifier runs past the end of the properties"},
        {"03 0B 85 00", K::Publish, Whole, 1, "Subscription Identifier 5 takes 2 bytes where 1 would do"},
        // Strings must be well-formed UTF-8 without U+0000; they are kept as decoded.
        {"06 03 00 03 61 00 62", K::Publish, Whole, 1, "Content Type holds U+0000 at offset 1 (00)"},
        {"06 1F 00 03 ED A0 80", K::Puback, Whole, 1, "Reason String holds a surrogate at offset 0 (ED A0 80)"},
        {"08 26 00 01 6B 00 02 C3 28", K::Suback, Whole, 1, "User Property holds ill-formed UTF-8 at offset 0 (C3 28)"},
        {"05 08 00 02 C0 AF", K::Publish, Whole, 1, "Response Topic holds an overlong form at offset 0 (C0 AF)"},
        {"04 09 00 01 00", K::Publish, Whole, 1, ""},   // binary data may hold anything
        {"02 24 02", K::Connack, Whole, 0, "Maximum QoS: 2 is out of range (0 to 1)"},
        {"04 24 01 24 00", K::Connack, Whole, 1, "Maximum QoS may appear only once in CONNACK"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = Hex(c.Bytes);
        TDecoded d = Decode(bytes, c.Kind);
        EXPECT_EQ(d.Read, c.Read) << c.Bytes;
        EXPECT_EQ(d.List.size(), c.Kept) << c.Bytes;
        // A block that was delimited is passed over whole; one that was not leaves the reader where it was.
        EXPECT_EQ(d.Consumed, c.Read != Undelimited ? static_cast<int64_t>(bytes.size()) : 0) << c.Bytes;
        EXPECT_EQ(d.Error, c.Error) << c.Bytes;
    }
}

TEST(Properties, ParsedFromWhatAUserTypes)
{
    const struct {
        const char* Name;
        const char* Value;
        K Kind;
        TProperty Expected;
        const char* Reason;
    } cases[] = {
        {"Session Expiry Interval", "3600", K::Connect, NumberProperty(0x11, 3600), ""},
        {"session-expiry-interval", " 3600 ", K::Disconnect, NumberProperty(0x11, 3600), ""},
        {"SESSION EXPIRY INTERVAL", "0x10", K::Connack, NumberProperty(0x11, 16), ""},
        {"0x11", "4294967295", K::Connect, NumberProperty(0x11, 0xFFFFFFFF), ""},
        {"user-property", "k=v=w", K::Publish, PairProperty(0x26, "k", "v=w"), ""},
        {"User Property", "=", K::Auth, PairProperty(0x26, "", ""), ""},
        {"content-type", "text/plain; a=b", K::Will, TextProperty(0x03, "text/plain; a=b"), ""},
        {"correlation-data", "hex:0a0B ff", K::Publish, BinaryProperty(0x09, "\x0a\x0b\xff"), ""},
        {"correlation-data", "HEX:", K::Publish, BinaryProperty(0x09, ""), ""},
        {"authentication-data", "secret", K::Auth, BinaryProperty(0x16, "secret"), ""},
        {"session-expiry", "1", K::Connect, {}, "unknown property 'session-expiry'"},
        {"topic-alias", "1", K::Connect, {}, "Topic Alias is not allowed in CONNECT"},
        {"maximum-qos", "2", K::Connack, {}, "Maximum QoS: 2 is out of range (0 to 1)"},
        {"session-expiry-interval", "4294967296", K::Connect, {},
         "Session Expiry Interval: 4294967296 is out of range (0 to 4294967295)"},
        {"session-expiry-interval", "99999999999999999999999", K::Connect, {},
         "Session Expiry Interval: '99999999999999999999999' is out of range (0 to 4294967295)"},
        {"session-expiry-interval", "abc", K::Connect, {}, "Session Expiry Interval: 'abc' is not a number"},
        {"session-expiry-interval", "-1", K::Connect, {}, "Session Expiry Interval: '-1' is not a number"},
        {"topic-alias", "0x", K::Publish, {}, "Topic Alias: '0x' is not a number"},
        {"user-property", "kv", K::Publish, {}, "User Property: 'kv' is not a pair (type it as key=value)"},
        {"correlation-data", "hex:0a0", K::Publish, {},
         "Correlation Data: 'hex:0a0' is not hex (an even number of hex digits after hex:)"},
        {"correlation-data", "hex:zz", K::Publish, {},
         "Correlation Data: 'hex:zz' is not hex (an even number of hex digits after hex:)"},
    };
    for (const auto& c : cases) {
        TProperty property;
        std::string reason;
        const bool parsed = TryParseProperty(c.Name, c.Value, c.Kind, property, reason);
        EXPECT_EQ(parsed, *c.Reason == '\0') << c.Name << " " << c.Value;
        if (parsed)
            EXPECT_EQ(property, c.Expected) << c.Name << " " << c.Value;
        else
            EXPECT_EQ(reason, c.Reason) << c.Name << " " << c.Value;
    }
    EXPECT_THROW(ParseProperty("maximum-qos", "2", K::Connack), Exception);
}

// Per packet, the properties its section of the standard lists: a view of
// the table from the other side.
TEST(Properties, AllowedExactlyWhereEachPacketListsThem)
{
    const struct {
        K Kind;
        std::set<int> Ids;
    } packets[] = {
        {K::Connect, {0x11, 0x21, 0x27, 0x22, 0x19, 0x17, 0x26, 0x15, 0x16}},
        {K::Will, {0x18, 0x01, 0x02, 0x03, 0x08, 0x09, 0x26}},
        {K::Connack, {0x11, 0x21, 0x24, 0x25, 0x27, 0x12, 0x22, 0x1F, 0x26, 0x28, 0x29, 0x2A, 0x13, 0x1A, 0x1C, 0x15,
                      0x16}},
        {K::Publish, {0x01, 0x02, 0x23, 0x08, 0x09, 0x26, 0x0B, 0x03}},
        {K::Puback, {0x1F, 0x26}},
        {K::Pubrec, {0x1F, 0x26}},
        {K::Pubrel, {0x1F, 0x26}},
        {K::Pubcomp, {0x1F, 0x26}},
        {K::Subscribe, {0x0B, 0x26}},
        {K::Suback, {0x1F, 0x26}},
        {K::Unsubscribe, {0x26}},
        {K::Unsuback, {0x1F, 0x26}},
        {K::Pingreq, {}},
        {K::Pingresp, {}},
        {K::Disconnect, {0x11, 0x1F, 0x26, 0x1C}},
        {K::Auth, {0x15, 0x16, 0x1F, 0x26}},
    };
    for (const auto& p : packets)
        for (int id = 0; id < 256; ++id) {
            const TPropertyDef* def = FindProperty(static_cast<uint8_t>(id));
            EXPECT_EQ(def && HasKind(def->AllowedIn, p.Kind), p.Ids.count(id) == 1)
                << PacketKindName(p.Kind) << " " << id;
        }
}

// Each property's displayed value reads back to the same property, and its
// key and name both find it.
TEST(Properties, DisplayedValueParsesBack)
{
    std::set<std::string> keys;
    for (const TPropertyDef& def : PropertyTable()) {
        EXPECT_TRUE(keys.insert(std::string(def.Key)).second) << def.Key;
        EXPECT_EQ(FindProperty(def.Key), &def);
        EXPECT_EQ(FindProperty(def.Name), &def);
        K kind = K::Connect;
        for (int k = 1; k <= static_cast<int>(K::Will); ++k)
            if (ClientMaySend(def, static_cast<K>(k))) {
                kind = static_cast<K>(k);
                break;
            }
        TProperty sample;
        sample.Id = def.Id;
        switch (def.Type) {
        case TPropertyType::UTF8String:
            sample.Text = "a b=c";
            break;
        case TPropertyType::UTF8StringPair:
            sample.Text = "k";
            sample.Text2 = "v=1";
            break;
        case TPropertyType::BinaryData:
            sample.Bytes = std::string("\x00\x7f\x80\xff", 4);
            break;
        default:
            sample.Number = def.Max;
        }
        EXPECT_EQ(ParseProperty(def.Key, FormatPropertyValue(sample), kind), sample) << def.Name;
    }
    EXPECT_EQ(FormatProperty(NumberProperty(0x11, 3600)), "Session Expiry Interval = 3600");
    EXPECT_EQ(FormatProperty(PairProperty(0x26, "key", "value")), "User Property = key=value");
    EXPECT_EQ(FormatProperty(BinaryProperty(0x09, "\x0a\x0b")), "Correlation Data = hex:0a0b");
    EXPECT_EQ(FormatProperty(TextProperty(0x03, "text/plain")), "Content Type = text/plain");
}

}  // namespace
