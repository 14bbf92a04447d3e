#include "mqtt/codec/PacketDisplay.h"

#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/ReasonCodes.h"

namespace {

std::string Line(std::string label, const std::string& value)
{
    if (label.size() < 16) label.resize(16, ' ');
    return label + value;
}

}  // namespace

std::vector<std::string> PacketExtraLines(const TMQTTPacket& packet)
{
    std::vector<std::string> lines;
    const TProtocolVersion version = packet.Version;
    if (version == TProtocolVersion::MQTT31) return lines;
    const bool v50 = version == TProtocolVersion::MQTT50;
    const auto kind = static_cast<TPacketKind>(packet.MessageType);
    const auto code = static_cast<uint8_t>(packet.ReasonCode);

    switch (packet.MessageType) {
    case 1:
        lines.push_back(Line("ProtocolName", packet.ProtocolName));
        lines.push_back(Line("ProtocolLevel", std::to_string(packet.ProtocolLevel)));
        break;
    case 2:
        lines.push_back(Line("SessionPresent", packet.SessionPresent ? "True" : "False"));
        lines.push_back(Line(v50 ? "ReasonCode" : "ReturnCode",
                             FormatReasonCode(static_cast<uint8_t>(packet.ConnectReturnCode), kind, version)));
        break;
    case 4:
    case 5:
    case 6:
    case 7:
    case 14:
    case 15:
        if (v50) lines.push_back(Line("ReasonCode", FormatReasonCode(code, kind, version)));
        break;
    case 9:
    case 11:
        for (size_t i = 0; i < packet.ReasonCodes.size(); ++i) {
            std::string value = FormatReasonCode(packet.ReasonCodes[i], kind, version);
            if (packet.SubscriptionRefused(i)) value += " (refused)";
            lines.push_back(Line((v50 ? "ReasonCode#" : "ReturnCode#") + std::to_string(i + 1), value));
        }
        break;
    default:
        break;
    }
    for (const TProperty& property : packet.Properties) lines.push_back(Line("Property", FormatProperty(property)));
    for (const TProperty& property : packet.WillProperties)
        lines.push_back(Line("WillProperty", FormatProperty(property)));
    // Marked, so that the log pane and the listener make it stand out.
    if (!packet.DecodeError.empty()) lines.push_back(Line("DecodeError", "*ERROR* " + packet.DecodeError));
    return lines;
}
