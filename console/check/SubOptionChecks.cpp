// MQTT 5.0 subscription options: No Local, Retain As Published, Retain
// Handling, and Subscription Identifiers.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

void RequireSubscriptionIds(TCheckContext& c)
{
    if (!c.Facts.SubscriptionIdsAvailable) c.Skip("the broker does not offer Subscription Identifiers");
}

// A retained message on the topic, then a subscription with the options (made
// twice when asked); the retained messages that came, expected of them.
std::vector<TMessage> RetainedOnSubscribe(TCheckContext& c, TCheckClient& sub, const std::string& options, bool twice,
                                          size_t expected)
{
    RequireRetain(c);
    const std::string topic = c.Topic();
    c.Retained(topic);
    Connected(c, "pub").Publish(topic, "kept", 1, true);
    sub.ConnectOk();
    sub.Subscribe({topic}, {options});
    if (twice) {
        sub.WaitMessages(1, c.Answer(), topic);
        sub.Subscribe({topic}, {options});
    }
    return Settled(c, sub, expected, [&](const TMessage& m) { return m.Topic == topic; });
}

std::vector<uint32_t> SubscriptionIds(const TMessage& m)
{
    std::vector<uint32_t> ids;
    for (const TProperty* p : m.All(0x0B)) ids.push_back(p->Number);
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace

void AddSubOptionChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::SubOptions;
    checks.insert(checks.end(), {
        {"suboptions.no-local", F, V50, {}, {"MQTT-3.8.3-3"},
         "With No Local, a client's own messages are not sent back to it.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TCheckClient& self = Subscribed(c, "self", topic, "1 nl");
             self.Publish(topic, "mine", 1);
             ExpectNone(c, self, topic, "no message of its own");
         }},
        {"suboptions.local", F, V50, {}, {"MQTT-3.8.3-3", "MQTT-4.5.0-1"},
         "Without No Local, a client's own messages come back to its matching subscription.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TCheckClient& self = Subscribed(c, "self", topic, "1");
             self.Publish(topic, "mine", 1);
             ExpectOne(c, self, topic, "its own message");
         }},
        {"suboptions.retain-as-published-0", F, V50, {}, {"MQTT-3.3.1-12"},
         "Without Retain As Published, a retained message forwarded to an existing subscription has RETAIN 0.",
         [](TCheckContext& c) {
             RequireRetain(c);
             const std::string topic = c.Topic();
             c.Retained(topic);
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             Connected(c, "pub").Publish(topic, "r", 1, true);
             const TMessage m = ExpectOne(c, sub, topic, "the message");
             c.Expect(!m.Retain, "RETAIN 0", m.Summary());
         }},
        {"suboptions.retain-as-published-1", F, V50, {}, {"MQTT-3.3.1-13"},
         "With Retain As Published, a retained message forwarded to an existing subscription keeps RETAIN 1.",
         [](TCheckContext& c) {
             RequireRetain(c);
             const std::string topic = c.Topic();
             c.Retained(topic);
             TCheckClient& sub = Subscribed(c, "sub", topic, "1 rap");
             Connected(c, "pub").Publish(topic, "r", 1, true);
             const TMessage m = ExpectOne(c, sub, topic, "the message");
             c.Expect(m.Retain, "RETAIN 1 as published", m.Summary());
         }},
        {"suboptions.retain-handling-0", F, V50, {}, {"MQTT-3.3.1-9", "MQTT-3.8.4-4"},
         "Retain Handling 0 sends the retained message at every SUBSCRIBE, a repeated one too.",
         [](TCheckContext& c) {
             TCheckClient& sub = c.Client("sub");
             const auto got = RetainedOnSubscribe(c, sub, "1 rh=0", true, 2);
             c.Expect(got.size() == 2, "the retained message at both SUBSCRIBEs", Listed(got));
         }},
        {"suboptions.retain-handling-1", F, V50, {}, {"MQTT-3.3.1-10"},
         "Retain Handling 1 sends the retained message for a new subscription only, not when it already existed.",
         [](TCheckContext& c) {
             TCheckClient& sub = c.Client("sub");
             const auto got = RetainedOnSubscribe(c, sub, "1 rh=1", true, 1);
             c.Expect(got.size() == 1, "the retained message once", Listed(got));
         }},
        {"suboptions.retain-handling-2", F, V50, {}, {"MQTT-3.3.1-11"},
         "Retain Handling 2 sends no retained message at SUBSCRIBE.",
         [](TCheckContext& c) {
             TCheckClient& sub = c.Client("sub");
             const auto got = RetainedOnSubscribe(c, sub, "1 rh=2", false, 0);
             c.Expect(got.empty(), "no retained message", Listed(got));
         }},
        {"suboptions.subscription-id", F, V50, {}, {"MQTT-3.3.4-3"},
         "A message through a subscription made with Subscription Identifier 7 carries 7.",
         [](TCheckContext& c) {
             RequireSubscriptionIds(c);
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1", {}, "subscription-identifier = 7");
             Connected(c, "pub").Publish(topic, "id", 1);
             const TMessage m = ExpectOne(c, sub, topic, "the message");
             c.Expect(SubscriptionIds(m) == std::vector<uint32_t>{7}, "Subscription Identifier 7", m.Summary());
         }},
        {"suboptions.subscription-ids-overlap", F, V50, {}, {"MQTT-3.3.4-3", "MQTT-3.3.4-4", "MQTT-3.3.4-5"},
         "Overlapping subscriptions with identifiers 1 and 2 deliver both identifiers, in one copy or one each.",
         [](TCheckContext& c) {
             RequireSubscriptionIds(c);
             RequireWildcards(c);
             const std::string topic = c.Topic("o/x");
             TCheckClient& sub = Connected(c, "sub");
             sub.Subscribe({c.Topic("o/#")}, {"1"}, "subscription-identifier = 1");
             sub.Subscribe({topic}, {"1"}, "subscription-identifier = 2");
             Connected(c, "pub").Publish(topic, "both", 1);
             // One copy with both identifiers, or a copy for each subscription.
             auto got = Settled(c, sub, 1, [&](const TMessage& m) { return m.Topic == topic; });
             if (got.size() == 1 && SubscriptionIds(got[0]).size() < 2) got = sub.WaitMessages(2, c.Answer(), topic);
             std::vector<uint32_t> ids;
             for (const TMessage& m : got)
                 for (uint32_t id : SubscriptionIds(m)) ids.push_back(id);
             std::sort(ids.begin(), ids.end());
             c.Expect(ids == std::vector<uint32_t>{1, 2}, "identifiers 1 and 2", Listed(got));
         }},
        {"suboptions.no-subscription-id", F, V50, {}, {"§3.3.4"},
         "A message through a subscription made without an identifier carries none.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             Connected(c, "pub").Publish(topic, "plain", 1);
             const TMessage m = ExpectOne(c, sub, topic, "the message");
             c.Expect(SubscriptionIds(m).empty(), "no Subscription Identifier", m.Summary());
         }},
    });
}
