// Delivery between clients at QoS 0, 1 and 2: acknowledgements, order per
// topic, no duplicate at QoS 2, the DUP flag.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

// A message published at pubQos reaches a subscriber of subQos at the lower of the two.
void Deliver(TCheckContext& c, int pubQos, int subQos)
{
    RequireQos(c, std::max(pubQos, subQos));
    const std::string topic = c.Topic();
    TCheckClient& sub = Subscribed(c, "sub", topic, std::to_string(subQos));
    TCheckClient& pub = Connected(c, "pub");
    const TAck ack = pub.Publish(topic, "qos" + std::to_string(pubQos), pubQos);
    if (pubQos > 0) c.Expect(ack.Received && ack.Code < 0x80, std::string(pubQos == 1 ? "PUBACK" : "PUBREC") +
                             " with the PUBLISH's packet identifier", pub.Saw());
    const TMessage m = ExpectOne(c, sub, topic, "the message at QoS " + std::to_string(std::min(pubQos, subQos)));
    c.Expect(m.Qos == std::min(pubQos, subQos), "QoS " + std::to_string(std::min(pubQos, subQos)), m.Summary());
    c.Expect(m.Payload == "qos" + std::to_string(pubQos), "the payload unchanged", m.Summary());
}

// Ten messages on one topic arrive in the order they were published.
void InOrder(TCheckContext& c, int qos)
{
    RequireQos(c, qos);
    const std::string topic = c.Topic();
    TCheckClient& sub = Subscribed(c, "sub", topic, std::to_string(qos));
    TCheckClient& pub = Connected(c, "pub");
    for (int i = 0; i < 10; ++i) pub.Publish(topic, "m" + std::to_string(i), qos);
    const auto got = sub.WaitMessages(10, c.Answer() * 2, topic);
    std::string order;
    for (const TMessage& m : got) order += m.Payload + " ";
    c.Expect(order == "m0 m1 m2 m3 m4 m5 m6 m7 m8 m9 ", "m0 to m9 in order", order.empty() ? "nothing" : order);
}

}  // namespace

void AddDeliveryChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Delivery;
    checks.insert(checks.end(), {
        {"delivery.qos0", F, VAll, {"MQTT-3.3.2-3", "MQTT-4.5.0-1"}, {"MQTT-3.3.2-3", "MQTT-4.5.0-1"},
         "A QoS 0 message reaches a subscriber of its topic once, at QoS 0.",
         [](TCheckContext& c) { Deliver(c, 0, 2); }},
        {"delivery.qos1", F, VAll, {"MQTT-3.3.4-1", "MQTT-2.3.1-6"}, {"MQTT-3.3.4-1", "MQTT-2.2.1-5"},
         "A QoS 1 message is acknowledged with PUBACK and reaches a QoS 1 subscriber at QoS 1.",
         [](TCheckContext& c) { Deliver(c, 1, 1); }},
        {"delivery.qos2", F, VAll, {"MQTT-3.3.4-1", "MQTT-4.3.3-2"}, {"MQTT-3.3.4-1", "MQTT-4.3.3-8", "MQTT-4.3.3-11"},
         "A QoS 2 message goes through PUBREC, PUBREL, PUBCOMP and reaches a QoS 2 subscriber once, at QoS 2.",
         [](TCheckContext& c) { Deliver(c, 2, 2); }},
        {"delivery.qos2-no-duplicate", F, VAll, {"MQTT-4.3.3-2"}, {"MQTT-4.3.3-10"},
         "A QoS 2 PUBLISH sent again with DUP before PUBREL is answered with PUBREC but delivered only once.",
         [](TCheckContext& c) {
             RequireQos(c, 2);
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "2");
             TCheckClient& pub = Connected(c, "pub");
             const size_t mark = pub.Mark();
             pub.SendRaw(RawPublish(c.Version, topic, "once", 2, false, 77));
             c.Expect(pub.WaitFrame(5, c.Answer(), mark).has_value(), "PUBREC to the QoS 2 PUBLISH", pub.Saw());
             const size_t again = pub.Mark();
             pub.SendRaw(RawPublish(c.Version, topic, "once", 2, false, 77, true));
             c.Expect(pub.WaitFrame(5, c.Answer(), again).has_value(), "PUBREC to the repeated PUBLISH", pub.Saw());
             pub.SendRaw(TRawFrame().U16(77).Frame(0x62));
             c.Expect(pub.WaitFrame(7, c.Answer(), again).has_value(), "PUBCOMP to PUBREL", pub.Saw());
             ExpectOne(c, sub, topic, "the QoS 2 message exactly once");
         }},
        {"delivery.qos1-id-reused", F, V311Up, {"MQTT-4.3.2-2"}, {"MQTT-4.3.2-5"},
         "After PUBACK, a QoS 1 PUBLISH with the same packet identifier is a new message and is delivered again.",
         [](TCheckContext& c) {
             RequireQos(c, 1);
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             TCheckClient& pub = Connected(c, "pub");
             for (int i = 0; i < 2; ++i) {
                 const size_t mark = pub.Mark();
                 pub.SendRaw(RawPublish(c.Version, topic, "again" + std::to_string(i), 1, false, 5));
                 c.Expect(pub.WaitFrame(4, c.Answer(), mark).has_value(), "PUBACK", pub.Saw());
             }
             const auto got = sub.WaitMessages(2, c.Answer(), topic);
             c.Expect(got.size() == 2, "both messages delivered", Listed(got));
         }},
        {"delivery.qos2-id-reused", F, V311Up, {"MQTT-4.3.3-2"}, {"MQTT-4.3.3-12"},
         "After PUBCOMP, a QoS 2 PUBLISH with the same packet identifier is a new message and is delivered again.",
         [](TCheckContext& c) {
             RequireQos(c, 2);
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "2");
             TCheckClient& pub = Connected(c, "pub");
             for (int i = 0; i < 2; ++i) {
                 const size_t mark = pub.Mark();
                 pub.SendRaw(RawPublish(c.Version, topic, "again" + std::to_string(i), 2, false, 6));
                 c.Expect(pub.WaitFrame(5, c.Answer(), mark).has_value(), "PUBREC", pub.Saw());
                 pub.SendRaw(TRawFrame().U16(6).Frame(0x62));
                 c.Expect(pub.WaitFrame(7, c.Answer(), mark).has_value(), "PUBCOMP", pub.Saw());
             }
             const auto got = sub.WaitMessages(2, c.Answer(), topic);
             c.Expect(got.size() == 2, "both messages delivered", Listed(got));
         }},
        {"delivery.pubrel-unknown", F, V311Up, {"MQTT-4.3.3-2"}, {"MQTT-4.3.3-11"},
         "A PUBREL for a packet identifier the broker does not know is still answered with PUBCOMP.",
         [](TCheckContext& c) {
             TCheckClient& pub = Connected(c, "pub");
             const size_t mark = pub.Mark();
             pub.SendRaw(TRawFrame().U16(4321).Frame(0x62));
             const auto comp = pub.WaitFrame(7, c.Answer(), mark);
             c.Expect(comp.has_value(), "PUBCOMP", pub.Saw());
             c.Expect(comp->Bytes.size() >= 4 && comp->Bytes[2] == 0x10 && comp->Bytes[3] == 0xE1,
                      "PUBCOMP with packet identifier 4321", HexText(comp->Bytes));
         }},
        {"delivery.order-qos0", F, VAll, {"MQTT-4.6.0-5", "MQTT-4.6.0-6"}, {"MQTT-4.6.0-5", "MQTT-4.6.0-6"},
         "Ten QoS 0 messages on one topic reach the subscriber in the order they were published.",
         [](TCheckContext& c) { InOrder(c, 0); }},
        {"delivery.order-qos1", F, VAll, {"MQTT-4.6.0-5", "MQTT-4.6.0-6"}, {"MQTT-4.6.0-5", "MQTT-4.6.0-6"},
         "Ten QoS 1 messages on one topic reach the subscriber in the order they were published.",
         [](TCheckContext& c) { InOrder(c, 1); }},
        {"delivery.order-qos2", F, VAll, {"MQTT-4.6.0-5", "MQTT-4.6.0-6"}, {"MQTT-4.6.0-5", "MQTT-4.6.0-6"},
         "Ten QoS 2 messages on one topic reach the subscriber in the order they were published.",
         [](TCheckContext& c) { InOrder(c, 2); }},
        {"delivery.ping", F, VAll, {"MQTT-3.12.4-1"}, {"MQTT-3.12.4-1"},
         "A PINGREQ is answered with a PINGRESP.",
         [](TCheckContext& c) {
             TCheckClient& client = Connected(c, "pinger");
             const size_t mark = client.Mark();
             client.Ping();
             c.Expect(client.WaitFrame(13, c.Answer(), mark).has_value(), "PINGRESP", client.Saw());
         }},
        {"delivery.qos0-no-dup", F, VAll, {"MQTT-3.3.1-2", "MQTT-4.3.1-1"}, {"MQTT-3.3.1-2", "MQTT-4.3.1-1"},
         "A message delivered at QoS 0 has the DUP flag 0.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "0");
             Connected(c, "pub").Publish(topic, "zero", 0);
             const TMessage m = ExpectOne(c, sub, topic, "the message");
             c.Expect(!m.Dup && m.Qos == 0, "QoS 0 with DUP 0", m.Summary());
         }},
        {"delivery.dup-not-forwarded", F, V311Up, {"MQTT-3.3.1-3"}, {"MQTT-3.3.1-3"},
         "A QoS 1 PUBLISH that arrives with DUP set goes to the subscriber with DUP 0: it is its first delivery.",
         [](TCheckContext& c) {
             RequireQos(c, 1);
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             Connected(c, "pub").SendRaw(RawPublish(c.Version, topic, "dup", 1, false, 9, true));
             const TMessage m = ExpectOne(c, sub, topic, "the message");
             c.Expect(!m.Dup, "DUP 0 on the first delivery", m.Summary());
         }},
        {"delivery.fan-out", F, VAll, {"MQTT-4.5.0-1"}, {"MQTT-4.5.0-1"},
         "A message reaches every client subscribed to its topic, once each.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TCheckClient& a = Subscribed(c, "sub1", topic, "1");
             TCheckClient& b = Subscribed(c, "sub2", topic, "1");
             Connected(c, "pub").Publish(topic, "both", 1);
             ExpectOne(c, a, topic, "the message at the first subscriber");
             ExpectOne(c, b, topic, "the message at the second subscriber");
         }},
        {"delivery.payload-bytes", F, VAll, {"MQTT-4.5.0-1"}, {"MQTT-4.5.0-1"},
         "A payload of every byte value 0 to 255 reaches the subscriber unchanged.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             std::string payload;
             for (int i = 0; i < 256; ++i) payload += static_cast<char>(i);
             Connected(c, "pub").SendRaw(RawPublish(c.Version, topic, payload, 1, false, 3));
             const TMessage m = ExpectOne(c, sub, topic, "the message");
             c.Expect(m.Payload == payload, "the 256 bytes unchanged", std::to_string(m.Payload.size()) + " bytes, changed");
         }},
    });
}
