#include "mqtt/engine/TopicAliases.h"

#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/MessageTypes.h"

namespace {

constexpr uint8_t kTopicAlias = 0x23, kTopicAliasMaximum = 0x22;

}  // namespace

void TInboundTopicAliases::NoteSent(const uint8_t* frame, int32_t length)
{
    if (length < 2 || (frame[0] >> 4) != MessageType::CONNECT)
        return;
    uint32_t maximum = 0;
    try {
        // The CONNECT's own level says whether it has properties.
        TMQTTPacket connect(frame, length, TProtocolVersion::MQTT50);
        connect.AnalyzePacket();
        for (const TProperty& property : connect.Properties)
            if (property.Id == kTopicAliasMaximum)
                maximum = property.Number;
    } catch (const std::exception&) {
        // A frame that is no CONNECT one could receive announces nothing.
    }
    FAnnounced.store(maximum);
}

std::string TInboundTopicAliases::Resolve(TMQTTPacket& packet)
{
    packet.AnalyzePacket();
    if (const uint32_t announced = FAnnounced.load(); announced != FMaximum) {
        FMaximum = announced;
        FTopics.clear();
    }
    for (const TProperty& property : packet.Properties) {
        if (property.Id != kTopicAlias)
            continue;
        const uint32_t alias = property.Number;
        const std::string kept = packet.PublishTopic.empty() ? "the message is kept without a topic"
                                                             : "the alias is not set";
        if (FMaximum == 0)
            return "PUBLISH with Topic Alias " + std::to_string(alias) +
                   ", but our CONNECT sent no Topic Alias Maximum (its protocol error): " + kept;
        if (alias > FMaximum)
            return "PUBLISH with Topic Alias " + std::to_string(alias) + ", above the Topic Alias Maximum " +
                   std::to_string(FMaximum) + " our CONNECT sent (its protocol error): " + kept;
        if (FTopics.empty())
            FTopics.resize(FMaximum);
        std::string& topic = FTopics[alias - 1];   // alias 0 is refused by the decoder
        if (!packet.PublishTopic.empty()) {
            topic = packet.PublishTopic;
            return {};
        }
        if (topic.empty())
            return "PUBLISH with Topic Alias " + std::to_string(alias) +
                   ", which the broker never set (its protocol error): the message is kept without a topic";
        packet.AliasedTopic = topic;
        return {};
    }
    return {};
}
