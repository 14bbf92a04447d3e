#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/SubscriptionOptions.h"
#include "platform/CodePage.h"
#include "platform/Error.h"

#include "codec/CodecTestSupport.h"

namespace {

const uint8_t Hi[] = {0x68, 0x69};

constexpr TProtocolVersion V31 = TProtocolVersion::MQTT31, V311 = TProtocolVersion::MQTT311,
                           V50 = TProtocolVersion::MQTT50;

TConnectParams Connect(TProtocolVersion version, const std::string& clientID, bool cleanSession = true)
{
    return TConnectParams{version, clientID, "", "", false, cleanSession, 0, 60, "", "", {}, {}};
}

TAckParams Ack(TProtocolVersion version, bool dup, int32_t messageID, uint8_t reasonCode = 0,
               TPropertyList properties = {})
{
    return TAckParams{version, dup, messageID, reasonCode, std::move(properties)};
}

TPublishParams Publish(TProtocolVersion version, int32_t qos, const std::string& topic, int32_t messageID,
                       TPropertyList properties = {})
{
    return TPublishParams{version, false, false, qos, topic, messageID, Hi, 2, std::move(properties)};
}

TDisconnectParams Disconnect(TProtocolVersion version, uint8_t reasonCode, TPropertyList properties = {})
{
    return TDisconnectParams{version, reasonCode, std::move(properties)};
}

TAuthParams Auth(uint8_t reasonCode, TPropertyList properties = {})
{
    return TAuthParams{reasonCode, std::move(properties)};
}

TSubscribeParams Subscribe(TProtocolVersion version, bool dup, int32_t messageID, const std::string& topics,
                           const std::string& qos, TPropertyList properties = {})
{
    return TSubscribeParams{version, dup, messageID, topics, qos, std::move(properties)};
}

TUnsubscribeParams Unsubscribe(TProtocolVersion version, bool dup, int32_t messageID, const std::string& topics)
{
    return TUnsubscribeParams{version, dup, messageID, topics, {}};
}

using TBuild = std::function<bool(TFrameBuffer&, int32_t&)>;

struct GoodCase {
    const char* Name;
    TBuild Build;
    const char* Frame;
};

TEST(FrameBuilders, BuildExactFrames)
{
    const GoodCase cases[] = {
        {"connect dev1", [](auto& f, auto& n) { return BuildConnectFrame(f, n, "dev1", "", "", false, true, 0, 60, "", ""); },
         "10 12 00 06 4D 51 49 73 64 70 03 02 00 3C 00 04 64 65 76 31"},
        {"connect will+user",
         [](auto& f, auto& n) { return BuildConnectFrame(f, n, "dev1", "u", "", false, true, 1, 60, "w", "bye"); },
         "10 1D 00 06 4D 51 49 73 64 70 03 8E 00 3C 00 04 64 65 76 31 00 01 77 00 03 62 79 65 00 01 75"},
        {"connect will QoS without will",
         [](auto& f, auto& n) { return BuildConnectFrame(f, n, "c", "", "", false, true, 1, 0, "", ""); },
         "10 0F 00 06 4D 51 49 73 64 70 03 0A 00 00 00 01 63"},
        {"connect password only",
         [](auto& f, auto& n) { return BuildConnectFrame(f, n, "c", "", "pw", false, false, 0, 10, "", ""); },
         "10 13 00 06 4D 51 49 73 64 70 03 40 00 0A 00 01 63 00 02 70 77"},
        {"connect will then password",
         [](auto& f, auto& n) { return BuildConnectFrame(f, n, "c", "", "p", true, false, 2, 1, "w", "m"); },
         "10 18 00 06 4D 51 49 73 64 70 03 74 00 01 00 01 63 00 01 77 00 01 6D 00 01 70"},
        {"connect keep-alive 65535",
         [](auto& f, auto& n) { return BuildConnectFrame(f, n, "c", "", "", false, true, 0, 65535, "", ""); },
         "10 0F 00 06 4D 51 49 73 64 70 03 02 FF FF 00 01 63"},
        {"publish qos1",
         [](auto& f, auto& n) { return BuildPublishFrame(f, n, false, false, 1, "a/b", 10, Hi, 2); },
         "32 09 00 03 61 2F 62 00 0A 68 69"},
        {"publish qos0 retain",
         [](auto& f, auto& n) { return BuildPublishFrame(f, n, false, true, 0, "a/b", 10, Hi, 2); },
         "31 07 00 03 61 2F 62 68 69"},
        {"publish qos2 dup",
         [](auto& f, auto& n) { return BuildPublishFrame(f, n, true, false, 2, "a/b", 7, Hi, 2); },
         "3C 09 00 03 61 2F 62 00 07 68 69"},
        {"puback", [](auto& f, auto& n) { return BuildPubackFrame(f, n, 10); }, "40 02 00 0A"},
        {"puback 65535", [](auto& f, auto& n) { return BuildPubackFrame(f, n, 65535); }, "40 02 FF FF"},
        {"pubrec", [](auto& f, auto& n) { return BuildPubrecFrame(f, n, 10); }, "50 02 00 0A"},
        {"pubcomp", [](auto& f, auto& n) { return BuildPubcompFrame(f, n, 10); }, "70 02 00 0A"},
        {"pubrel", [](auto& f, auto& n) { return BuildPubrelFrame(f, n, false, 10); }, "62 02 00 0A"},
        {"pubrel dup", [](auto& f, auto& n) { return BuildPubrelFrame(f, n, true, 10); }, "6A 02 00 0A"},
        {"subscribe", [](auto& f, auto& n) { return BuildSubscribeFrame(f, n, false, 1, "a/b", "1"); },
         "82 08 00 01 00 03 61 2F 62 01"},
        {"subscribe qos 3, 256, -1, hex",
         [](auto& f, auto& n) { return BuildSubscribeFrame(f, n, true, 1, "a,b,c,d", "3,256,-1,$02"); },
         "8A 12 00 01 00 01 61 03 00 01 62 00 00 01 63 FF 00 01 64 02"},
        {"subscribe empty topic item",
         [](auto& f, auto& n) { return BuildSubscribeFrame(f, n, false, 3, "a,,b", "0 1 2"); },
         "82 0D 00 03 00 01 61 00 00 00 01 00 01 62 02"},
        {"unsubscribe", [](auto& f, auto& n) { return BuildUnsubscribeFrame(f, n, false, 2, "a/b,x"); },
         "A2 0A 00 02 00 03 61 2F 62 00 01 78"},
        {"unsubscribe blank separated", [](auto& f, auto& n) { return BuildUnsubscribeFrame(f, n, false, 2, "a/b x"); },
         "A2 0A 00 02 00 03 61 2F 62 00 01 78"},
        {"unsubscribe dup trailing comma", [](auto& f, auto& n) { return BuildUnsubscribeFrame(f, n, true, 2, "x,"); },
         "AA 07 00 02 00 01 78 00 00"},
        {"pingreq", [](auto& f, auto& n) { return BuildPingreqFrame(f, n); }, "C0 00"},
        {"disconnect", [](auto& f, auto& n) { return BuildDisconnectFrame(f, n); }, "E0 00"},
        // The version-aware builders at 3.1 give the same bytes as the builders above.
        {"3.1 params connect", [](auto& f, auto& n) { return BuildConnectFrame(f, n, Connect(V31, "dev1")); },
         "10 12 00 06 4D 51 49 73 64 70 03 02 00 3C 00 04 64 65 76 31"},
        {"3.1 params pubrel dup", [](auto& f, auto& n) { return BuildPubrelFrame(f, n, Ack(V31, true, 10)); },
         "6A 02 00 0A"},
        {"3.1 params subscribe dup",
         [](auto& f, auto& n) { return BuildSubscribeFrame(f, n, Subscribe(V31, true, 1, "a/b", "1")); },
         "8A 08 00 01 00 03 61 2F 62 01"},
        // 3.1.1: protocol name MQTT, level 4; fixed flags 0x02 and no DUP even when asked for.
        {"3.1.1 connect", [](auto& f, auto& n) { return BuildConnectFrame(f, n, Connect(V311, "dev1")); },
         "10 10 00 04 4D 51 54 54 04 02 00 3C 00 04 64 65 76 31"},
        {"3.1.1 connect empty client id, clean session",
         [](auto& f, auto& n) { return BuildConnectFrame(f, n, Connect(V311, "")); },
         "10 0C 00 04 4D 51 54 54 04 02 00 3C 00 00"},
        {"3.1.1 connect will, user, password, no clean session",
         [](auto& f, auto& n) {
             TConnectParams p = Connect(V311, "c", false);
             p.UserName = "u";
             p.Password = "p";
             p.WillTopic = "w";
             p.WillMessage = "m";
             p.WillQoS = 1;
             p.WillRetain = true;
             p.KeepAliveTimer = 10;
             return BuildConnectFrame(f, n, p);
         },
         "10 19 00 04 4D 51 54 54 04 EC 00 0A 00 01 63 00 01 77 00 01 6D 00 01 75 00 01 70"},
        {"3.1.1 subscribe dup asked",
         [](auto& f, auto& n) { return BuildSubscribeFrame(f, n, Subscribe(V311, true, 1, "a/b", "1")); },
         "82 08 00 01 00 03 61 2F 62 01"},
        {"3.1.1 unsubscribe dup asked",
         [](auto& f, auto& n) { return BuildUnsubscribeFrame(f, n, Unsubscribe(V311, true, 2, "a/b,x")); },
         "A2 0A 00 02 00 03 61 2F 62 00 01 78"},
        {"3.1.1 pubrel dup asked", [](auto& f, auto& n) { return BuildPubrelFrame(f, n, Ack(V311, true, 10)); },
         "62 02 00 0A"},
        {"3.1.1 puback", [](auto& f, auto& n) { return BuildPubackFrame(f, n, Ack(V311, true, 10)); },
         "40 02 00 0A"},
        {"3.1.1 disconnect", [](auto& f, auto& n) { return BuildDisconnectFrame(f, n, Disconnect(V311, 0)); }, "E0 00"},
        // 5.0: level 5, a property block after the variable header's fixed part.
        {"5.0 connect with properties",
         [](auto& f, auto& n) {
             TConnectParams p = Connect(V50, "dev1");
             p.Properties = {NumberProperty(0x11, 3600), NumberProperty(0x21, 20)};
             return BuildConnectFrame(f, n, p);
         },
         "10 19 00 04 4D 51 54 54 05 02 00 3C 08 11 00 00 0E 10 21 00 14 00 04 64 65 76 31"},
        {"5.0 connect with will properties",
         [](auto& f, auto& n) {
             TConnectParams p = Connect(V50, "c");
             p.WillTopic = "w";
             p.WillMessage = "m";
             p.WillQoS = 1;
             p.UserName = "u";
             p.WillProperties = {NumberProperty(0x18, 5)};
             return BuildConnectFrame(f, n, p);
         },
         "10 1D 00 04 4D 51 54 54 05 8E 00 3C 00 00 01 63 05 18 00 00 00 05 00 01 77 00 01 6D 00 01 75"},
        {"5.0 connect empty client id, no clean start",
         [](auto& f, auto& n) { return BuildConnectFrame(f, n, Connect(V50, "", false)); },
         "10 0D 00 04 4D 51 54 54 05 00 00 3C 00 00 00"},
        {"5.0 publish without properties",
         [](auto& f, auto& n) { return BuildPublishFrame(f, n, Publish(V50, 0, "a/b", 0)); },
         "30 08 00 03 61 2F 62 00 68 69"},
        {"5.0 publish topic alias, empty topic",
         [](auto& f, auto& n) { return BuildPublishFrame(f, n, Publish(V50, 0, "", 0, {NumberProperty(0x23, 1)})); },
         "30 08 00 00 03 23 00 01 68 69"},
        {"5.0 publish qos1 with topic and alias",
         [](auto& f, auto& n) {
             return BuildPublishFrame(f, n, Publish(V50, 1, "a/b", 10, {NumberProperty(0x23, 1)}));
         },
         "32 0D 00 03 61 2F 62 00 0A 03 23 00 01 68 69"},
        {"5.0 subscribe with options and identifier",
         [](auto& f, auto& n) {
             return BuildSubscribeFrame(f, n, Subscribe(V50, true, 1, "a/b", "2 nl rap rh=2", {NumberProperty(0x0B, 5)}));
         },
         "82 0B 00 01 02 0B 05 00 03 61 2F 62 2E"},
        {"5.0 subscribe as mosquitto_sub sends it",
         [](auto& f, auto& n) {
             return BuildSubscribeFrame(f, n,
                 Subscribe(V50, false, 1, "a/b", "2", {NumberProperty(0x0B, 5), PairProperty(0x26, "k", "v")}));
         },
         "82 12 00 01 09 0B 05 26 00 01 6B 00 01 76 00 03 61 2F 62 02"},
        {"5.0 subscribe, words belong to the QoS before them",
         [](auto& f, auto& n) { return BuildSubscribeFrame(f, n, Subscribe(V50, false, 1, "a,b", "1 NL, 0 rh=1")); },
         "82 0B 00 01 00 00 01 61 05 00 01 62 10"},
        {"5.0 subscribe, quoted item and long names",
         [](auto& f, auto& n) {
             return BuildSubscribeFrame(f, n,
                 Subscribe(V50, false, 1, "a b", "\"0 no-local\" 2 retain-as-published retain-handling=1"));
         },
         "82 0B 00 01 00 00 01 61 04 00 01 62 1A"},
        {"5.0 unsubscribe", [](auto& f, auto& n) { return BuildUnsubscribeFrame(f, n, Unsubscribe(V50, true, 2, "a/b")); },
         "A2 08 00 02 00 00 03 61 2F 62"},
        {"5.0 puback short", [](auto& f, auto& n) { return BuildPubackFrame(f, n, Ack(V50, false, 10)); },
         "40 02 00 0A"},
        {"5.0 puback reason code only",
         [](auto& f, auto& n) { return BuildPubackFrame(f, n, Ack(V50, false, 10, 0x10)); }, "40 03 00 0A 10"},
        {"5.0 puback long",
         [](auto& f, auto& n) { return BuildPubackFrame(f, n, Ack(V50, false, 10, 0x10, {TextProperty(0x1F, "x")})); },
         "40 08 00 0A 10 04 1F 00 01 78"},
        {"5.0 pubrec success with properties",
         [](auto& f, auto& n) {
             return BuildPubrecFrame(f, n, Ack(V50, false, 10, 0, {PairProperty(0x26, "k", "v")}));
         },
         "50 0B 00 0A 00 07 26 00 01 6B 00 01 76"},
        {"5.0 pubrel dup asked, not found",
         [](auto& f, auto& n) { return BuildPubrelFrame(f, n, Ack(V50, true, 10, 0x92)); }, "62 03 00 0A 92"},
        {"5.0 pubcomp", [](auto& f, auto& n) { return BuildPubcompFrame(f, n, Ack(V50, false, 10)); }, "70 02 00 0A"},
        {"5.0 disconnect normal", [](auto& f, auto& n) { return BuildDisconnectFrame(f, n, Disconnect(V50, 0)); },
         "E0 00"},
        {"5.0 disconnect with will",
         [](auto& f, auto& n) { return BuildDisconnectFrame(f, n, Disconnect(V50, 0x04)); }, "E0 01 04"},
        {"5.0 disconnect with session expiry",
         [](auto& f, auto& n) { return BuildDisconnectFrame(f, n, Disconnect(V50, 0, {NumberProperty(0x11, 0)})); },
         "E0 07 00 05 11 00 00 00 00"},
        {"5.0 auth", [](auto& f, auto& n) { return BuildAuthFrame(f, n, Auth(0)); }, "F0 00"},
        {"5.0 auth continue",
         [](auto& f, auto& n) {
             return BuildAuthFrame(f, n, Auth(0x18, {TextProperty(0x15, "SCRAM"), BinaryProperty(0x16, "\x01\x02")}));
         },
         "F0 0F 18 0D 15 00 05 53 43 52 41 4D 16 00 02 01 02"},
    };
    for (const auto& c : cases) {
        TFrameBuffer frame;
        int32_t length = -1;
        ASSERT_TRUE(c.Build(frame, length)) << c.Name;
        ASSERT_TRUE(frame) << c.Name;
        EXPECT_EQ(std::vector<uint8_t>(frame.get(), frame.get() + length), Hex(c.Frame)) << c.Name;
    }
}

// The 3.1 builders refuse as the Parts' table says and leave no buffer behind.
TEST(FrameBuilders, RefuseAndLeaveNoBuffer)
{
    const std::string big(65536, 'x');
    const TBuild cases[] = {
        [](auto& f, auto& n) { return BuildConnectFrame(f, n, "", "", "", false, true, 0, 60, "", ""); },
        [](auto& f, auto& n) { return BuildConnectFrame(f, n, "c", "", "", false, true, 0, 60, "", "m"); },
        [](auto& f, auto& n) { return BuildConnectFrame(f, n, "c", "", "", false, true, 0, 60, "w", ""); },
        [](auto& f, auto& n) { return BuildConnectFrame(f, n, "c", "", "", false, true, 0, 65536, "", ""); },
        [&](auto& f, auto& n) { return BuildConnectFrame(f, n, big, "", "", false, true, 0, 60, "", ""); },
        [](auto& f, auto& n) { return BuildPublishFrame(f, n, false, false, 1, "", 0, Hi, 0); },
        [](auto& f, auto& n) { return BuildPublishFrame(f, n, false, false, 0, "t", 70000, Hi, 2); },
        [](auto& f, auto& n) { return BuildPubackFrame(f, n, 0); },
        [](auto& f, auto& n) { return BuildPubrecFrame(f, n, 65536); },
        [](auto& f, auto& n) { return BuildPubrelFrame(f, n, true, 0); },
        [](auto& f, auto& n) { return BuildPubcompFrame(f, n, -1); },
        [](auto& f, auto& n) { return BuildSubscribeFrame(f, n, false, 1, "a", "q"); },
        [](auto& f, auto& n) { return BuildUnsubscribeFrame(f, n, false, 1, "  "); },
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        TFrameBuffer frame = std::make_unique<uint8_t[]>(4);   // a stale buffer must not survive
        int32_t length = 4;
        EXPECT_FALSE(cases[i](frame, length)) << i;
        EXPECT_FALSE(frame) << i;
        EXPECT_EQ(length, 0) << i;
    }
}

// The reasons, in the order of the checks; 3.1 through the parameter form at
// its default version, which the builders above hand their parameters to.
TEST(FrameBuilders, RefusalsNameWhatIsWrong)
{
    const std::string big(65536, 'x');
    auto connect = [](const std::string& clientID, int32_t keepAlive, const char* willTopic, const char* willMessage) {
        TConnectParams p = Connect(V31, clientID);
        p.KeepAliveTimer = keepAlive;
        p.WillTopic = willTopic;
        p.WillMessage = willMessage;
        return p;
    };
    auto publish = [](int32_t qos, const std::string& topic, int32_t messageID, int32_t dataSize) {
        TPublishParams p = Publish(V31, qos, topic, messageID);
        p.DataSize = dataSize;
        return p;
    };
    auto connect50 = [](TPropertyList properties, TPropertyList willProperties, bool will) {
        TConnectParams p = Connect(V50, "c");
        p.Properties = std::move(properties);
        p.WillProperties = std::move(willProperties);
        if (will) p.WillTopic = p.WillMessage = "w";
        return p;
    };
    TFrameBuffer f;
    int32_t n = 0;
    const struct {
        const char* Reason;
        std::function<bool(std::string*)> Build;
    } cases[] = {
        {"ClientID not found", [&](auto* r) { return BuildConnectFrame(f, n, connect("", 70000, "", "m"), r); }},
        {"WillTopic not found", [&](auto* r) { return BuildConnectFrame(f, n, connect("c", 70000, "", "m"), r); }},
        {"WillMessage not found", [&](auto* r) { return BuildConnectFrame(f, n, connect("c", 60, "w", ""), r); }},
        {"KeepAliveTimer too big", [&](auto* r) { return BuildConnectFrame(f, n, connect("c", 65536, "", ""), r); }},
        {"KeepAliveTimer out of range", [&](auto* r) { return BuildConnectFrame(f, n, connect("c", -1, "", ""), r); }},
        {"utf8str too big", [&](auto* r) { return BuildConnectFrame(f, n, connect(big, 60, "", ""), r); }},
        {"Topic not found", [&](auto* r) { return BuildPublishFrame(f, n, publish(1, "", 0, 0), r); }},
        {"PublishData empty", [&](auto* r) { return BuildPublishFrame(f, n, publish(1, "t", 0, 0), r); }},
        {"PublishData empty", [&](auto* r) { return BuildPublishFrame(f, n, publish(0, "t", 1, -5), r); }},
        {"MessageID not specified at QoS > 0",
         [&](auto* r) { return BuildPublishFrame(f, n, publish(1, "t", 0, 2), r); }},
        {"MessageID too big", [&](auto* r) { return BuildPublishFrame(f, n, publish(0, "t", 70000, 2), r); }},
        {"MessageID out of range", [&](auto* r) { return BuildPublishFrame(f, n, publish(1, "t", -3, 2), r); }},
        {"QoS out of range", [&](auto* r) { return BuildPublishFrame(f, n, publish(4, "t", 1, 2), r); }},
        {"utf8str too big", [&](auto* r) { return BuildPublishFrame(f, n, publish(0, big, 0, 2), r); }},
        {"MessageID is 0", [&](auto* r) { return BuildPubackFrame(f, n, Ack(V31, false, 0), r); }},
        {"MessageID too big", [&](auto* r) { return BuildPubackFrame(f, n, Ack(V31, false, 65536), r); }},
        {"MessageID out of range", [&](auto* r) { return BuildPubrecFrame(f, n, Ack(V31, false, -1), r); }},
        {"MessageID is 0", [&](auto* r) { return BuildPubrelFrame(f, n, Ack(V31, true, 0), r); }},
        {"MessageID too big", [&](auto* r) { return BuildPubcompFrame(f, n, Ack(V31, false, 65536), r); }},
        {"MessageID is 0", [&](auto* r) { return BuildSubscribeFrame(f, n, Subscribe(V31, false, 0, "", ""), r); }},
        {"topic parameter error",
         [&](auto* r) { return BuildSubscribeFrame(f, n, Subscribe(V31, false, 1, "a/b,x/y", "1"), r); }},
        {"topic parameter error",
         [&](auto* r) { return BuildSubscribeFrame(f, n, Subscribe(V31, false, 1, "", ""), r); }},
        {"'q' is not a valid integer value",
         [&](auto* r) { return BuildSubscribeFrame(f, n, Subscribe(V31, false, 1, "a", "q"), r); }},
        {"'99999999999' is not a valid integer value",
         [&](auto* r) { return BuildSubscribeFrame(f, n, Subscribe(V31, false, 1, "a", "99999999999"), r); }},
        {"MessageID too big",
         [&](auto* r) { return BuildUnsubscribeFrame(f, n, Unsubscribe(V31, false, 65536, ""), r); }},
        {"topic parameter error",
         [&](auto* r) { return BuildUnsubscribeFrame(f, n, Unsubscribe(V31, false, 1, "  "), r); }},
        {"utf8str too big",
         [&](auto* r) { return BuildUnsubscribeFrame(f, n, Unsubscribe(V31, false, 1, "a," + big), r); }},
        {"ClientID not found: an empty ClientID needs clean session in MQTT 3.1.1",
         [&](auto* r) { return BuildConnectFrame(f, n, Connect(V311, "", false), r); }},
        {"MessageID is 0", [&](auto* r) { return BuildPubrelFrame(f, n, Ack(V311, false, 0), r); }},
        {"protocol version not supported",
         [&](auto* r) { return BuildConnectFrame(f, n, Connect(static_cast<TProtocolVersion>(6), "c"), r); }},
        {"Topic not found", [&](auto* r) { return BuildPublishFrame(f, n, Publish(V50, 0, "", 0), r); }},
        {"Topic not found",   // a topic alias stands for the topic in 5.0 only
         [&](auto* r) { return BuildPublishFrame(f, n, Publish(V311, 0, "", 0, {NumberProperty(0x23, 1)}), r); }},
        {"properties need MQTT 5.0",
         [&](auto* r) { return BuildPublishFrame(f, n, Publish(V311, 0, "t", 0, {NumberProperty(0x23, 1)}), r); }},
        {"properties need MQTT 5.0",
         [&](auto* r) { return BuildDisconnectFrame(f, n, Disconnect(V31, 0, {NumberProperty(0x11, 0)}), r); }},
        {"reason codes need MQTT 5.0", [&](auto* r) { return BuildPubackFrame(f, n, Ack(V311, false, 1, 0x10), r); }},
        {"reason code 0x8B is not allowed in PUBACK",
         [&](auto* r) { return BuildPubackFrame(f, n, Ack(V50, false, 1, 0x8B), r); }},
        {"reason code 0x10 is not allowed in PUBREL",
         [&](auto* r) { return BuildPubrelFrame(f, n, Ack(V50, false, 1, 0x10), r); }},
        {"reason code 0x8D is not allowed in AUTH", [&](auto* r) { return BuildAuthFrame(f, n, Auth(0x8D), r); }},
        {"MessageID is 0", [&](auto* r) { return BuildPubackFrame(f, n, Ack(V50, false, 0, 0x8B), r); }},
        {"Reason String is not allowed in PUBLISH",
         [&](auto* r) { return BuildPublishFrame(f, n, Publish(V50, 0, "t", 0, {TextProperty(0x1F, "r")}), r); }},
        {"Topic Alias: 0 is out of range (1 to 65535)",
         [&](auto* r) { return BuildPublishFrame(f, n, Publish(V50, 0, "", 0, {NumberProperty(0x23, 0)}), r); }},
        {"Topic Alias is not allowed in CONNECT",
         [&](auto* r) { return BuildConnectFrame(f, n, connect50({NumberProperty(0x23, 1)}, {}, false), r); }},
        {"will properties need a will topic and message",
         [&](auto* r) { return BuildConnectFrame(f, n, connect50({}, {NumberProperty(0x18, 1)}, false), r); }},
        {"Session Expiry Interval is not allowed in the will",
         [&](auto* r) { return BuildConnectFrame(f, n, connect50({}, {NumberProperty(0x11, 1)}, true), r); }},
        {"Topic Alias is not allowed in AUTH",
         [&](auto* r) { return BuildAuthFrame(f, n, Auth(0x18, {NumberProperty(0x23, 1)}), r); }},
        {"Subscription Identifier: 0 is out of range (1 to 268435455)",
         [&](auto* r) {
             return BuildSubscribeFrame(f, n, Subscribe(V50, false, 1, "a", "1", {NumberProperty(0x0B, 0)}), r);
         }},
        {"topic parameter error",   // words after a QoS belong to it: one item for two topics
         [&](auto* r) { return BuildSubscribeFrame(f, n, Subscribe(V50, false, 1, "a,b", "1 nl rap"), r); }},
        {"subscription options: QoS 3 is out of range (0 to 2)",
         [&](auto* r) { return BuildSubscribeFrame(f, n, Subscribe(V50, false, 1, "a", "3"), r); }},
    };
    for (const auto& c : cases) {
        f = std::make_unique<uint8_t[]>(4);
        n = 4;
        std::string reason;
        EXPECT_FALSE(c.Build(&reason)) << c.Reason;
        EXPECT_EQ(reason, c.Reason);
        EXPECT_FALSE(f) << c.Reason;
        EXPECT_EQ(n, 0) << c.Reason;
    }
}

TEST(SubscriptionOptions, QoSListItemsNameWhatIsWrong)
{
    const struct {
        const char* List;
        const char* Reason;
    } cases[] = {
        {"nl 1", "subscription options: 'nl' comes before any QoS"},
        {"1 rh=3", "subscription options: retain handling 3 is out of range (0 to 2)"},
        {"1 rh=", "subscription options: 'rh=' needs a number 0, 1 or 2 after ="},
        {"1 x", "subscription options: 'x' is not a QoS (0 to 2) or an option (nl, rap, rh=0 to 2)"},
        {"1,", "subscription options: an empty item has no QoS"},
        {"1 reserved=0xC0", "subscription options: 'reserved=0xC0' is not a QoS (0 to 2) or an option (nl, rap, rh=0 to 2)"},
    };
    for (const auto& c : cases) {
        try {
            ParseSubscriptionOptionList(c.List);
            ADD_FAILURE() << "nothing raised for " << c.List;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.Reason);
        }
    }
    // Every valid byte shows as text that reads back to it.
    for (int byte = 0; byte < 0x40; ++byte) {
        const auto options = TSubscriptionOptions::FromByte(static_cast<uint8_t>(byte));
        if (options.MaximumQoS == 3 || options.RetainHandling == 3) continue;
        const auto parsed = ParseSubscriptionOptionList("\"" + FormatSubscriptionOptions(options) + "\"");
        ASSERT_EQ(parsed.size(), 1u);
        EXPECT_EQ(parsed[0].ToByte(), byte);
    }
}

