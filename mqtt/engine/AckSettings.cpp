#include "mqtt/engine/AckSettings.h"

#include "mqtt/codec/ReasonCodes.h"

TAckParams AckParamsFor(const TAckSettings& settings, TProtocolVersion version, TPacketKind kind, int32_t messageID,
                        bool dup)
{
    TAckParams params{version, dup, messageID, 0, {}};
    if (version != TProtocolVersion::MQTT50)
        return params;
    if (IsReasonCodeAllowed(settings.ReasonCode, kind))
        params.ReasonCode = settings.ReasonCode;
    params.Properties = settings.Properties;
    return params;
}

bool IsAckReasonCode(uint8_t code)
{
    for (TPacketKind kind : {TPacketKind::Puback, TPacketKind::Pubrec, TPacketKind::Pubrel, TPacketKind::Pubcomp})
        if (IsReasonCodeAllowed(code, kind))
            return true;
    return false;
}
