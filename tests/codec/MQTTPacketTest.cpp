#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/WirePrimitives.h"
#include "platform/Error.h"

#include "codec/CodecTestSupport.h"

namespace {

std::string CreateFailure(const std::vector<uint8_t>& frame, TProtocolVersion version = TProtocolVersion::MQTT31)
{
    try {
        TMQTTPacket packet(frame.data(), static_cast<int32_t>(frame.size()), version);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

// Expected field values; fields left at their defaults must stay empty/zero.
struct DecodeCase {
    const char* Frame;
    int32_t Type, ID, LengthBytes;
    bool Dup = false;
    int32_t Qos = 0;
    bool Retain = false;
    int32_t ReturnCode = 0;
    const char* Topic = "";
    int32_t DataOffset = -1;   // -1: no payload pointer
    int32_t DataSize = 0;
    const char* SubTopics = "";
    const char* SubQoS = "";
    const char* Granted = "";
    const char* UnsubTopics = "";
    TProtocolVersion Version = TProtocolVersion::MQTT31;
    bool SessionPresent = false;
    std::vector<uint8_t> Codes = {};
};

class PacketDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(PacketDecodeTest, CreateThenAnalyze)
{
    const DecodeCase& c = GetParam();
    std::vector<uint8_t> frame = Hex(c.Frame);
    TMQTTPacket packet(frame.data(), static_cast<int32_t>(frame.size()), c.Version);
    EXPECT_EQ(packet.MessageType, c.Type);
    EXPECT_EQ(packet.MessageID, c.ID);
    EXPECT_EQ(packet.RemainLengthBytes, c.LengthBytes);
    EXPECT_EQ(packet.FrameSize, static_cast<int32_t>(frame.size()));
    EXPECT_NE(packet.FrameData.get(), frame.data());
    // The fixed-header fields wait for the analysis.
    EXPECT_FALSE(packet.FixedDup);
    EXPECT_EQ(packet.FixedQos, 0);
    EXPECT_FALSE(packet.FixedRetain);

    for (int pass = 0; pass < 2; ++pass) {   // a second analysis gives the same fields
        packet.AnalyzePacket();
        EXPECT_EQ(packet.FixedDup, c.Dup);
        EXPECT_EQ(packet.FixedQos, c.Qos);
        EXPECT_EQ(packet.FixedRetain, c.Retain);
        EXPECT_EQ(packet.ConnectReturnCode, c.ReturnCode);
        EXPECT_EQ(packet.PublishTopic, c.Topic);
        if (c.DataOffset < 0)
            EXPECT_EQ(packet.PublishData, nullptr);
        else
            EXPECT_EQ(packet.PublishData, packet.FrameData.get() + c.DataOffset);
        EXPECT_EQ(packet.PublishDataSize, c.DataSize);
        EXPECT_EQ(packet.SubscribeTopicList, c.SubTopics);
        EXPECT_EQ(packet.SubscribeReqQoSList, c.SubQoS);
        EXPECT_EQ(packet.SubackGrantedQoSList, c.Granted);
        EXPECT_EQ(packet.UnsubscribeTopicList, c.UnsubTopics);
        EXPECT_EQ(packet.ClientID, "");
        EXPECT_EQ(packet.SessionPresent, c.SessionPresent);
        EXPECT_EQ(packet.ReasonCodes, c.Codes);
    }
}

DecodeCase Connack(const char* frame, int32_t code, TProtocolVersion version = TProtocolVersion::MQTT31, bool sessionPresent = false)
{
    DecodeCase c{frame, 2, 0, 1};
    c.ReturnCode = code;
    c.Version = version;
    c.SessionPresent = sessionPresent;
    return c;
}

DecodeCase Publish(const char* frame, int32_t id, int32_t qos, bool dup, bool retain, int32_t offset, int32_t size,
                   int lengthBytes = 1, const char* topic = "a/b")
{
    DecodeCase c{frame, 3, id, lengthBytes};
    c.Qos = qos;
    c.Dup = dup;
    c.Retain = retain;
    c.Topic = topic;
    c.DataOffset = offset;
    c.DataSize = size;
    return c;
}

DecodeCase Suback(const char* frame, int32_t id, const char* granted, std::vector<uint8_t> codes,
                  TProtocolVersion version = TProtocolVersion::MQTT31)
{
    DecodeCase c{frame, 9, id, 1};
    c.Granted = granted;
    c.Codes = std::move(codes);
    c.Version = version;
    return c;
}

DecodeCase Subscribe(const char* frame, const char* topics, const char* qos)
{
    DecodeCase c{frame, 8, 1, 1};
    c.Qos = 1;
    c.SubTopics = topics;
    c.SubQoS = qos;
    return c;
}

DecodeCase Unsubscribe(const char* frame, const char* topics)
{
    DecodeCase c{frame, 10, 2, 1};
    c.Qos = 1;
    c.UnsubTopics = topics;
    return c;
}

DecodeCase Plain(const char* frame, int32_t type, int32_t id, int32_t qos = 0, bool dup = false)
{
    DecodeCase c{frame, type, id, 1};
    c.Qos = qos;
    c.Dup = dup;
    return c;
}

INSTANTIATE_TEST_SUITE_P(Frames, PacketDecodeTest, ::testing::Values(
    Connack("20 02 00 00", 0),
    Connack("20 02 00 05", 5),
    Plain("D0 00", 13, 0),
    Plain("C0 00", 12, 0),
    Plain("E0 00", 14, 0),
    Plain("40 02 00 0A", 4, 10),
    Plain("50 02 FF FF", 5, 65535),
    Plain("60 02 00 07", 6, 7),        // PUBREL without QoS bits is accepted
    Plain("6A 02 00 07", 6, 7, 1, true),
    Plain("70 02 00 0A", 7, 10),
    Plain("B0 02 00 03", 11, 3),
    Connack("20 02 01 00", 0),                          // 3.1: the first byte is not looked at
    Connack("20 02 01 00", 0, TProtocolVersion::MQTT311, true),
    Connack("20 02 00 05", 5, TProtocolVersion::MQTT311, false),
    Suback("90 03 00 05 01", 5, "1", {1}),
    Suback("90 04 00 05 00 02", 5, "0,2", {0, 2}),
    Suback("90 03 00 05 80", 5, "128", {0x80}),
    Suback("90 02 00 05", 5, "", {}),
    Suback("90 04 00 05 80 01", 5, "128,1", {0x80, 1}, TProtocolVersion::MQTT311),
    Publish("30 08 00 03 61 2F 62 68 69 6A", 0, 0, false, false, 7, 3),
    Publish("32 0A 00 03 61 2F 62 00 0A 68 69 6A", 10, 1, false, false, 9, 3),
    Publish("3B 0A 00 03 61 2F 62 00 0A 68 69 6A", 10, 1, true, true, 9, 3),
    Publish("34 07 00 03 61 2F 62 00 0B", 11, 2, false, false, 9, 0),
    Publish("30 05 00 03 61 2F 62", 0, 0, false, false, 7, 0),
    Subscribe("82 08 00 01 00 03 61 2F 62 01", "a/b", "1"),
    Subscribe("82 0E 00 01 00 03 61 20 62 00 00 03 61 2C 62 02", "\"a b\",\"a,b\"", "0,2"),
    Unsubscribe("A2 0A 00 02 00 03 61 2F 62 00 01 78", "a/b,x"),
    Unsubscribe("A2 04 00 02 00 00", "\"\"")));

TEST(PacketDecode, PublishWithTwoLengthBytes)
{
    std::vector<uint8_t> frame = Hex("30 C8 01 00 03 61 2F 62");
    frame.resize(3 + 200, 0x41);
    TMQTTPacket packet(frame.data(), static_cast<int32_t>(frame.size()));
    EXPECT_EQ(packet.RemainLengthBytes, 2);
    packet.AnalyzePacket();
    EXPECT_EQ(packet.PublishTopic, "a/b");
    EXPECT_EQ(packet.PublishData, packet.FrameData.get() + 8);
    EXPECT_EQ(packet.PublishDataSize, 195);
}

TEST(PacketDecode, ConnectFromTheBuilder)
{
    struct Case {
        std::string ClientID, UserName, Password, WillTopic, WillMessage;
        int32_t Flags;
    } cases[] = {
        {"dev1", "", "", "", "", 0x02},
        {"dev1", "u", "", "w", "bye", 0x8E},
        {"c", "", "pw", "", "", 0x42},
        {"c", "user", "pw", "will/t", "m", 0xCE},
    };
    for (const auto& c : cases) {
        TFrameBuffer frame;
        int32_t length = 0;
        ASSERT_TRUE(BuildConnectFrame(frame, length, c.ClientID, c.UserName, c.Password, false, true,
                                      c.WillTopic.empty() ? 0 : 1, 60, c.WillTopic, c.WillMessage));
        TMQTTPacket packet(frame.get(), length);
        EXPECT_EQ(packet.MessageType, 1);
        EXPECT_EQ(packet.MessageID, 0);
        packet.AnalyzePacket();
        EXPECT_EQ(packet.ConnectFlags, c.Flags);
        EXPECT_EQ(packet.KeepAliveTimer, 60);
        EXPECT_EQ(packet.ClientID, c.ClientID);
        EXPECT_EQ(packet.UserName, c.UserName);
        EXPECT_EQ(packet.Password, c.Password);
        EXPECT_EQ(packet.WillTopic, c.WillTopic);
        EXPECT_EQ(packet.WillMessage, c.WillMessage);
    }
}

TEST(PacketDecode, SubackRefusalPerTopicFollowsTheVersion)
{
    struct Case {
        TProtocolVersion Version;
        const char* Frame;
        std::vector<bool> Refused;
    } cases[] = {
        {TProtocolVersion::MQTT31, "90 06 00 05 00 80 02 87", {false, true, false, false, false}},
        {TProtocolVersion::MQTT311, "90 06 00 05 00 80 02 87", {false, true, false, false, false}},
        // 5.0: an empty property block before the codes; the last: beyond the last topic.
        {TProtocolVersion::MQTT50, "90 07 00 05 00 00 80 02 87", {false, true, false, true, false}},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> frame = Hex(c.Frame);
        TMQTTPacket packet(frame.data(), static_cast<int32_t>(frame.size()), c.Version);
        packet.AnalyzePacket();
        EXPECT_EQ(packet.SubackGrantedQoSList, "0,128,2,135");
        std::vector<bool> refused;
        for (size_t i = 0; i < 5; ++i) refused.push_back(packet.SubscriptionRefused(i));
        EXPECT_EQ(refused, c.Refused) << ProtocolVersionName(c.Version);
    }
}

TEST(PacketDecode, ConnectNameAndLevelAreReadNotSkipped)
{
    struct Case {
        TProtocolVersion Version;
        TConnectParams Params;
        const char* Name;
    } cases[] = {
        {TProtocolVersion::MQTT31, {}, "MQIsdp"},
        {TProtocolVersion::MQTT311, {}, "MQTT"},
    };
    for (auto& c : cases) {
        c.Params.Version = c.Version;
        c.Params.ClientID = "dev1";
        c.Params.UserName = "u";
        c.Params.Password = "pw";
        c.Params.WillTopic = "w";
        c.Params.WillMessage = "bye";
        c.Params.WillQoS = 2;
        c.Params.KeepAliveTimer = 300;
        TFrameBuffer frame;
        int32_t length = 0;
        ASSERT_TRUE(BuildConnectFrame(frame, length, c.Params));
        TMQTTPacket packet(frame.get(), length, c.Version);
        packet.AnalyzePacket();
        EXPECT_EQ(packet.ProtocolName, c.Name);
        EXPECT_EQ(packet.ProtocolLevel, static_cast<int32_t>(c.Version));
        EXPECT_EQ(packet.ConnectFlags, 0xD6);
        EXPECT_EQ(packet.KeepAliveTimer, 300);
        EXPECT_EQ(packet.ClientID, "dev1");
        EXPECT_EQ(packet.WillTopic, "w");
        EXPECT_EQ(packet.WillMessage, "bye");
        EXPECT_EQ(packet.UserName, "u");
        EXPECT_EQ(packet.Password, "pw");
    }
}

// Frames under 3.1.1 and 5.0: the fields 3.1 does not have, and what is wrong inside.
struct VersionedCase {
    const char* Name;
    TProtocolVersion Version;
    const char* Frame;
    int32_t ReasonCode;
    std::vector<std::string> Properties;   // as FormatProperty shows them
    const char* Error;
    std::function<void(const TMQTTPacket&)> More = nullptr;
};

std::vector<std::string> Lines(const TPropertyList& list)
{
    std::vector<std::string> lines;
    for (const TProperty& property : list) lines.push_back(FormatProperty(property));
    return lines;
}

TEST(PacketDecode, VersionedFieldsAndProblemsInside)
{
    constexpr TProtocolVersion V31 = TProtocolVersion::MQTT31, V311 = TProtocolVersion::MQTT311,
                               V50 = TProtocolVersion::MQTT50;
    const VersionedCase cases[] = {
        {"connack refused, session present", V50, "20 03 01 87 00", 0x87, {}, "",
         [](const TMQTTPacket& p) {
             EXPECT_TRUE(p.SessionPresent);
             EXPECT_EQ(p.ConnectReturnCode, 0x87);
         }},
        {"connack of 3.1.1 under 5.0", V50, "20 02 00 01", 1, {}, "reason code 0x01 is not allowed in CONNACK"},
        {"connack reserved flags", V311, "20 02 02 00", 0, {}, "CONNACK with reserved acknowledge flags 0x02"},
        {"puback reason code only", V50, "40 03 00 01 10", 0x10, {}, ""},
        {"puback long", V50, "40 08 00 0A 10 04 1F 00 01 78", 0x10, {"Reason String = x"}, ""},
        {"puback code of another packet", V50, "40 03 00 0A 92", 0x92, {}, "reason code 0x92 is not allowed in PUBACK"},
        {"puback longer than 3.1.1 has it", V311, "40 03 00 0A 10", 0, {}, "1 bytes after the end of PUBACK"},
        {"pubrel with MessageID 0", V311, "62 02 00 00", 0, {}, "PUBREL with MessageID 0"},
        {"pubrel without its flags", V50, "60 02 00 07", 0, {}, "PUBREL fixed header flags 0x00, not 0x02"},
        {"pubrel without its flags under 3.1", V31, "60 02 00 07", 0, {}, ""},
        {"publish qos 3", V311, "36 07 00 01 61 00 01 68 69", 0, {}, "PUBLISH with QoS 3"},
        {"publish topic alias", V50, "30 08 00 00 03 23 00 01 68 69", 0, {"Topic Alias = 1"}, "",
         [](const TMQTTPacket& p) {
             EXPECT_EQ(p.PublishTopic, "");
             EXPECT_EQ(p.PublishData, p.FrameData.get() + 8);
             EXPECT_EQ(p.PublishDataSize, 2);
         }},
        {"publish qos 1 with repeated identifiers", V50,
         "32 13 00 01 61 00 07 0B 0B 01 0B 80 01 26 00 01 6B 00 00 68 69", 0,
         {"Subscription Identifier = 1", "Subscription Identifier = 128", "User Property = k="}, "",
         [](const TMQTTPacket& p) {
             EXPECT_EQ(p.MessageID, 7);
             EXPECT_EQ(p.PublishTopic, "a");
             EXPECT_EQ(p.PublishDataSize, 2);
         }},
        {"publish empty topic without alias", V50, "30 05 00 00 00 68 69", 0, {},
         "PUBLISH with an empty topic and no Topic Alias", [](const TMQTTPacket& p) { EXPECT_EQ(p.PublishDataSize, 2); }},
        {"publish property not allowed, payload still found", V50, "30 09 00 01 61 04 1F 00 01 78 68", 0, {},
         "Reason String is not allowed in PUBLISH", [](const TMQTTPacket& p) {
             EXPECT_EQ(p.PublishDataSize, 1);
             EXPECT_FALSE(p.DecodeStopped);
         }},
        {"publish properties past the end", V50, "30 06 00 01 61 05 01 00", 0, {},
         "Property Length 5 runs past the end of the packet", [](const TMQTTPacket& p) {
             EXPECT_EQ(p.PublishTopic, "a");
             EXPECT_EQ(p.PublishData, nullptr);
             EXPECT_TRUE(p.DecodeStopped);
         }},
        {"publish with an unknown property", V50, "30 07 00 01 61 02 05 00 68", 0, {},
         "unknown property identifier 0x05", [](const TMQTTPacket& p) {
             EXPECT_EQ(p.PublishDataSize, 1);
             EXPECT_TRUE(p.DecodeStopped);
         }},
        // Broker faults in strings and numbers, from 3.1.1 on; the text is decoded as 3.1 does it.
        {"publish topic with U+0000", V311, "30 06 00 03 61 00 62 68", 0, {}, "the topic holds U+0000 at offset 1 (00)",
         [](const TMQTTPacket& p) {
             EXPECT_EQ(p.PublishTopic, "a");
             EXPECT_EQ(p.PublishDataSize, 1);
             EXPECT_FALSE(p.DecodeStopped);
         }},
        {"publish topic with U+0000 under 3.1", V31, "30 06 00 03 61 00 62 68", 0, {}, "",
         [](const TMQTTPacket& p) { EXPECT_EQ(p.PublishTopic, "a"); }},
        {"publish topic not UTF-8", V50, "30 06 00 02 C3 28 00 68", 0, {},
         "the topic holds ill-formed UTF-8 at offset 0 (C3 28)", [](const TMQTTPacket& p) { EXPECT_EQ(p.PublishTopic, ""); }},
        {"publish topic with a surrogate", V311, "30 06 00 03 ED A0 80 68", 0, {},
         "the topic holds a surrogate at offset 0 (ED A0 80)"},
        {"publish topic with #", V311, "30 06 00 03 61 2F 23 68", 0, {}, "the topic holds the wildcard #"},
        {"publish topic with +", V50, "30 07 00 03 2B 2F 61 00 68", 0, {}, "the topic holds the wildcard +"},
        {"publish empty topic", V311, "30 03 00 00 68", 0, {}, "PUBLISH with an empty topic"},
        {"publish remaining length overlong", V311, "30 84 00 00 01 61 68", 0, {},
         "Remaining Length 4 takes 2 bytes where 1 would do", [](const TMQTTPacket& p) { EXPECT_EQ(p.PublishTopic, "a"); }},
        {"pingresp remaining length 80 00", V50, "D0 80 00", 0, {}, "Remaining Length 0 takes 2 bytes where 1 would do"},
        {"subscribe topic with U+0000", V311, "82 07 00 01 00 02 61 00 01", 0, {}, "topic 1 holds U+0000 at offset 1 (00)"},
        {"connect user name not UTF-8, password binary", V311,
         "10 14 00 04 4D 51 54 54 04 C2 00 3C 00 01 63 00 01 FF 00 02 00 FF", 0, {},
         "the UserName holds ill-formed UTF-8 at offset 0 (FF)"},
        {"subscribe with options", V50, "82 0B 00 01 02 0B 05 00 03 61 2F 62 2E", 0, {"Subscription Identifier = 5"}, "",
         [](const TMQTTPacket& p) {
             EXPECT_EQ(p.SubscribeTopicList, "a/b");
             EXPECT_EQ(p.SubscribeReqQoSList, "\"2 nl rap rh=2\"");
             EXPECT_EQ(p.SubscribeOptions, std::vector<uint8_t>{0x2E});
         }},
        {"subscribe reserved option bits", V50, "82 0B 00 01 00 00 01 61 01 00 01 62 C1", 0, {},
         "subscription options 0xC1 of topic 2 are not valid",
         [](const TMQTTPacket& p) { EXPECT_EQ(p.SubscribeReqQoSList, "1,\"1 reserved=0xC0\""); }},
        {"subscribe with dup", V311, "8A 06 00 01 00 01 61 01", 0, {}, "SUBSCRIBE fixed header flags 0x0A, not 0x02"},
        {"subscribe without topics", V311, "82 02 00 01", 0, {}, "SUBSCRIBE without topics"},
        {"suback refused with reason", V50, "90 08 00 01 04 1F 00 01 78 80", 0, {"Reason String = x"}, "",
         [](const TMQTTPacket& p) {
             EXPECT_EQ(p.SubackGrantedQoSList, "128");
             EXPECT_TRUE(p.SubscriptionRefused(0));
         }},
        {"suback code not for suback", V50, "90 04 00 01 00 10", 0, {}, "reason code 0x10 is not allowed in SUBACK"},
        {"suback 3.1.1 code", V311, "90 03 00 01 03", 0, {}, "return code 0x03 is not allowed in SUBACK"},
        {"unsuback 3.1.1", V311, "B0 02 00 02", 0, {}, "", [](const TMQTTPacket& p) { EXPECT_TRUE(p.ReasonCodes.empty()); }},
        {"unsubscribe", V50, "A2 08 00 02 00 00 03 61 2F 62", 0, {}, "",
         [](const TMQTTPacket& p) { EXPECT_EQ(p.UnsubscribeTopicList, "a/b"); }},
        {"disconnect with will", V50, "E0 01 04", 4, {}, ""},
        {"disconnect with session expiry", V50, "E0 07 00 05 11 00 00 00 00", 0, {"Session Expiry Interval = 0"}, ""},
        {"disconnect code of another packet", V50, "E0 01 10", 0x10, {}, "reason code 0x10 is not allowed in DISCONNECT"},
        {"disconnect with a body under 3.1.1", V311, "E0 01 04", 0, {}, "1 bytes after the end of DISCONNECT"},
        {"auth", V50, "F0 0F 18 0D 15 00 05 53 43 52 41 4D 16 00 02 01 02", 0x18,
         {"Authentication Method = SCRAM", "Authentication Data = hex:0102"}, "",
         [](const TMQTTPacket& p) { EXPECT_EQ(p.MessageType, 15); }},
        {"pingresp with a byte too many", V311, "D0 01 00", 0, {}, "1 bytes after the end of PINGRESP"},
        {"connect cut inside the will properties", V50, "10 12 00 04 4D 51 54 54 05 06 00 3C 00 00 01 63 05 18 00 00", 0,
         {}, "Property Length 5 runs past the end of the packet", [](const TMQTTPacket& p) {
             EXPECT_EQ(p.ClientID, "c");
             EXPECT_EQ(p.WillTopic, "");
         }},
        {"connect with will QoS and no will", V311, "10 0D 00 04 4D 51 54 54 04 0A 00 00 00 01 63", 0, {},
         "CONNECT with will QoS or will retain but no will"},
        {"connect cut inside the ClientID", V311, "10 0D 00 04 4D 51 54 54 04 02 00 00 00 05 63", 0, {},
         "the frame ends inside the ClientID"},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> frame = Hex(c.Frame);
        TMQTTPacket packet(frame.data(), static_cast<int32_t>(frame.size()), c.Version);
        packet.AnalyzePacket();
        EXPECT_EQ(packet.ReasonCode, c.ReasonCode) << c.Name;
        EXPECT_EQ(Lines(packet.Properties), c.Properties) << c.Name;
        EXPECT_EQ(packet.DecodeError, c.Error) << c.Name;
        if (c.More) {
            SCOPED_TRACE(c.Name);
            c.More(packet);
        }
    }
    // AUTH is a packet of 5.0 only.
    EXPECT_EQ(CreateFailure(Hex("F0 00"), TProtocolVersion::MQTT311), "unknown MQTT message");

    // The topic a connection resolved for an alias stands in for an empty topic only, analysis after analysis.
    for (const auto& [frameText, topic] : {std::pair{"30 08 00 00 03 23 00 01 68 69", "a/b"},
                                           std::pair{"30 09 00 01 63 03 23 00 01 68 69", "c"}}) {
        const std::vector<uint8_t> frame = Hex(frameText);
        TMQTTPacket packet(frame.data(), static_cast<int32_t>(frame.size()), V50);
        packet.AliasedTopic = "a/b";
        packet.AnalyzePacket();
        packet.AnalyzePacket();
        EXPECT_EQ(packet.PublishTopic, topic) << frameText;
        EXPECT_EQ(packet.DecodeError, "");
    }
}

TEST(PacketDecode, Connect50FromTheBuilder)
{
    TConnectParams params;
    params.Version = TProtocolVersion::MQTT50;
    params.ClientID = "dev1";
    params.UserName = "u";
    params.Password = "pw";
    params.WillTopic = "w";
    params.WillMessage = "bye";
    params.Properties = {NumberProperty(0x11, 3600), PairProperty(0x26, "k", "v")};
    params.WillProperties = {NumberProperty(0x18, 5), TextProperty(0x03, "text/plain")};
    TFrameBuffer frame;
    int32_t length = 0;
    ASSERT_TRUE(BuildConnectFrame(frame, length, params));
    TMQTTPacket packet(frame.get(), length, TProtocolVersion::MQTT50);
    packet.AnalyzePacket();
    EXPECT_EQ(packet.DecodeError, "");
    EXPECT_EQ(packet.ProtocolName, "MQTT");
    EXPECT_EQ(packet.ProtocolLevel, 5);
    EXPECT_EQ(packet.ConnectFlags, 0xC6);
    EXPECT_EQ(packet.Properties, params.Properties);
    EXPECT_EQ(packet.WillProperties, params.WillProperties);
    EXPECT_EQ(packet.ClientID, "dev1");
    EXPECT_EQ(packet.WillTopic, "w");
    EXPECT_EQ(packet.WillMessage, "bye");
    EXPECT_EQ(packet.UserName, "u");
    EXPECT_EQ(packet.Password, "pw");
}

TEST(PacketCreate, RefusesBadFrames)
{
    struct Case {
        const char* Frame;
        const char* Message;
    } cases[] = {
        {"20 02 00", "frame size error"},               // one byte short
        {"20 02 00 00 00", "frame size error"},         // one byte over
        {"20", "frame size error"},                     // no length byte
        {"", "frame size error"},
        {"30 80", "frame size error"},                  // length field cut off
        {"30 FF FF FF", "frame size error"},
        {"30 FF FF FF FF", "RemainLength decode error"},
        {"00 00", "unknown MQTT message"},
        {"F0 00", "unknown MQTT message"},
        {"80 02 00 01", "SUBSCRIBE FixedHeaderQoS is not 1"},
        {"84 02 00 01", "SUBSCRIBE FixedHeaderQoS is not 1"},
        {"A0 02 00 01", "UNSUBSCRIBE FixedHeaderQoS is not 1"},
        // An identifier that would lie outside the frame.
        {"40 00", "frame size error"},
        {"40 01 00", "frame size error"},
        {"82 00", "frame size error"},
        {"90 01 05", "frame size error"},
        {"32 00", "frame size error"},
        {"32 01 00", "frame size error"},
        {"32 05 00 03 61 2F 62", "frame size error"},       // no room for the identifier
        {"32 06 00 03 61 2F 62 00", "frame size error"},
        {"32 04 FF FF 00 01", "frame size error"},          // topic count beyond the frame
    };
    for (const auto& c : cases) EXPECT_EQ(CreateFailure(Hex(c.Frame)), c.Message) << c.Frame;
}

// What a packet's analysis may touch: only its own frame copy.
void ExpectInsideFrame(const TMQTTPacket& packet)
{
    EXPECT_GE(packet.PublishDataSize, 0);
    if (packet.PublishData) {
        EXPECT_GE(packet.PublishData, packet.FrameData.get());
        EXPECT_LE(packet.PublishData + packet.PublishDataSize, packet.FrameData.get() + packet.FrameSize);
    }
    EXPECT_GE(packet.MessageID, 0);
    EXPECT_LE(packet.MessageID, 65535);
}

// Creates and analyses a frame held in an exactly sized buffer; true when a packet came out.
bool Exercise(const std::vector<uint8_t>& bytes, TProtocolVersion version = TProtocolVersion::MQTT31)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    try {
        TMQTTPacket packet(exact.get(), static_cast<int32_t>(bytes.size()), version);
        packet.AnalyzePacket();
        ExpectInsideFrame(packet);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

std::vector<uint8_t> Reframe(uint8_t firstByte, const std::vector<uint8_t>& body)
{
    uint8_t length[4];
    int count = EncodeRemainLength(length, static_cast<int32_t>(body.size()));
    std::vector<uint8_t> frame;
    frame.reserve(1 + count + body.size());
    frame.push_back(firstByte);
    for (int i = 0; i < count; ++i) frame.push_back(length[i]);
    for (uint8_t b : body) frame.push_back(b);
    return frame;
}

const char* ValidFrames[] = {
    "10 1D 00 06 4D 51 49 73 64 70 03 8E 00 3C 00 04 64 65 76 31 00 01 77 00 03 62 79 65 00 01 75",
    "10 1B 00 06 4D 51 49 73 64 70 03 F4 00 01 00 01 63 00 01 77 00 01 6D 00 01 70 00 01 70",
    "20 02 00 05",
    "32 0A 00 03 61 2F 62 00 0A 68 69 6A",
    "30 08 00 03 61 2F 62 68 69 6A",
    "82 0E 00 01 00 03 61 20 62 00 00 03 61 2C 62 02",
    "90 04 00 05 00 02",
    "A2 0A 00 02 00 03 61 2F 62 00 01 78",
    "40 02 00 0A",
    "D0 00",
    // 5.0 layouts, read under every version.
    "10 1D 00 04 4D 51 54 54 05 8E 00 3C 00 00 01 63 05 18 00 00 00 05 00 01 77 00 01 6D 00 01 75",
    "20 09 00 00 06 22 00 0A 21 00 14",
    "32 0D 00 03 61 2F 62 00 0A 03 23 00 01 68 69",
    "40 08 00 0A 10 04 1F 00 01 78",
    "82 12 00 01 09 0B 05 26 00 01 6B 00 01 76 00 03 61 2F 62 02",
    "90 08 00 01 04 1F 00 01 78 80",
    "B0 05 00 02 00 00 11",
    "E0 07 00 05 11 00 00 00 00",
    "F0 0F 18 0D 15 00 05 53 43 52 41 4D 16 00 02 01 02",
};

TEST(PacketHostile, TruncationsNeverReachBeyondTheFrame)
{
    int packets = 0;
    for (const char* text : ValidFrames) for (TProtocolVersion version : AllProtocolVersions) {
        std::vector<uint8_t> frame = Hex(text);
        if (frame[0] >> 4 != 15 || version == TProtocolVersion::MQTT50) {
            EXPECT_TRUE(Exercise(frame, version)) << text;
        }
        int lengthBytes = 0;
        DecodeRemainLength(frame.data() + 1, lengthBytes);
        for (size_t n = 0; n < frame.size(); ++n) {
            // Cut as received: the length field no longer matches.
            std::vector<uint8_t> cut(frame.begin(), frame.begin() + n);
            EXPECT_EQ(CreateFailure(cut), "frame size error") << text << " cut to " << n;
            // Cut body with a length field that agrees: inner fields now run past the end.
            if (n >= 1u + lengthBytes) {
                std::vector<uint8_t> body(frame.begin() + 1 + lengthBytes, frame.begin() + n);
                packets += Exercise(Reframe(frame[0], body), version);
            }
        }
    }
    EXPECT_GT(packets, 0);
}

TEST(PacketHostile, TruncatedFieldsKeepWhatWasDecoded)
{
    // CONNECT whose user name field runs past the end: client identifier and will stay.
    std::vector<uint8_t> frame = Hex("10 1C 00 06 4D 51 49 73 64 70 03 8E 00 3C 00 04 64 65 76 31 00 01 77 00 03 62 79 65 00 01");
    TMQTTPacket connect(frame.data(), static_cast<int32_t>(frame.size()));
    connect.AnalyzePacket();
    EXPECT_EQ(connect.ClientID, "dev1");
    EXPECT_EQ(connect.WillMessage, "bye");
    EXPECT_EQ(connect.UserName, "");

    // PUBLISH whose topic count runs past the end.
    frame = Hex("30 03 00 05 61");
    TMQTTPacket publish(frame.data(), static_cast<int32_t>(frame.size()));
    publish.AnalyzePacket();
    EXPECT_EQ(publish.PublishTopic, "");
    EXPECT_EQ(publish.PublishData, nullptr);
    EXPECT_EQ(publish.PublishDataSize, 0);

    // SUBSCRIBE whose last QoS byte is missing; CONNACK without its return code.
    frame = Hex("82 0D 00 01 00 01 61 01 00 01 62 02 00 01 63");
    TMQTTPacket subscribe(frame.data(), static_cast<int32_t>(frame.size()));
    subscribe.AnalyzePacket();
    EXPECT_EQ(subscribe.SubscribeTopicList, "a,b,c");
    EXPECT_EQ(subscribe.SubscribeReqQoSList, "1,2");
    frame = Hex("20 01 00");
    TMQTTPacket connack(frame.data(), static_cast<int32_t>(frame.size()));
    connack.AnalyzePacket();
    EXPECT_EQ(connack.ConnectReturnCode, 0);
}

TEST(PacketHostile, RandomFramesRaiseOrStayInside)
{
    std::mt19937 random(20240607);
    int packets = 0, refused = 0;
    for (int i = 0; i < 4000; ++i) {
        std::vector<uint8_t> body(random() % 48);
        for (auto& b : body) b = static_cast<uint8_t>(random() % 4 == 0 ? random() % 4 : random());
        uint8_t firstByte = static_cast<uint8_t>(random());
        const TProtocolVersion version = AllProtocolVersions[i % 3];
        (Exercise(Reframe(firstByte, body), version) ? packets : refused)++;
        // Pure noise, length field included.
        std::vector<uint8_t> noise(random() % 12);
        for (auto& b : noise) b = static_cast<uint8_t>(random());
        (Exercise(noise, version) ? packets : refused)++;
    }
    EXPECT_GT(packets, 1000);
    EXPECT_GT(refused, 1000);
}

}  // namespace