TEST(FrameBuilders, PublishLengthFieldGrowsAtItsBoundaries)
{
    // Topic "t" takes 3 bytes; the payload fills the rest of the remaining length.
    struct Case {
        int32_t RemainLength;
        int LengthBytes;
    } cases[] = {{127, 1}, {128, 2}, {16383, 2}, {16384, 3}, {2097152, 4}};
    for (const auto& c : cases) {
        std::vector<uint8_t> data(c.RemainLength - 3, 0x5A);
        TFrameBuffer frame;
        int32_t length = 0;
        ASSERT_TRUE(BuildPublishFrame(frame, length, false, false, 0, "t", 0, data.data(),
                                      static_cast<int32_t>(data.size())));
        EXPECT_EQ(length, 1 + c.LengthBytes + c.RemainLength);
        TMQTTPacket packet(frame.get(), length);
        EXPECT_EQ(packet.RemainLengthBytes, c.LengthBytes);
        packet.AnalyzePacket();
        EXPECT_EQ(packet.PublishTopic, "t");
        ASSERT_EQ(packet.PublishDataSize, static_cast<int32_t>(data.size()));
        EXPECT_EQ(std::vector<uint8_t>(packet.PublishData, packet.PublishData + packet.PublishDataSize), data);
    }
    std::vector<uint8_t> data(125, 1);
    TFrameBuffer frame;
    int32_t length = 0;
    ASSERT_TRUE(BuildPublishFrame(frame, length, false, false, 0, "t", 0, data.data(), 125));
    EXPECT_EQ(frame[1], 0x80);
    EXPECT_EQ(frame[2], 0x01);
    EXPECT_EQ(length, 1 + 2 + 128);
}

