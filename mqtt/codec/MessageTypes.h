#pragma once

#include <cstdint>

// MQTT control packet types (bits 7-4 of a frame's first byte).
namespace MessageType {
inline constexpr int32_t CONNECT = 1;
inline constexpr int32_t CONNACK = 2;
inline constexpr int32_t PUBLISH = 3;
inline constexpr int32_t PUBACK = 4;
inline constexpr int32_t PUBREC = 5;
inline constexpr int32_t PUBREL = 6;
inline constexpr int32_t PUBCOMP = 7;
inline constexpr int32_t SUBSCRIBE = 8;
inline constexpr int32_t SUBACK = 9;
inline constexpr int32_t UNSUBSCRIBE = 10;
inline constexpr int32_t UNSUBACK = 11;
inline constexpr int32_t PINGREQ = 12;
inline constexpr int32_t PINGRESP = 13;
inline constexpr int32_t DISCONNECT = 14;
inline constexpr int32_t AUTH = 15;

// "CONNECT", "PUBLISH", ...; "RESERVED" for 0 and anything unknown.
const char* Name(int32_t type);
}  // namespace MessageType
