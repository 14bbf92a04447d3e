#include "mqtt/engine/TopicAliases.h"

#include "mqtt/codec/MQTTPacket.h"

namespace {

constexpr uint8_t kTopicAlias = 0x23;

}  // namespace

std::string TInboundTopicAliases::Resolve(TMQTTPacket& packet)
{
    packet.AnalyzePacket();
    for (const TProperty& property : packet.Properties) {
        if (property.Id != kTopicAlias)
            continue;
        if (!packet.PublishTopic.empty()) {
            FTopics[property.Number] = packet.PublishTopic;
            return {};
        }
        const auto known = FTopics.find(property.Number);
        if (known == FTopics.end())
            return "PUBLISH with Topic Alias " + std::to_string(property.Number) +
                   ", which the broker never set (its protocol error): the message is kept without a topic";
        packet.AliasedTopic = known->second;
        return {};
    }
    return {};
}
