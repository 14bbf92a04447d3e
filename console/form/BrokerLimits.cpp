#include "console/form/BrokerLimits.h"

#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/MessageTypes.h"

namespace {

constexpr uint8_t kReceiveMaximum = 0x21, kMaximumPacketSize = 0x27, kTopicAliasMaximum = 0x22, kMaximumQoS = 0x24,
                  kRetainAvailable = 0x25, kTopicAlias = 0x23;

}  // namespace

TBrokerLimits TBrokerLimits::FromConnack(const TMQTTPacket& connack)
{
    TBrokerLimits limits;
    for (const TProperty& property : connack.Properties) {
        switch (property.Id) {
        case kReceiveMaximum: limits.ReceiveMaximum = property.Number; break;
        case kMaximumPacketSize: limits.MaximumPacketSize = property.Number; break;
        case kTopicAliasMaximum: limits.TopicAliasMaximum = property.Number; break;
        case kMaximumQoS: limits.MaximumQoS = property.Number; break;
        case kRetainAvailable: limits.RetainAvailable = property.Number != 0; break;
        default: break;
        }
    }
    return limits;
}

std::vector<std::string> LimitWarnings(const TBrokerLimits& limits, const uint8_t* frame, int32_t frameLen,
                                       const TPropertyList& properties, std::size_t unacknowledged)
{
    std::vector<std::string> lines;
    if (frame == nullptr || frameLen < 1)
        return lines;
    const int32_t type = frame[0] >> 4;
    const std::string packet = MessageType::Name(type);
    auto warn = [&](const std::string& what) { lines.push_back("warning: " + packet + " " + what + ", sent anyway"); };
    using std::to_string;
    if (limits.MaximumPacketSize != 0 && static_cast<uint32_t>(frameLen) > limits.MaximumPacketSize)
        warn("of " + to_string(frameLen) + " bytes exceeds the broker's Maximum Packet Size " +
             to_string(limits.MaximumPacketSize));
    if (type != MessageType::PUBLISH)
        return lines;
    const uint32_t qos = (frame[0] >> 1) & 3;
    if (qos > limits.MaximumQoS)
        warn("at QoS " + to_string(qos) + " exceeds the broker's Maximum QoS " + to_string(limits.MaximumQoS));
    if ((frame[0] & 0x01) && !limits.RetainAvailable)
        warn("with retain while the broker's Retain Available is 0");
    for (const TProperty& property : properties)
        if (property.Id == kTopicAlias && property.Number > limits.TopicAliasMaximum)
            warn("with Topic Alias " + to_string(property.Number) + " exceeds the broker's Topic Alias Maximum " +
                 to_string(limits.TopicAliasMaximum));
    if (unacknowledged > limits.ReceiveMaximum)
        warn("makes " + to_string(unacknowledged) + " unacknowledged QoS 1 and 2 PUBLISHes, above the broker's "
             "Receive Maximum " + to_string(limits.ReceiveMaximum));
    return lines;
}
