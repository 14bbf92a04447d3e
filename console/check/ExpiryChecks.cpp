// MQTT 5.0 expiry: a session that ends after its Session Expiry Interval,
// and messages that expire while they wait.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

// A persistent subscriber that went away, a QoS 1 message published to it
// with the expiry given, a wait, and the subscriber back.
TCheckClient& BackAfterAWait(TCheckContext& c, const std::string& topic, const char* payload, const char* expiry,
                             int waitMs)
{
    const TConnectOptions options = Persistent(c, "sub");
    TCheckClient& sub = Connected(c, "sub", options);
    sub.SubscribeOk(topic, 1);
    sub.Disconnect();
    Connected(c, "pub").Publish(topic, payload, TPublishOptions{1, false, expiry});
    c.Sleep(waitMs);
    return Connected(c, "back", options);
}

}  // namespace

void AddExpiryChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Expiry;
    checks.insert(checks.end(), {
        {"expiry.session-kept", F, V50, {}, {"MQTT-3.1.2-23", "MQTT-3.2.2-3"},
         "A session with a Session Expiry Interval of 3 s is still there 1 s after the disconnect.",
         [](TCheckContext& c) {
             const TConnectOptions options = Persistent(c, "s", 3);
             Connected(c, "s", options).Disconnect();
             c.Sleep(1000);
             const TConnack connack = c.Client("s2").ConnectOk(options);
             c.Expect(connack.SessionPresent, "Session Present 1 within the expiry", "Session Present 0");
         }, true},
        {"expiry.session-ended", F, V50, {}, {"MQTT-4.1.0-2", "MQTT-3.2.2-3"},
         "A session with a Session Expiry Interval of 1 s is gone 2.5 s after the disconnect.",
         [](TCheckContext& c) {
             const TConnectOptions options = Persistent(c, "s", 1);
             TCheckClient& first = Connected(c, "s", options);
             first.SubscribeOk(c.Topic(), 1);
             first.Disconnect();
             c.Sleep(2500);
             const TConnack connack = c.Client("s2").ConnectOk(options);
             c.Expect(!connack.SessionPresent, "Session Present 0 after the expiry", "Session Present 1");
         }, true},
        {"expiry.session-zero", F, V50, {}, {"MQTT-4.1.0-2", "MQTT-3.2.2-3"},
         "Without a Session Expiry Interval the session ends with the connection, even with Clean Start 0.",
         [](TCheckContext& c) {
             TConnectOptions options;
             options.Clean = false;
             options.ClientID = c.ClientIdFor("s");
             TCheckClient& first = Connected(c, "s", options);
             first.SubscribeOk(c.Topic(), 1);
             first.Disconnect();
             const TConnack connack = c.Client("s2").ConnectOk(options);
             c.Expect(!connack.SessionPresent, "Session Present 0", "Session Present 1");
         }},
        {"expiry.message", F, V50, {}, {"MQTT-3.3.2-5"},
         "A message with a Message Expiry Interval of 1 s that waited 2.5 s for its absent subscriber is not delivered.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TCheckClient& back = BackAfterAWait(c, topic, "expires", "message-expiry-interval = 1", 2500);
             ExpectNone(c, back, topic, "no expired message");
         }, true},
        {"expiry.message-remaining", F, V50, {}, {"MQTT-3.3.2-6"},
         "A stored message is delivered with its Message Expiry Interval lowered by the time it waited.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TCheckClient& back = BackAfterAWait(c, topic, "waits", "message-expiry-interval = 60", 2100);
             const TMessage m = ExpectOne(c, back, topic, "the stored message");
             const TProperty* expiry = m.Find(0x02);
             c.Expect(expiry != nullptr, "a Message Expiry Interval", m.Summary());
             c.Expect(expiry->Number <= 58, "at most 58 s left of 60 after waiting 2 s",
                      std::to_string(expiry->Number) + " s");
         }, true},
        {"expiry.retained", F, V50, {}, {"MQTT-3.3.2-5", "§3.3.1.3"},
         "A retained message with a Message Expiry Interval of 1 s is no longer sent to a subscriber 2.5 s later.",
         [](TCheckContext& c) {
             RequireRetain(c);
             const std::string topic = c.Topic();
             c.Retained(topic);
             Connected(c, "pub").Publish(topic, "expires", TPublishOptions{1, true, "message-expiry-interval = 1"});
             c.Sleep(2500);
             ExpectNone(c, Subscribed(c, "sub", topic, "1"), topic, "no expired retained message");
         }, true},
    });
}
