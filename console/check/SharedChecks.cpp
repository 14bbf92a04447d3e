// MQTT 5.0 shared subscriptions.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

void RequireShared(TCheckContext& c)
{
    if (!c.Facts.SharedAvailable) c.Skip("the broker does not offer shared subscriptions");
}

std::string Shared(TCheckContext& c, const std::string& leaf = "t") { return "$share/g" + c.Settings.IdPrefix + "/" + c.Topic(leaf); }

}  // namespace

void AddSharedChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Shared;
    checks.insert(checks.end(), {
        {"shared.one-member", F, V50, {}, {"§4.8.2"},
         "Each message to a shared subscription of two members goes to exactly one of them.",
         [](TCheckContext& c) {
             RequireShared(c);
             const std::string topic = c.Topic();
             TCheckClient& a = Subscribed(c, "m1", Shared(c), "1");
             TCheckClient& b = Subscribed(c, "m2", Shared(c), "1");
             TCheckClient& pub = Connected(c, "pub");
             for (int i = 0; i < 6; ++i) pub.Publish(topic, "s" + std::to_string(i), 1);
             // The members' messages together: six of them, then the quiet time for a seventh.
             const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(c.Answer());
             while (a.Messages().size() + b.Messages().size() < 6 && std::chrono::steady_clock::now() < until)
                 a.WaitMessages(a.Messages().size() + 1, 50);
             c.Sleep(c.Quiet());
             std::vector<std::string> all;
             for (TCheckClient* m : {&a, &b})
                 for (const TMessage& msg : m->Messages()) all.push_back(msg.Payload);
             std::sort(all.begin(), all.end());
             std::string got;
             for (const std::string& p : all) got += p + " ";
             c.Expect(got == "s0 s1 s2 s3 s4 s5 ", "each of s0 to s5 exactly once among the members", got.empty() ? "nothing" : got);
         }},
        {"shared.beside-normal", F, V50, {}, {"MQTT-4.5.0-1"},
         "A normal subscription beside a shared one still gets every message.",
         [](TCheckContext& c) {
             RequireShared(c);
             const std::string topic = c.Topic();
             Subscribed(c, "member", Shared(c), "1");
             TCheckClient& normal = Subscribed(c, "normal", topic, "1");
             TCheckClient& pub = Connected(c, "pub");
             for (int i = 0; i < 3; ++i) pub.Publish(topic, "n" + std::to_string(i), 1);
             const auto got = normal.WaitMessages(3, c.Answer(), topic);
             c.Expect(got.size() == 3, "all 3 messages at the normal subscription", Listed(got));
         }},
        {"shared.granted-qos", F, V50, {}, {"MQTT-4.8.2-3"},
         "A message to a QoS 0 shared subscription is sent at QoS 0.",
         [](TCheckContext& c) {
             RequireShared(c);
             const std::string topic = c.Topic();
             TCheckClient& member = Subscribed(c, "member", Shared(c), "0");
             Connected(c, "pub").Publish(topic, "q", 2);
             const TMessage m = ExpectOne(c, member, topic, "the message");
             c.Expect(m.Qos == 0, "QoS 0 of the shared subscription", m.Summary());
         }},
        {"shared.no-local", F, V50, {}, {"MQTT-3.8.3-4"},
         "No Local on a shared subscription is a protocol error: the connection is closed.",
         [](TCheckContext& c) {
             RequireShared(c);
             ExpectRefused(c, RawSubscribe(c.Version, 3, Shared(c), 0x05), "No Local on a shared subscription");
         }},
        {"shared.bad-name", F, V50, {}, {"MQTT-4.8.2-1", "MQTT-4.8.2-2"},
         "A shared subscription whose ShareName holds a wildcard is refused.",
         [](TCheckContext& c) {
             RequireShared(c);
             TCheckClient& sub = Connected(c, "sub");
             const size_t mark = sub.Mark();
             sub.SendRaw(RawSubscribe(c.Version, 4, "$share/g+x/" + c.Topic(), 0));
             if (const auto suback = sub.WaitFrame(9, c.Answer(), mark)) {
                 auto packet = sub.Decode(*suback);
                 c.Expect(!packet->ReasonCodes.empty() && packet->ReasonCodes[0] >= 0x80,
                          "the ShareName g+x refused", "SUBACK code " +
                          (packet->ReasonCodes.empty() ? std::string("none") : std::to_string(packet->ReasonCodes[0])));
             } else {
                 c.Expect(sub.Closed(), "a refusing SUBACK or the close", sub.Saw());
             }
         }},
    });
}
