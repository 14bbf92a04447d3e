// MQTT 5.0 properties the broker passes on unchanged, and those it must not
// send or accept.
#include "console/check/CheckSteps.h"
#include "mqtt/codec/MessageTypes.h"

using namespace CheckSteps;

namespace {

// A message published with the properties reaches the subscriber; returned.
TMessage PassedOn(TCheckContext& c, const std::string& properties)
{
    const std::string topic = c.Topic();
    TCheckClient& sub = Subscribed(c, "sub", topic, "1");
    Connected(c, "pub").Publish(topic, "props", TPublishOptions{1, false, properties});
    return ExpectOne(c, sub, topic, "the message");
}

void ExpectProperty(TCheckContext& c, const TMessage& m, uint8_t id, const std::string& name, const std::string& value)
{
    const TProperty* p = m.Find(id);
    c.Expect(p != nullptr, name + " passed on", m.Summary() + " without it");
    const std::string got = id == 0x09 ? p->Bytes : id == 0x01 ? std::to_string(p->Number) : p->Text;
    c.Expect(got == value, name + " " + value, got);
}

// Whether any packet of the client other than PUBLISH, CONNACK and DISCONNECT
// carried a Reason String or User Property.
std::string ProblemProperties(TCheckClient& client)
{
    for (const TSessionFrame& f : client.Frames()) {
        const int type = f.Bytes[0] >> 4;
        if (f.Direction != TFrameDirection::Received || type == 2 || type == 3 || type == 14) continue;
        try {
            auto packet = client.Decode(f);
            for (const TProperty& p : packet->Properties)
                if (p.Id == 0x1F || p.Id == 0x26) return std::string(MessageType::Name(type)) + " with property " + std::to_string(p.Id);
        } catch (const std::exception&) {
        }
    }
    return {};
}

}  // namespace

void AddPropertyChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Properties;
    checks.insert(checks.end(), {
        {"properties.user", F, V50, {}, {"MQTT-3.3.2-17", "MQTT-3.3.2-18"},
         "User Properties, a name repeated among them, reach the subscriber unchanged and in their order.",
         [](TCheckContext& c) {
             const TMessage m = PassedOn(c, UserProperty("k", "1") + "; " + UserProperty("a", "2") + "; " +
                                                UserProperty("k", "3"));
             std::string order;
             for (const TProperty* p : m.All(0x26)) order += p->Text + "=" + p->Text2 + " ";
             c.Expect(order == "k=1 a=2 k=3 ", "k=1 a=2 k=3 in that order", order.empty() ? "none" : order);
         }},
        {"properties.response-topic", F, V50, {}, {"MQTT-3.3.2-15"},
         "The Response Topic reaches the subscriber unchanged.",
         [](TCheckContext& c) {
             const std::string reply = c.Topic("reply");
             ExpectProperty(c, PassedOn(c, "response-topic = " + reply), 0x08, "Response Topic", reply);
         }},
        {"properties.correlation-data", F, V50, {}, {"MQTT-3.3.2-16"},
         "The Correlation Data reaches the subscriber byte for byte.",
         [](TCheckContext& c) {
             ExpectProperty(c, PassedOn(c, "correlation-data = hex:00ff10"), 0x09, "Correlation Data",
                            std::string("\x00\xff\x10", 3));
         }},
        {"properties.payload-format", F, V50, {}, {"MQTT-3.3.2-4"},
         "The Payload Format Indicator reaches the subscriber unchanged.",
         [](TCheckContext& c) {
             ExpectProperty(c, PassedOn(c, "payload-format-indicator = 1"), 0x01, "Payload Format Indicator", "1");
         }},
        {"properties.content-type", F, V50, {}, {"MQTT-3.3.2-20"},
         "The Content Type reaches the subscriber unchanged.",
         [](TCheckContext& c) {
             ExpectProperty(c, PassedOn(c, "content-type = \"application/json; charset=utf-8\""), 0x03, "Content Type",
                            "application/json; charset=utf-8");
         }},
        {"properties.will", F, V50, {}, {"MQTT-3.1.3-10"},
         "A will's User Properties and Content Type reach the subscriber with the will, in their order.",
         [](TCheckContext& c) {
             TCheckClient& watcher = Subscribed(c, "watch", c.Topic("will"), "1");
             TConnectOptions options;
             options.WillTopic = c.Topic("will");
             options.WillPayload = "bye";
             options.WillProperties = "content-type = text/plain; " + UserProperty("w", "1") + "; " + UserProperty("v", "2");
             Connected(c, "dying", options).Drop();
             const TMessage m = ExpectOne(c, watcher, c.Topic("will"), "the will");
             std::string order;
             for (const TProperty* p : m.All(0x26)) order += p->Text + "=" + p->Text2 + " ";
             c.Expect(order == "w=1 v=2 ", "the will's User Properties w=1 v=2", order.empty() ? "none" : order);
             ExpectProperty(c, m, 0x03, "Content Type", "text/plain");
         }},
        {"properties.subscription-id-from-client", F, V50, {}, {"MQTT-3.3.4-6"},
         "A PUBLISH from a client that carries a Subscription Identifier is a protocol error: the connection is closed.",
         [](TCheckContext& c) {
             ExpectRefused(c, RawPublish(c.Version, c.Topic(), "x", 0, false, 0, false, std::string("\x0B\x05", 2)),
                           "a Subscription Identifier in PUBLISH");
         }},
        {"properties.no-response-information", F, V50, {}, {"MQTT-3.1.2-28"},
         "Without Request Response Information the CONNACK carries no Response Information.",
         [](TCheckContext& c) {
             const TConnack connack = c.Client("a").ConnectOk();
             c.Expect(connack.Find(0x1A) == nullptr, "no Response Information", "Response Information " +
                      (connack.Find(0x1A) ? connack.Find(0x1A)->Text : std::string()));
         }},
        {"properties.no-problem-information", F, V50, {}, {"MQTT-3.1.2-29"},
         "With Request Problem Information 0, no packet but PUBLISH, CONNACK and DISCONNECT carries a Reason String or User Property.",
         [](TCheckContext& c) {
             TConnectOptions options;
             options.Properties = "request-problem-information = 0";
             TCheckClient& client = Connected(c, "quiet", options);
             client.Subscribe({c.Topic()}, {"1"});
             client.Unsubscribe({c.Topic("never")});
             client.Publish(c.Topic("nobody"), "x", 1);
             client.Publish(c.Topic("nobody"), "y", 2);
             const std::string found = ProblemProperties(client);
             c.Expect(found.empty(), "no Reason String or User Property", found);
         }},
    });
}

