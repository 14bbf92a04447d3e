// Will messages: sent after an abnormal end, not after DISCONNECT; retained
// or not; 5.0's Will Delay Interval and DISCONNECT with Will Message.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

TConnectOptions WithWill(TCheckContext& c, int qos = 1, bool retain = false, const std::string& properties = {})
{
    TConnectOptions options;
    options.WillTopic = c.Topic("will");
    options.WillPayload = "gone";
    options.WillQos = qos;
    options.WillRetain = retain;
    options.WillProperties = properties;
    if (retain) c.Retained(options.WillTopic);
    return options;
}

}  // namespace

void AddWillChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Will;
    checks.insert(checks.end(), {
        {"will.abnormal-end", F, VAll, {"MQTT-3.1.2-8"}, {"MQTT-3.1.2-8"},
         "The will is published when the connection ends without DISCONNECT.",
         [](TCheckContext& c) {
             TCheckClient& watcher = Subscribed(c, "watch", c.Topic("will"), "1");
             Connected(c, "dying", WithWill(c)).Drop();
             const TMessage m = ExpectOne(c, watcher, c.Topic("will"), "the will");
             c.Expect(m.Payload == "gone", "the will's payload 'gone'", m.Summary());
         }},
        {"will.not-after-disconnect", F, VAll, {"MQTT-3.1.2-8", "MQTT-3.1.2-10", "MQTT-3.14.4-3"},
         {"MQTT-3.1.2-8", "MQTT-3.1.2-10", "MQTT-3.14.4-3"},
         "No will is published after a DISCONNECT.",
         [](TCheckContext& c) {
             TCheckClient& watcher = Subscribed(c, "watch", c.Topic("will"), "1");
             Connected(c, "leaving", WithWill(c)).Disconnect();
             ExpectNone(c, watcher, c.Topic("will"), "no will after DISCONNECT");
         }},
        {"will.retained", F, V311Up, {"MQTT-3.1.2-17"}, {"MQTT-3.1.2-15"},
         "A will with Will Retain 1 is published as a retained message.",
         [](TCheckContext& c) {
             RequireRetain(c);
             Connected(c, "dying", WithWill(c, 1, true)).Drop();
             c.Sleep(c.Quiet());
             TCheckClient& late = Subscribed(c, "late", c.Topic("will"), "1");
             const TMessage m = ExpectOne(c, late, c.Topic("will"), "the retained will");
             c.Expect(m.Retain, "RETAIN 1", m.Summary());
         }},
        {"will.not-retained", F, V311Up, {"MQTT-3.1.2-16"}, {"MQTT-3.1.2-14"},
         "A will with Will Retain 0 is published as a non-retained message.",
         [](TCheckContext& c) {
             TCheckClient& watcher = Subscribed(c, "watch", c.Topic("will"), "1");
             Connected(c, "dying", WithWill(c)).Drop();
             const TMessage m = ExpectOne(c, watcher, c.Topic("will"), "the will");
             c.Expect(!m.Retain, "RETAIN 0", m.Summary());
             TCheckClient& late = Subscribed(c, "late", c.Topic("will"), "1");
             ExpectNone(c, late, c.Topic("will"), "no retained will for a later subscriber");
         }},
        {"will.qos", F, V311Up, {"MQTT-3.1.2-8", "MQTT-3.1.2-9"}, {"MQTT-3.1.2-8", "MQTT-3.1.2-9"},
         "A will of QoS 2 reaches a QoS 2 subscriber at QoS 2.",
         [](TCheckContext& c) {
             RequireQos(c, 2);
             TCheckClient& watcher = Subscribed(c, "watch", c.Topic("will"), "2");
             Connected(c, "dying", WithWill(c, 2)).Drop();
             const TMessage m = ExpectOne(c, watcher, c.Topic("will"), "the will");
             c.Expect(m.Qos == 2, "QoS 2", m.Summary());
         }},
        {"will.delay", F, V50, {}, {"MQTT-3.1.2-8"},
         "A will with a Will Delay Interval of 2 s (and a session that outlives it) is published after the delay, not at once.",
         [](TCheckContext& c) {
             TCheckClient& watcher = Subscribed(c, "watch", c.Topic("will"), "1");
             TConnectOptions options = WithWill(c, 1, false, "will-delay-interval = 2");
             options.Properties = "session-expiry-interval = 30";
             c.Persistent(c.ClientIdFor("dying"));
             Connected(c, "dying", options).Drop();
             const auto early = watcher.WaitMessages(1, 1200, c.Topic("will"));
             c.Expect(early.empty(), "no will before its delay of 2 s", "the will after " + std::to_string(c.ElapsedMs()) + " ms");
             ExpectOne(c, watcher, c.Topic("will"), "the will once its delay passed");
         }, true},
        {"will.delay-reconnect", F, V50, {}, {"MQTT-3.1.3-9", "MQTT-3.1.2-8"},
         "A will whose client reconnects within the Will Delay Interval is not published.",
         [](TCheckContext& c) {
             TCheckClient& watcher = Subscribed(c, "watch", c.Topic("will"), "1");
             TConnectOptions options = WithWill(c, 1, false, "will-delay-interval = 2");
             options.Properties = "session-expiry-interval = 30";
             options.ClientID = c.ClientIdFor("dying");
             c.Persistent(*options.ClientID);
             Connected(c, "dying", options).Drop();
             TConnectOptions again = Persistent(c, "dying", 30);
             Connected(c, "back", again);
             watcher.WaitMessages(1, 2500, c.Topic("will"));
             ExpectNone(c, watcher, c.Topic("will"), "no will after the client came back in time");
         }, true},
        {"will.disconnect-with-will", F, V50, {}, {"MQTT-3.1.2-8"},
         "A DISCONNECT with reason code 0x04 (Disconnect with Will Message) has the will published.",
         [](TCheckContext& c) {
             TCheckClient& watcher = Subscribed(c, "watch", c.Topic("will"), "1");
             Connected(c, "leaving", WithWill(c)).Disconnect(0x04);
             ExpectOne(c, watcher, c.Topic("will"), "the will after DISCONNECT 0x04");
         }},
    });
}
