// MQTT 5.0 topic aliases, from the client to the broker and back.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

void RequireAliases(TCheckContext& c, uint32_t needed = 1)
{
    if (c.Facts.TopicAliasMaximum < needed)
        c.Skip("the broker's Topic Alias Maximum is " + std::to_string(c.Facts.TopicAliasMaximum));
}

std::string AliasProperty(uint32_t alias) { return "topic-alias = " + std::to_string(alias); }

}  // namespace

void AddAliasChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Aliases;
    checks.insert(checks.end(), {
        {"aliases.to-broker", F, V50, {}, {"MQTT-3.3.2-12"},
         "A Topic Alias set with a topic stands for it in the next PUBLISH, whose topic is empty.",
         [](TCheckContext& c) {
             RequireAliases(c);
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             TCheckClient& pub = Connected(c, "pub");
             pub.Publish(topic, "first", TPublishOptions{1, false, AliasProperty(1)});
             pub.Publish("", "second", TPublishOptions{1, false, AliasProperty(1)});
             const auto got = sub.WaitMessages(2, c.Answer(), topic);
             c.Expect(got.size() == 2, "both messages on " + topic, Listed(got));
         }},
        {"aliases.none-to-client", F, V50, {}, {"MQTT-3.1.2-27"},
         "A client that sent no Topic Alias Maximum gets no Topic Alias from the broker.",
         [](TCheckContext& c) {
             const std::string topic = c.Topic();
             TCheckClient& sub = Subscribed(c, "sub", topic, "1");
             TCheckClient& pub = Connected(c, "pub");
             for (int i = 0; i < 3; ++i) pub.Publish(topic, "m" + std::to_string(i), 1);
             const auto got = sub.WaitMessages(3, c.Answer(), topic);
             c.Expect(got.size() == 3, "3 messages", Listed(got));
             for (const TMessage& m : got) c.Expect(m.Alias == 0, "no Topic Alias", "Topic Alias " + std::to_string(m.Alias));
         }},
        {"aliases.to-client", F, V50, {}, {"MQTT-3.3.2-11", "MQTT-3.1.2-26"},
         "Topic Aliases the broker sends stay within the client's Topic Alias Maximum of 2 and resolve to the right topics.",
         [](TCheckContext& c) {
             TConnectOptions options;
             options.Properties = "topic-alias-maximum = 2";
             TCheckClient& sub = Subscribed(c, "sub", c.Topic("#"), "1", options);
             TCheckClient& pub = Connected(c, "pub");
             for (int i = 0; i < 6; ++i) pub.Publish(c.Topic("t" + std::to_string(i % 3)), "m" + std::to_string(i), 1);
             const auto got = sub.WaitMessages(6, c.Answer());
             c.Expect(got.size() == 6, "6 messages", Listed(got));
             for (size_t i = 0; i < got.size(); ++i) {
                 c.Expect(got[i].Alias <= 2 && got[i].AliasProblem.empty(), "Topic Alias at most 2, set before it stands for a topic",
                          got[i].Summary());
                 c.Expect(got[i].Topic == c.Topic("t" + std::to_string(i % 3)), "message " + std::to_string(i) + " on " +
                          c.Topic("t" + std::to_string(i % 3)), got[i].Summary());
             }
         }},
        {"aliases.zero", F, V50, {}, {"MQTT-3.3.2-8", "§3.3.4"},
         "A PUBLISH with Topic Alias 0 is refused with DISCONNECT 0x94 (Topic Alias invalid).",
         [](TCheckContext& c) {
             ExpectRefused(c, RawPublish(c.Version, c.Topic(), "x", 0, false, 0, false, std::string("\x23\x00\x00", 3)),
                           "Topic Alias 0", {0x94, 0x82, 0x81});
         }},
        {"aliases.above-maximum", F, V50, {}, {"MQTT-3.3.2-9", "§3.3.4"},
         "A PUBLISH with a Topic Alias above the broker's Topic Alias Maximum is refused with DISCONNECT 0x94.",
         [](TCheckContext& c) {
             const uint32_t above = c.Facts.TopicAliasMaximum + 1;
             if (above > 0xFFFF) c.Skip("the broker accepts every Topic Alias");
             const std::string alias{'\x23', static_cast<char>(above >> 8), static_cast<char>(above & 0xFF)};
             ExpectRefused(c, RawPublish(c.Version, c.Topic(), "x", 0, false, 0, false, alias),
                           "Topic Alias " + std::to_string(above), {0x94, 0x82, 0x81});
         }},
        {"aliases.unknown", F, V50, {}, {"§3.3.4"},
         "A PUBLISH with an empty topic and a Topic Alias never set is a protocol error: the connection is closed.",
         [](TCheckContext& c) {
             RequireAliases(c);
             ExpectRefused(c, RawPublish(c.Version, "", "x", 0, false, 0, false, std::string("\x23\x00\x01", 3)),
                           "an alias never set", {0x82, 0x94});
         }},
        {"aliases.not-carried", F, V50, {}, {"MQTT-3.3.2-7"},
         "A Topic Alias set on one connection means nothing on the next: using it there closes the connection.",
         [](TCheckContext& c) {
             RequireAliases(c);
             TCheckClient& first = Connected(c, "first");
             first.Publish(c.Topic(), "set", TPublishOptions{1, false, AliasProperty(1)});
             first.Disconnect();
             ExpectRefused(c, RawPublish(c.Version, "", "x", 0, false, 0, false, std::string("\x23\x00\x01", 3)),
                           "an alias of the previous connection", {0x82, 0x94});
         }},
    });
}
