// MQTT 5.0 flow control: the client's Receive Maximum and Maximum Packet Size
// honoured by the broker, and the broker's own limits enforced.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

void AddFlowChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Flow;
    checks.insert(checks.end(), {
        {"flow.receive-maximum", F, V50, {}, {"MQTT-3.3.4-9", "MQTT-4.9.0-2"},
         "With a Receive Maximum of 2 and no acknowledgement, the broker sends no more than 2 QoS 1 messages.",
         [](TCheckContext& c) {
             RequireQos(c, 1);
             const std::string topic = c.Topic();
             TConnectOptions options;
             options.Properties = "receive-maximum = 2";
             TCheckClient& sub = c.Client("sub");
             sub.ConnectOk(options);
             sub.HoldAcks();
             sub.SubscribeOk(topic, 1);
             TCheckClient& pub = Connected(c, "pub");
             for (int i = 0; i < 5; ++i) pub.Publish(topic, "r" + std::to_string(i), 1);
             const auto got = Settled(c, sub, 2, [&](const TMessage& m) { return m.Topic == topic; });
             c.Expect(got.size() == 2, "2 unacknowledged messages, no more", Listed(got));
         }},
        {"flow.receive-maximum-qos0", F, V50, {}, {"MQTT-3.3.4-10", "MQTT-4.9.0-3"},
         "Holding Receive Maximum messages unacknowledged does not stop QoS 0 messages or other packets.",
         [](TCheckContext& c) {
             RequireQos(c, 1);
             const std::string topic = c.Topic();
             TConnectOptions options;
             options.Properties = "receive-maximum = 1";
             TCheckClient& sub = c.Client("sub");
             sub.ConnectOk(options);
             sub.HoldAcks();
             sub.SubscribeOk(c.Topic("q1"), 1);
             sub.SubscribeOk(topic, 0);
             TCheckClient& pub = Connected(c, "pub");
             for (int i = 0; i < 2; ++i) pub.Publish(c.Topic("q1"), "held", 1);
             sub.WaitMessages(1, c.Answer(), c.Topic("q1"));
             pub.Publish(topic, "free", 0);
             ExpectOne(c, sub, topic, "the QoS 0 message");
             const size_t mark = sub.Mark();
             sub.Ping();
             c.Expect(sub.WaitFrame(13, c.Answer(), mark).has_value(), "PINGRESP while the quota is used up", sub.Saw());
         }},
        {"flow.maximum-packet-size", F, V50, {}, {"MQTT-3.1.2-24", "MQTT-3.1.2-25"},
         "A message larger than the client's Maximum Packet Size of 200 bytes is not sent to it; a small one is.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TConnectOptions options;
             options.Properties = "maximum-packet-size = 200";
             TCheckClient& sub = Subscribed(c, "sub", topic, "1", options);
             TCheckClient& pub = Connected(c, "pub");
             pub.Publish(topic, std::string(400, 'L'), 1);
             pub.Publish(topic, "small", 1);
             const auto got = Settled(c, sub, 1, [&](const TMessage& m) { return m.Topic == topic; });
             c.Expect(got.size() == 1 && got[0].Payload == "small", "only the small message", Listed(got));
             for (const TSessionFrame& f : sub.Frames())
                 c.Expect(f.Direction == TFrameDirection::Sent || f.Bytes.size() <= 200,
                          "no frame over 200 bytes", std::to_string(f.Bytes.size()) + " bytes");
         }},
        {"flow.broker-packet-size", F, V50, {}, {"MQTT-3.2.2-15", "§3.2.2.3.6"},
         "A PUBLISH above the broker's Maximum Packet Size is refused with DISCONNECT 0x95 (Packet too large).",
         [](TCheckContext& c) {
             const uint32_t limit = c.Facts.MaximumPacketSize;
             if (limit == 0 || limit > 1024 * 1024) c.Skip("the broker announces no Maximum Packet Size of 1 MiB or less");
             ExpectRefused(c, RawPublish(c.Version, c.Topic(), std::string(limit, 'x'), 0, false), "a packet too large",
                           {0x95});
         }},
        {"flow.receive-maximum-exceeded", F, V50, {}, {"MQTT-3.3.4-7", "§3.3.4"},
         "More QoS 2 PUBLISHes left open than the broker's Receive Maximum are refused with DISCONNECT 0x93.",
         [](TCheckContext& c) {
             RequireQos(c, 2);
             const uint32_t limit = c.Facts.ReceiveMaximum;
             if (limit > 100) c.Skip("the broker's Receive Maximum of " + std::to_string(limit) + " is too large to exceed here");
             TCheckClient& pub = Connected(c, "pub");
             for (uint32_t i = 1; i <= limit + 1 && !pub.Closed(); ++i)
                 pub.SendRaw(RawPublish(c.Version, c.Topic(), "open", 2, false, static_cast<int>(i)));
             ExpectClosed(c, pub, "Receive Maximum exceeded", {0x93});
         }},
        {"flow.qos-not-supported", F, V50, {}, {"MQTT-3.2.2-11", "§3.3.1.2"},
         "A PUBLISH above the broker's Maximum QoS is refused with DISCONNECT 0x9B (QoS not supported).",
         [](TCheckContext& c) {
             if (c.Facts.MaximumQos >= 2) c.Skip("the broker supports QoS 2");
             ExpectRefused(c, RawPublish(c.Version, c.Topic(), "q", c.Facts.MaximumQos + 1, false, 1),
                           "QoS above the maximum", {0x9B});
         }},
        {"flow.retain-not-supported", F, V50, {}, {"MQTT-3.2.2-14", "§3.3.1.3"},
         "A retained PUBLISH to a broker without Retain Available is refused with DISCONNECT 0x9A.",
         [](TCheckContext& c) {
             if (c.Facts.RetainAvailable) c.Skip("the broker offers retained messages");
             ExpectRefused(c, RawPublish(c.Version, c.Topic(), "r", 0, true), "a retained PUBLISH", {0x9A});
         }},
    });
}
