#pragma once

#include "mqtt/codec/Properties.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TMQTTPacket;

// What a 5.0 broker's CONNACK says the client may send, kept for the
// connection; where the CONNACK says nothing, the protocol's defaults hold.
// The console checks each frame against it before sending and says where the
// frame breaks it, but sends the frame all the same: a test console must be
// able to break the broker's rules on purpose.
struct TBrokerLimits {
    uint32_t ReceiveMaximum = 65535;     // QoS 1 and 2 PUBLISHes unacknowledged at once
    uint32_t MaximumPacketSize = 0;      // bytes of a whole frame; 0: no limit
    uint32_t TopicAliasMaximum = 0;      // 0: no topic alias
    uint32_t MaximumQoS = 2;
    bool RetainAvailable = true;

    // From an analysed CONNACK.
    static TBrokerLimits FromConnack(const TMQTTPacket& connack);
    bool operator==(const TBrokerLimits&) const = default;
};

// The lines, without the client identifier's bracket, for the limits that a
// whole frame breaks: its size, and for a PUBLISH its QoS, retain flag and
// Topic Alias (from properties). unacknowledged: the QoS 1 and 2 PUBLISHes
// open once this one is sent, 0 when it adds none.
//   "warning: PUBLISH of 300 bytes exceeds the broker's Maximum Packet Size 200, sent anyway"
std::vector<std::string> LimitWarnings(const TBrokerLimits& limits, const uint8_t* frame, int32_t frameLen,
                                       const TPropertyList& properties, std::size_t unacknowledged);
