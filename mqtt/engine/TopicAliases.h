#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

class TMQTTPacket;

// The topic aliases the broker set on one MQTT 5.0 connection. A PUBLISH with
// a Topic Alias and a topic sets the alias (or sets it anew); one with the
// alias and an empty topic stands for the topic set last. Resolved by the
// reader thread alone, in the order the frames arrive, so a PUBLISH that the
// queue inspection takes still sets its alias for the ones after it.
class TInboundTopicAliases {
public:
    // For a 5.0 PUBLISH (analysed here): sets packet.AliasedTopic where its
    // alias stands for a topic. Returns what is wrong, or nothing: an alias
    // that the broker never set is its protocol error, and the message stays
    // without a topic.
    std::string Resolve(TMQTTPacket& packet);

private:
    std::unordered_map<uint32_t, std::string> FTopics;
};
