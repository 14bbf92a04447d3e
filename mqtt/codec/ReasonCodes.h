#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "mqtt/codec/PacketKind.h"
#include "mqtt/codec/ProtocolVersion.h"

// MQTT 5.0 reason codes. One table (ReasonCodeTable) defines each code: its
// value, its name as the standard writes it, and the packets it may appear
// in. A value can have one name per packet: 0x00 is "Success", "Normal
// disconnection" or "Granted QoS 0".
struct TReasonCodeDef {
    uint8_t Value;
    std::string_view Name;
    TPacketKinds Packets;
};

std::span<const TReasonCodeDef> ReasonCodeTable();
// The entry of that value for that packet; null when it has none there.
const TReasonCodeDef* FindReasonCode(uint8_t value, TPacketKind kind);
bool IsReasonCodeAllowed(uint8_t value, TPacketKind kind);
// Its name in that packet, or empty.
std::string_view ReasonCodeName(uint8_t value, TPacketKind kind);

// A code and its name for display: "0x87 Not authorized". Under 5.0 from the
// table above (a value the packet cannot carry is shown with the name it has
// elsewhere and "not for <packet>", or as "unknown"). Under 3.1 and 3.1.1
// CONNACK and SUBACK carry return codes of their own: "0x05 Connection
// Refused, not authorized", "0x80 Failure".
std::string FormatReasonCode(uint8_t value, TPacketKind kind,
                             TProtocolVersion version = TProtocolVersion::MQTT50);
