// Subscriptions: SUBACK, overlapping filters, the QoS granted and delivered,
// replacing a subscription, unsubscribing.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

// A message published at pubQos reaches a subscriber of subQos at the lower of the two.
void Downgrade(TCheckContext& c, int pubQos, int subQos)
{
    RequireQos(c, std::max(pubQos, subQos));
    const std::string topic = c.Topic();
    TCheckClient& sub = Subscribed(c, "sub", topic, std::to_string(subQos));
    Connected(c, "pub").Publish(topic, "q", pubQos);
    const int want = std::min(pubQos, subQos);
    const TMessage m = ExpectOne(c, sub, topic, "the message at QoS " + std::to_string(want));
    c.Expect(m.Qos == want, "QoS " + std::to_string(want) + " (published " + std::to_string(pubQos) + ", subscribed " +
                                std::to_string(subQos) + ")", m.Summary());
}

}  // namespace

void AddSubscriptionChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Subscriptions;
    checks.insert(checks.end(), {
        {"subscriptions.downgrade-2-0", F, VAll, {"MQTT-3.8.4-6"}, {"MQTT-3.8.4-8"},
         "A QoS 2 message reaches a QoS 0 subscription at QoS 0.",
         [](TCheckContext& c) { Downgrade(c, 2, 0); }},
        {"subscriptions.downgrade-2-1", F, VAll, {"MQTT-3.8.4-6"}, {"MQTT-3.8.4-8"},
         "A QoS 2 message reaches a QoS 1 subscription at QoS 1.",
         [](TCheckContext& c) { Downgrade(c, 2, 1); }},
        {"subscriptions.no-upgrade", F, VAll, {"MQTT-3.8.4-6"}, {"MQTT-3.8.4-8"},
         "A QoS 1 message reaches a QoS 2 subscription at QoS 1, never higher.",
         [](TCheckContext& c) { Downgrade(c, 1, 2); }},
        {"subscriptions.suback-codes", F, VAll, {"MQTT-3.8.4-5", "MQTT-3.9.3-1"},
         {"MQTT-3.8.4-6", "MQTT-3.8.4-7", "MQTT-3.9.3-1"},
         "A SUBSCRIBE of three filters gets three return codes in their order, none above the QoS asked for.",
         [](TCheckContext& c) {
             TCheckClient& sub = Connected(c, "sub");
             const TAck ack = sub.Subscribe({c.Topic("a"), c.Topic("b"), c.Topic("c")}, {"0", "1", "2"});
             c.Expect(ack.Codes.size() == 3, "3 return codes", std::to_string(ack.Codes.size()) + " codes");
             for (int i = 0; i < 3; ++i)
                 c.Expect(ack.Codes[i] <= i || ack.Codes[i] >= 0x80, "code " + std::to_string(i) + " at most " +
                          std::to_string(i), "code " + std::to_string(ack.Codes[i]));
         }},
        {"subscriptions.suback-id", F, VAll, {"MQTT-3.8.4-2", "MQTT-2.3.1-7"}, {"MQTT-3.8.4-2", "MQTT-2.2.1-6"},
         "The SUBACK carries the packet identifier of its SUBSCRIBE.",
         [](TCheckContext& c) {
             TCheckClient& sub = Connected(c, "sub");
             const size_t mark = sub.Mark();
             sub.SendRaw(RawSubscribe(c.Version, 0x1234, c.Topic(), 1));
             const auto suback = sub.WaitFrame(9, c.Answer(), mark);
             c.Expect(suback.has_value(), "SUBACK", sub.Saw());
             c.Expect(suback->Bytes.size() >= 4 && suback->Bytes[2] == 0x12 && suback->Bytes[3] == 0x34,
                      "packet identifier 0x1234", HexText(suback->Bytes));
         }},
        {"subscriptions.overlap", F, VAll, {"MQTT-3.3.5-1"}, {"MQTT-3.3.4-2"},
         "With overlapping subscriptions of QoS 0 and 2, a QoS 2 message is delivered respecting the maximum, QoS 2.",
         [](TCheckContext& c) {
             RequireQos(c, 2);
             RequireWildcards(c);
             const std::string topic = c.Topic("o/x");
             TCheckClient& sub = Connected(c, "sub");
             sub.Subscribe({c.Topic("o/#"), topic}, {"0", "2"});
             Connected(c, "pub").Publish(topic, "overlap", 2);
             const auto atTwo = sub.WaitMessages(1, c.Answer(), [&](const TMessage& m) { return m.Topic == topic && m.Qos == 2; });
             c.Expect(!atTwo.empty(), "a copy at QoS 2", Listed(sub.WaitMessages(2, 0, topic)));
         }},
        {"subscriptions.replace", F, V311Up, {"MQTT-3.8.4-3"}, {"MQTT-3.8.4-3"},
         "Subscribing again to the same filter replaces the subscription: one copy, at the new QoS.",
         [](TCheckContext& c) {
             RequireQos(c, 1);
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "0");
             sub.Subscribe(topic, 1);
             Connected(c, "pub").Publish(topic, "replaced", 1);
             const TMessage m = ExpectOne(c, sub, topic, "one copy of the message");
             c.Expect(m.Qos == 1, "QoS 1 of the new subscription", m.Summary());
         }},
        {"subscriptions.multiple-filters", F, VAll, {"MQTT-3.8.4-4"}, {"MQTT-3.8.4-5"},
         "A SUBSCRIBE of two filters makes two subscriptions: messages of both topics arrive.",
         [](TCheckContext& c) {
             TCheckClient& sub = Connected(c, "sub");
             sub.Subscribe({c.Topic("m1"), c.Topic("m2")}, {"1", "1"});
             TCheckClient& pub = Connected(c, "pub");
             pub.Publish(c.Topic("m1"), "one", 1);
             pub.Publish(c.Topic("m2"), "two", 1);
             ExpectOne(c, sub, c.Topic("m1"), "the message of the first filter");
             ExpectOne(c, sub, c.Topic("m2"), "the message of the second filter");
         }},
        {"subscriptions.unsubscribe", F, VAll, {"MQTT-3.10.4-2", "MQTT-3.10.4-4"}, {"MQTT-3.10.4-2", "MQTT-3.10.4-4"},
         "After UNSUBSCRIBE and its UNSUBACK, no message of the filter arrives.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             sub.Unsubscribe({topic});
             Connected(c, "pub").Publish(topic, "late", 1);
             ExpectNone(c, sub, topic, "no message after UNSUBSCRIBE");
         }},
        {"subscriptions.unsuback-unknown", F, VAll, {"MQTT-3.10.4-4", "MQTT-3.10.4-5", "MQTT-2.3.1-7"},
         {"MQTT-3.10.4-4", "MQTT-3.10.4-5", "MQTT-2.2.1-6"},
         "An UNSUBSCRIBE of a filter never subscribed is still answered with UNSUBACK and its packet identifier.",
         [](TCheckContext& c) {
             TCheckClient& sub = Connected(c, "sub");
             const size_t mark = sub.Mark();
             TRawFrame body;
             body.U16(0x4321);
             if (c.V5()) body.Byte(0);
             body.Str(c.Topic("never"));
             sub.SendRaw(body.Frame(0xA2));
             const auto unsuback = sub.WaitFrame(11, c.Answer(), mark);
             c.Expect(unsuback.has_value(), "UNSUBACK", sub.Saw());
             c.Expect(unsuback->Bytes.size() >= 4 && unsuback->Bytes[2] == 0x43 && unsuback->Bytes[3] == 0x21,
                      "packet identifier 0x4321", HexText(unsuback->Bytes));
         }},
        {"subscriptions.unsubscribe-exact", F, V311Up, {"MQTT-3.10.4-1"}, {"MQTT-3.10.4-1"},
         "UNSUBSCRIBE compares filters character by character: removing x/+ keeps the subscription x/a.",
         [](TCheckContext& c) {
             RequireWildcards(c);
             const std::string topic = c.Topic("x/a");
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             sub.Unsubscribe({c.Topic("x/+")});
             Connected(c, "pub").Publish(topic, "kept", 1);
             ExpectOne(c, sub, topic, "the message through the subscription that was not removed");
         }},
        {"subscriptions.unsubscribe-multiple", F, V311Up, {"MQTT-3.10.4-6"}, {"MQTT-3.10.4-6"},
         "An UNSUBSCRIBE of two filters removes both subscriptions.",
         [](TCheckContext& c) {
             TCheckClient& sub = Connected(c, "sub");
             sub.Subscribe({c.Topic("u1"), c.Topic("u2"), c.Topic("u3")}, {"1", "1", "1"});
             sub.Unsubscribe({c.Topic("u1"), c.Topic("u2")});
             TCheckClient& pub = Connected(c, "pub");
             for (const char* leaf : {"u1", "u2", "u3"}) pub.Publish(c.Topic(leaf), leaf, 1);
             const auto got = Settled(c, sub, 1);
             c.Expect(got.size() == 1 && got[0].Payload == "u3", "only the message of the third filter", Listed(got));
         }},
    });
}
