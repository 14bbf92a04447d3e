#pragma once

#include <cstdint>

#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/PacketKind.h"

// What the acknowledgements a client sends carry under MQTT 5.0 (PUBACK,
// PUBREC and PUBCOMP from the event-handler thread, PUBREL from the console):
// one reason code and one property list for all four. The code goes only into
// the packets that can carry it (0x10 into PUBACK and PUBREC, 0x92 into PUBREL
// and PUBCOMP); the others carry Success. Under 3.1 and 3.1.1 nothing of it
// is sent.
struct TAckSettings {
    uint8_t ReasonCode = 0;
    TPropertyList Properties;   // allowed in every acknowledgement: Reason String, User Property
    // In every version: received QoS 1 and 2 messages are saved and reported
    // but not acknowledged at all (a broker's redelivery and flow control are
    // tried this way).
    bool Hold = false;

    bool Empty() const { return ReasonCode == 0 && Properties.empty() && !Hold; }
    bool operator==(const TAckSettings&) const = default;
};

// The parameters of one acknowledgement (kind: Puback, Pubrec, Pubrel or Pubcomp).
TAckParams AckParamsFor(const TAckSettings& settings, TProtocolVersion version, TPacketKind kind, int32_t messageID,
                        bool dup = false);
// Whether at least one of the four acknowledgements can carry the code.
bool IsAckReasonCode(uint8_t code);
