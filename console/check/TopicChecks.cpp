// Topic names and filters: the wildcards, topics beginning with "$", invalid
// filters, and matching without any normalisation.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

// Publishes each topic (under the check's own prefix) and expects exactly the
// matching ones at a subscriber of the filter.
void Matching(TCheckContext& c, const std::string& filter, const std::vector<std::string>& topics,
              const std::vector<std::string>& matching)
{
    RequireWildcards(c);
    TCheckClient& sub = Subscribed(c, "sub", c.Topic(filter), "1");
    TCheckClient& pub = Connected(c, "pub");
    for (const std::string& t : topics) pub.Publish(c.Topic(t), t, 1);
    const auto got = Settled(c, sub, matching.size());
    std::vector<std::string> seen;
    for (const TMessage& m : got) seen.push_back(m.Payload);
    std::string want, saw;
    for (const std::string& t : matching) want += (want.empty() ? "" : ", ") + t;
    for (const std::string& t : seen) saw += (saw.empty() ? "" : ", ") + t;
    std::vector<std::string> sortedSeen = seen, sortedWant = matching;
    std::sort(sortedSeen.begin(), sortedSeen.end());
    std::sort(sortedWant.begin(), sortedWant.end());
    c.Expect(sortedSeen == sortedWant, c.Topic(filter) + " to match " + want, saw.empty() ? "nothing" : saw);
}

// The filter is refused: a SUBACK failure code, or the connection closed.
void Refused(TCheckContext& c, const std::vector<uint8_t>& subscribe, const std::string& what)
{
    TCheckClient& client = Connected(c, "sub");
    const size_t mark = client.Mark();
    client.SendRaw(subscribe);
    if (const auto suback = client.WaitFrame(9, c.Answer(), mark)) {
        auto packet = client.Decode(*suback);
        c.Expect(!packet->ReasonCodes.empty() && packet->ReasonCodes[0] >= 0x80,
                 "the broker to refuse " + what + " (a failure code or the close)",
                 "SUBACK code " + (packet->ReasonCodes.empty() ? std::string("none") : std::to_string(packet->ReasonCodes[0])));
        return;
    }
    c.Expect(client.Closed(), "a SUBACK with a failure code or the close for " + what, client.Saw());
}

// A "$" topic owned by the check: published by a client, received by an exact
// subscription (or the broker keeps "$" topics to itself: skipped).
std::string DollarTopic(TCheckContext& c, TCheckClient& pub)
{
    const std::string topic = "$" + c.Settings.IdPrefix + std::to_string(c.ElapsedMs() % 1000) + "/x";
    TCheckClient& exact = c.Client("exact");
    if (exact.Connect().Code != 0) c.Fail("CONNACK 0", exact.Saw());
    const TAck ack = exact.Subscribe({topic}, {"0"});
    if (ack.Codes.empty() || ack.Codes[0] >= 0x80) c.Skip("the broker refuses subscriptions to topics beginning with $");
    pub.Publish(topic, "dollar", 1);
    if (!exact.WaitMessage(topic, c.Answer())) c.Skip("the broker does not route $ topics published by clients");
    return topic;
}

}  // namespace

void AddTopicChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Topics;
    checks.insert(checks.end(), {
        {"topics.plus", F, VAll, {"MQTT-4.7.1-3", "MQTT-3.3.2-3", "MQTT-4.5.0-1"},
         {"MQTT-4.7.1-2", "MQTT-3.3.2-3", "MQTT-4.5.0-1"},
         "\"+\" matches exactly one level, an empty level included, and never two.",
         [](TCheckContext& c) { Matching(c, "a/+/c", {"a/b/c", "a//c", "a/b/x/c", "a/c", "a/b/c/d"}, {"a/b/c", "a//c"}); }},
        {"topics.hash", F, VAll, {"MQTT-4.7.1-2", "MQTT-3.3.2-3", "MQTT-4.5.0-1"},
         {"MQTT-4.7.1-1", "MQTT-3.3.2-3", "MQTT-4.5.0-1"},
         "\"#\" matches its parent level and every level below it, and nothing beside it.",
         [](TCheckContext& c) { Matching(c, "h/#", {"h", "h/a", "h/a/b", "hx/a", "x/h"}, {"h", "h/a", "h/a/b"}); }},
        {"topics.plus-hash", F, VAll, {"MQTT-4.7.1-2", "MQTT-4.7.1-3", "MQTT-3.3.2-3"},
         {"MQTT-4.7.1-1", "MQTT-4.7.1-2", "MQTT-3.3.2-3"},
         "\"+/#\" after a level matches every topic at least one level below it.",
         [](TCheckContext& c) { Matching(c, "p/+/#", {"p", "p/a", "p/a/b", "q/a"}, {"p/a", "p/a/b"}); }},
        {"topics.case-and-spaces", F, VAll, {"MQTT-4.7.3-4"}, {"MQTT-4.7.3-4"},
         "Topics match byte for byte: letter case and a trailing \"/\" make other topics.",
         [](TCheckContext& c) { Matching(c, "Case/Topic", {"Case/Topic", "case/topic", "CASE/Topic", "Case/Topic/"}, {"Case/Topic"}); }},
        {"topics.dollar-plus", F, VAll, {"MQTT-4.7.2-1"}, {"MQTT-4.7.2-1"},
         "A filter beginning with \"+\" does not match a topic beginning with \"$\".",
         [](TCheckContext& c) {
             TCheckClient& pub = Connected(c, "pub");
             TCheckClient& sub = Subscribed(c, "sub", "+/x", "0");
             const std::string topic = DollarTopic(c, pub);
             ExpectNone(c, sub, topic, "no $ topic through the filter +/x");
         }},
        {"topics.dollar-hash", F, VAll, {"MQTT-4.7.2-1"}, {"MQTT-4.7.2-1"},
         "The filter \"#\" does not match a topic beginning with \"$\".",
         [](TCheckContext& c) {
             TCheckClient& pub = Connected(c, "pub");
             TCheckClient& sub = Connected(c, "sub");
             sub.Subscribe("#", 0);
             const std::string topic = DollarTopic(c, pub);
             ExpectNone(c, sub, topic, "no $ topic through the filter #");
             sub.Unsubscribe({"#"});
         }},
        {"topics.hash-not-last", F, VAll, {"MQTT-4.7.1-2"}, {"MQTT-4.7.1-1"},
         "The filter a/#/b (\"#\" not last) is refused.",
         [](TCheckContext& c) { Refused(c, RawSubscribe(c.Version, 11, c.Topic("a/#/b"), 0), "a/#/b"); }},
        {"topics.plus-in-level", F, VAll, {"MQTT-4.7.1-3"}, {"MQTT-4.7.1-2"},
         "The filter a/b+/c (\"+\" sharing its level) is refused.",
         [](TCheckContext& c) { Refused(c, RawSubscribe(c.Version, 12, c.Topic("a/b+/c"), 0), "a/b+/c"); }},
        {"topics.hash-in-level", F, VAll, {"MQTT-4.7.1-2"}, {"MQTT-4.7.1-1"},
         "The filter a/b# (\"#\" sharing its level) is refused.",
         [](TCheckContext& c) { Refused(c, RawSubscribe(c.Version, 13, c.Topic("a/b#"), 0), "a/b#"); }},
        {"topics.empty-filter", F, V311Up, {"MQTT-4.7.3-1"}, {"MQTT-4.7.3-1"},
         "An empty topic filter is refused.",
         [](TCheckContext& c) { Refused(c, RawSubscribe(c.Version, 14, "", 0), "an empty filter"); }},
        {"topics.utf8-kept", F, V311Up, {"MQTT-1.5.3-3", "MQTT-4.7.3-4"}, {"MQTT-1.5.4-3", "MQTT-4.7.3-4"},
         "A topic with non-ASCII UTF-8 and a U+FEFF is matched and delivered byte for byte, U+FEFF not stripped.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic("\xEF\xBB\xBF\xE3\x82\xBB\xE3\x83\xB3\xE3\x82\xB5");
             TCheckClient& sub = Connected(c, "sub");
             const size_t mark = sub.Mark();
             sub.SendRaw(RawSubscribe(c.Version, 15, topic, 1));
             c.Expect(sub.WaitFrame(9, c.Answer(), mark).has_value(), "SUBACK", sub.Saw());
             Connected(c, "pub").SendRaw(RawPublish(c.Version, topic, "utf8", 1, false, 2));
             const auto got = sub.WaitMessages(1, c.Answer());
             c.Expect(got.size() == 1 && got[0].Topic == topic, "the message on the topic, byte for byte", Listed(got));
         }},
    });
}
