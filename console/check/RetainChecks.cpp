// Retained messages: kept, replaced, cleared, and the RETAIN flag on delivery.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

// Publishes a retained message (remembered for the clean-up).
void PublishRetained(TCheckContext& c, TCheckClient& pub, const std::string& topic, const std::string& payload,
                     int qos = 1)
{
    c.Retained(topic);
    const TAck ack = pub.Publish(topic, payload, qos, true);
    if (qos > 0) c.Expect(ack.Received && ack.Code < 0x80, "the retained PUBLISH acknowledged", pub.Saw());
}

}  // namespace

void AddRetainChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Retain;
    checks.insert(checks.end(), {
        {"retain.new-subscriber", F, VAll, {"MQTT-3.3.1-5", "MQTT-3.3.1-6", "MQTT-3.3.1-8"},
         {"MQTT-3.3.1-5", "MQTT-3.3.1-9"},
         "A retained message is sent to a new subscriber with the RETAIN flag set.",
         [](TCheckContext& c) {
             RequireRetain(c);
             const std::string topic = c.Topic();
             PublishRetained(c, Connected(c, "pub"), topic, "kept");
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             const TMessage m = ExpectOne(c, sub, topic, "the retained message");
             c.Expect(m.Retain && m.Payload == "kept", "'kept' with RETAIN 1", m.Summary());
         }},
        {"retain.replace", F, VAll, {"MQTT-3.3.1-5", "MQTT-3.3.1-7"}, {"MQTT-3.3.1-5"},
         "A second retained message replaces the first: a new subscriber gets only the second.",
         [](TCheckContext& c) {
             RequireRetain(c);
             const std::string topic = c.Topic();
             TCheckClient& pub = Connected(c, "pub");
             PublishRetained(c, pub, topic, "first");
             PublishRetained(c, pub, topic, "second", 0);
             pub.Ping();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             const TMessage m = ExpectOne(c, sub, topic, "only the second retained message");
             c.Expect(m.Payload == "second", "'second'", m.Summary());
         }},
        {"retain.clear", F, VAll, {"MQTT-3.3.1-10", "MQTT-3.3.1-11"}, {"MQTT-3.3.1-6", "MQTT-3.3.1-7"},
         "A retained PUBLISH with an empty payload clears the retained message and is not kept itself.",
         [](TCheckContext& c) {
             RequireRetain(c);
             const std::string topic = c.Topic();
             TCheckClient& pub = Connected(c, "pub");
             PublishRetained(c, pub, topic, "gone");
             pub.Publish(topic, "", 1, true);
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             ExpectNone(c, sub, topic, "no retained message after the clear");
         }},
        {"retain.live-flag", F, VAll, {"MQTT-3.3.1-9"}, {"MQTT-3.3.1-12"},
         "A retained message published while a subscription exists reaches that subscriber with RETAIN 0.",
         [](TCheckContext& c) {
             RequireRetain(c);
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             PublishRetained(c, Connected(c, "pub"), topic, "live");
             const TMessage m = ExpectOne(c, sub, topic, "the message");
             c.Expect(!m.Retain, "RETAIN 0 for an established subscription", m.Summary());
         }},
        {"retain.unretained-keeps", F, VAll, {"MQTT-3.3.1-12"}, {"MQTT-3.3.1-8"},
         "A PUBLISH without RETAIN neither replaces nor removes the retained message.",
         [](TCheckContext& c) {
             RequireRetain(c);
             const std::string topic = c.Topic();
             TCheckClient& pub = Connected(c, "pub");
             PublishRetained(c, pub, topic, "kept");
             pub.Publish(topic, "passing", 1, false);
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             const TMessage m = ExpectOne(c, sub, topic, "the retained message");
             c.Expect(m.Payload == "kept", "'kept'", m.Summary());
         }},
        {"retain.qos-kept", F, V311Up, {"MQTT-3.3.1-5", "MQTT-3.8.4-6"}, {"MQTT-3.3.1-5", "MQTT-3.8.4-8"},
         "A message retained at QoS 1 is sent to a new QoS 2 subscriber at QoS 1.",
         [](TCheckContext& c) {
             RequireRetain(c);
             RequireQos(c, 2);
             const std::string topic = c.Topic();
             PublishRetained(c, Connected(c, "pub"), topic, "q1");
             TCheckClient& sub = Subscribed(c, "sub", topic, "2");
             const TMessage m = ExpectOne(c, sub, topic, "the retained message");
             c.Expect(m.Qos == 1, "QoS 1 (the QoS it was retained with)", m.Summary());
         }},
        {"retain.wildcard", F, VAll, {"MQTT-3.3.1-6"}, {"MQTT-3.3.1-9"},
         "A wildcard subscription gets the retained message of every matching topic.",
         [](TCheckContext& c) {
             RequireRetain(c);
             RequireWildcards(c);
             TCheckClient& pub = Connected(c, "pub");
             PublishRetained(c, pub, c.Topic("w/a"), "a");
             PublishRetained(c, pub, c.Topic("w/b"), "b");
             TCheckClient& sub = Subscribed(c, "sub", c.Topic("w/+"), "1");
             const auto got = sub.WaitMessages(2, c.Answer());
             c.Expect(got.size() == 2, "both retained messages", Listed(got));
         }},
        {"retain.resubscribe", F, V311Up, {"MQTT-3.8.4-3"}, {"MQTT-3.8.4-4"},
         "Subscribing again to the same filter sends the retained message again.",
         [](TCheckContext& c) {
             RequireRetain(c);
             const std::string topic = c.Topic();
             PublishRetained(c, Connected(c, "pub"), topic, "again");
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             ExpectOne(c, sub, topic, "the retained message");
             sub.Subscribe(topic, 1);
             const auto got = sub.WaitMessages(2, c.Answer(), topic);
             c.Expect(got.size() == 2, "the retained message again after the second SUBSCRIBE", Listed(got));
         }},
        {"retain.outlives-session", F, V311Up, {"MQTT-3.1.2-7"}, {"MQTT-3.3.1-5"},
         "A retained message stays after its publisher's session has ended.",
         [](TCheckContext& c) {
             RequireRetain(c);
             const std::string topic = c.Topic();
             TCheckClient& pub = Connected(c, "pub");
             PublishRetained(c, pub, topic, "stays");
             pub.Disconnect();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             ExpectOne(c, sub, topic, "the retained message of the ended session");
         }},
    });
}