TEST(FrameBuilders, PublishTooLongForTheLengthFieldIsRefusedBeforeAllocating)
{
    static const uint8_t byte = 1;
    TFrameBuffer frame;
    int32_t length = 0;
    // The size is checked before the data is touched, so one real byte suffices.
    TPublishParams params = Publish(V31, 0, "t", 0);
    params.Data = &byte;
    params.DataSize = 268435455 - 2;
    std::string reason;
    EXPECT_FALSE(BuildPublishFrame(frame, length, params, &reason));
    EXPECT_EQ(reason, "RemainLength encode error");
    EXPECT_FALSE(frame);
}

class Cp932Frames : public ::testing::Test {
protected:
    void SetUp() override
    {
        Saved = CodePage::Name();
        CodePage::Set("CP932");
    }
    void TearDown() override { CodePage::Set(Saved); }
    std::string Saved;
};

TEST_F(Cp932Frames, JapaneseTopicsTravelAsUtf8AndComeBack)
{
    const std::string so = "\x83\x5C", hyou = "\x95\x5C";   // second byte 0x5C
    const std::string topicA = so + "/" + hyou, topicB = "\x82\xA0";
    TFrameBuffer frame;
    int32_t length = 0;
    ASSERT_TRUE(BuildSubscribeFrame(frame, length, false, 9, topicA + "," + topicB, "1,2"));
    // "ソ/表" is 7 UTF-8 bytes, "あ" 3.
    EXPECT_EQ(std::vector<uint8_t>(frame.get(), frame.get() + length),
              Hex("82 12 00 09 00 07 E3 82 BD 2F E8 A1 A8 01 00 03 E3 81 82 02"));
    TMQTTPacket packet(frame.get(), length);
    packet.AnalyzePacket();
    EXPECT_EQ(packet.SubscribeTopicList, topicA + "," + topicB);
    EXPECT_EQ(packet.SubscribeReqQoSList, "1,2");

    ASSERT_TRUE(BuildConnectFrame(frame, length, "\x83\x65\x83\x58\x83\x67", "", "", false, true, 0, 60, "", ""));
    TMQTTPacket connect(frame.get(), length);
    connect.AnalyzePacket();
    EXPECT_EQ(connect.ClientID, "\x83\x65\x83\x58\x83\x67");   // テスト
}

}  // namespace
