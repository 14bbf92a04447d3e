// Persistent sessions: subscriptions and messages kept while the client is
// away, a clean session discarding them, and a second connection taking the
// session over.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

// A subscriber that keeps its session, subscribed and gone.
TConnectOptions AwaySubscriber(TCheckContext& c, const std::string& topic, int qos)
{
    const TConnectOptions options = Persistent(c, "sub");
    TCheckClient& sub = Connected(c, "sub", options);
    sub.SubscribeOk(topic, qos);
    sub.Disconnect();
    return options;
}

}  // namespace

void AddSessionChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Sessions;
    checks.insert(checks.end(), {
        {"sessions.queued-qos1", F, VAll, {"MQTT-3.1.2-5", "MQTT-4.5.0-1"},
         {"MQTT-3.1.2-23", "MQTT-3.1.2-5", "MQTT-4.5.0-1"},
         "A QoS 1 message published while a subscriber with a kept session is away reaches it when it comes back.",
         [](TCheckContext& c) {
             RequireQos(c, 1);
             const std::string topic = c.Topic();
             const TConnectOptions options = AwaySubscriber(c, topic, 1);
             Connected(c, "pub").Publish(topic, "stored", 1);
             TCheckClient& back = Connected(c, "back", options);
             ExpectOne(c, back, topic, "the stored message after reconnecting");
         }},
        {"sessions.queued-qos2", F, VAll, {"MQTT-3.1.2-5"}, {"MQTT-3.1.2-23", "MQTT-3.1.2-5"},
         "A QoS 2 message stored for an absent subscriber is delivered once, at QoS 2, when it comes back.",
         [](TCheckContext& c) {
             RequireQos(c, 2);
             const std::string topic = c.Topic();
             const TConnectOptions options = AwaySubscriber(c, topic, 2);
             Connected(c, "pub").Publish(topic, "stored", 2);
             TCheckClient& back = Connected(c, "back", options);
             const TMessage m = ExpectOne(c, back, topic, "the stored message");
             c.Expect(m.Qos == 2, "QoS 2", m.Summary());
         }},
        {"sessions.queued-order", F, V311Up, {"MQTT-4.6.0-5", "MQTT-4.6.0-6"}, {"MQTT-4.6.0-5", "MQTT-4.6.0-6"},
         "Five messages stored for an absent subscriber arrive in the order they were published.",
         [](TCheckContext& c) {
             RequireQos(c, 1);
             const std::string topic = c.Topic();
             const TConnectOptions options = AwaySubscriber(c, topic, 1);
             TCheckClient& pub = Connected(c, "pub");
             for (int i = 0; i < 5; ++i) pub.Publish(topic, "s" + std::to_string(i), 1);
             TCheckClient& back = Connected(c, "back", options);
             const auto got = back.WaitMessages(5, c.Answer(), topic);
             std::string order;
             for (const TMessage& m : got) order += m.Payload + " ";
             c.Expect(order == "s0 s1 s2 s3 s4 ", "s0 to s4 in order", order.empty() ? "nothing" : order);
         }},
        {"sessions.subscriptions-kept", F, VAll, {"MQTT-3.1.2-4"}, {"MQTT-3.1.2-5"},
         "A kept session keeps its subscriptions: after reconnecting, messages arrive without a new SUBSCRIBE.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             const TConnectOptions options = AwaySubscriber(c, topic, 1);
             TCheckClient& back = Connected(c, "back", options);
             Connected(c, "pub").Publish(topic, "live", 1);
             ExpectOne(c, back, topic, "the message through the kept subscription");
         }},
        {"sessions.clean-discards", F, VAll, {"MQTT-3.1.2-6"}, {"MQTT-3.1.2-4"},
         "Connecting with a clean session discards the kept one: neither its subscriptions nor its stored messages remain.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TConnectOptions options = AwaySubscriber(c, topic, 1);
             Connected(c, "pub").Publish(topic, "stored", 1);
             options.Clean = true;
             options.Properties.clear();
             TCheckClient& clean = Connected(c, "clean", options);
             ExpectNone(c, clean, topic, "no stored message in a clean session");
             Connected(c, "pub2").Publish(topic, "live", 1);
             ExpectNone(c, clean, topic, "no message through the discarded subscription");
         }},
        {"sessions.redelivery-dup", F, V311Up, {"MQTT-4.4.0-1", "MQTT-3.3.1-1"}, {"MQTT-4.4.0-1", "MQTT-3.3.1-1"},
         "A QoS 1 message left unacknowledged is sent again after reconnecting, with DUP 1 and its packet identifier.",
         [](TCheckContext& c) {
             RequireQos(c, 1);
             const std::string topic = c.Topic();
             const TConnectOptions options = Persistent(c, "sub");
             TCheckClient& sub = Connected(c, "sub", options);
             sub.HoldAcks();
             sub.SubscribeOk(topic, 1);
             Connected(c, "pub").Publish(topic, "unacked", 1);
             const TMessage first = ExpectOne(c, sub, topic, "the message before the reconnect");
             sub.Drop();
             TCheckClient& back = Connected(c, "back", options);
             const auto again = back.WaitMessages(1, c.Answer(), topic);
             c.Expect(!again.empty(), "the unacknowledged message again", back.Saw());
             c.Expect(again[0].Dup && again[0].Id == first.Id, "DUP 1 and packet identifier " + std::to_string(first.Id),
                      again[0].Summary() + " id " + std::to_string(again[0].Id));
         }},
        {"sessions.takeover", F, VAll, {"MQTT-3.1.4-2"}, {"MQTT-3.1.4-3"},
         "A second connection with the same ClientID makes the broker close the first (5.0: DISCONNECT 0x8E).",
         [](TCheckContext& c) {
             TCheckClient& first = Connected(c, "first");
             TConnectOptions same;
             same.ClientID = first.ClientID;
             TCheckClient& second = Connected(c, "second", same);
             ExpectClosed(c, first, "a second connection with its ClientID", {0x8E});
             c.Expect(!second.Closed(), "the second connection kept", second.CloseReason());
         }},
        {"sessions.takeover-keeps-session", F, V311Up, {"MQTT-3.1.4-2", "MQTT-3.2.2-2"},
         {"MQTT-3.1.4-3", "MQTT-3.2.2-3"},
         "Taking over a kept session continues it: Session Present 1 and the subscription still delivers.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             const TConnectOptions options = Persistent(c, "first");
             TCheckClient& first = Connected(c, "first", options);
             first.SubscribeOk(topic, 1);
             TCheckClient& second = c.Client("second");
             const TConnack connack = second.ConnectOk(options);
             c.Expect(connack.SessionPresent, "Session Present 1 for the session taken over", "Session Present 0");
             Connected(c, "pub").Publish(topic, "moved", 1);
             ExpectOne(c, second, topic, "the message at the new connection");
         }},
    });
}
