#include <gtest/gtest.h>

#include <set>
#include <string>

#include "mqtt/codec/ProtocolVersion.h"
#include "mqtt/codec/ReasonCodes.h"

namespace {

using K = TPacketKind;

// Per packet, the reason codes its section of the standard lists: a view of
// the table from the other side.
TEST(ReasonCodes, AllowedExactlyWhereEachPacketListsThem)
{
    const struct {
        K Kind;
        std::set<int> Codes;
    } packets[] = {
        {K::Connack, {0x00, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8C, 0x90, 0x95, 0x97,
                      0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9F}},
        {K::Puback, {0x00, 0x10, 0x80, 0x83, 0x87, 0x90, 0x91, 0x97, 0x99}},
        {K::Pubrec, {0x00, 0x10, 0x80, 0x83, 0x87, 0x90, 0x91, 0x97, 0x99}},
        {K::Pubrel, {0x00, 0x92}},
        {K::Pubcomp, {0x00, 0x92}},
        {K::Suback, {0x00, 0x01, 0x02, 0x80, 0x83, 0x87, 0x8F, 0x91, 0x97, 0x9E, 0xA1, 0xA2}},
        {K::Unsuback, {0x00, 0x11, 0x80, 0x83, 0x87, 0x8F, 0x91}},
        {K::Disconnect, {0x00, 0x04, 0x80, 0x81, 0x82, 0x83, 0x87, 0x89, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F, 0x90, 0x93,
                         0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0x9F, 0xA0, 0xA1, 0xA2}},
        {K::Auth, {0x00, 0x18, 0x19}},
        {K::Connect, {}},
        {K::Publish, {}},
        {K::Subscribe, {}},
        {K::Will, {}},
    };
    for (const auto& p : packets)
        for (int code = 0; code < 256; ++code)
            EXPECT_EQ(IsReasonCodeAllowed(static_cast<uint8_t>(code), p.Kind), p.Codes.count(code) == 1)
                << PacketKindName(p.Kind) << " " << code;
    // 43 codes in all, 0x00 counted under each of its three names.
    EXPECT_EQ(ReasonCodeTable().size(), 45u);
}

TEST(ReasonCodes, NamesAndDisplay)
{
    const struct {
        uint8_t Code;
        K Kind;
        TProtocolVersion Version;
        const char* Name;
        const char* Shown;
    } cases[] = {
        {0x00, K::Puback, TProtocolVersion::MQTT50, "Success", "0x00 Success"},
        {0x00, K::Disconnect, TProtocolVersion::MQTT50, "Normal disconnection", "0x00 Normal disconnection"},
        {0x00, K::Suback, TProtocolVersion::MQTT50, "Granted QoS 0", "0x00 Granted QoS 0"},
        {0x02, K::Suback, TProtocolVersion::MQTT50, "Granted QoS 2", "0x02 Granted QoS 2"},
        {0x87, K::Connack, TProtocolVersion::MQTT50, "Not authorized", "0x87 Not authorized"},
        {0x8B, K::Disconnect, TProtocolVersion::MQTT50, "Server shutting down", "0x8B Server shutting down"},
        {0x18, K::Auth, TProtocolVersion::MQTT50, "Continue authentication", "0x18 Continue authentication"},
        {0xA2, K::Suback, TProtocolVersion::MQTT50, "Wildcard Subscriptions not supported",
         "0xA2 Wildcard Subscriptions not supported"},
        {0x8B, K::Puback, TProtocolVersion::MQTT50, "", "0x8B Server shutting down (not for PUBACK)"},
        {0x01, K::Connack, TProtocolVersion::MQTT50, "", "0x01 Granted QoS 1 (not for CONNACK)"},
        {0x05, K::Connack, TProtocolVersion::MQTT50, "", "0x05 unknown"},
        {0xFF, K::Disconnect, TProtocolVersion::MQTT50, "", "0xFF unknown"},
        // 3.1 and 3.1.1 return codes.
        {0x00, K::Connack, TProtocolVersion::MQTT311, "Success", "0x00 Connection Accepted"},
        {0x05, K::Connack, TProtocolVersion::MQTT31, "", "0x05 Connection Refused, not authorized"},
        {0x06, K::Connack, TProtocolVersion::MQTT311, "", "0x06 unknown"},
        {0x01, K::Suback, TProtocolVersion::MQTT311, "Granted QoS 1", "0x01 Success - Maximum QoS 1"},
        {0x80, K::Suback, TProtocolVersion::MQTT311, "Unspecified error", "0x80 Failure"},
        {0x87, K::Suback, TProtocolVersion::MQTT311, "Not authorized", "0x87 unknown"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReasonCodeName(c.Code, c.Kind), c.Name) << c.Shown;
        EXPECT_EQ(FormatReasonCode(c.Code, c.Kind, c.Version), c.Shown);
    }
}

TEST(ProtocolVersion, NamesParseBack)
{
    for (TProtocolVersion version : AllProtocolVersions)
        EXPECT_EQ(ParseProtocolVersion(ProtocolVersionName(version)), version);
    const struct {
        const char* Text;
        std::optional<TProtocolVersion> Version;
    } cases[] = {
        {"mqtt 3.1.1", TProtocolVersion::MQTT311},
        {" 3.1 ", TProtocolVersion::MQTT31},
        {"3.1.1", TProtocolVersion::MQTT311},
        {"5", TProtocolVersion::MQTT50},
        {"5.0", TProtocolVersion::MQTT50},
        {"4", std::nullopt},
        {"", std::nullopt},
        {"MQTT", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseProtocolVersion(c.Text), c.Version) << c.Text;
    EXPECT_EQ(ProtocolVersionName(TProtocolVersion::MQTT31), "MQTT 3.1 (MQIsdp)");
    EXPECT_EQ(ProtocolVersionName(TProtocolVersion::MQTT311), "MQTT 3.1.1");
    EXPECT_EQ(ProtocolVersionName(TProtocolVersion::MQTT50), "MQTT 5.0");
}

}  // namespace
