#pragma once

#include "mqtt/codec/ProtocolVersion.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Frames sent exactly as typed: the hexadecimal text of the raw-frame field
// and of a script's send-raw lines, and what such bytes decode to.

// Hex digits, two per byte; blanks may stand between bytes ("C0 00", "c000",
// "30 0a 00 03 61 2f 62 68 69"), but every run between blanks holds whole
// bytes. False with the reason (in English) when the text is not such hex or holds no byte.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& bytes, std::string& reason);

// The first byte, then the remaining-length field computed for the body, then
// the body. False with the reason when the body is too long for any MQTT frame.
bool FrameWithBody(uint8_t typeAndFlags, const std::vector<uint8_t>& body, std::vector<uint8_t>& frame,
                   std::string& reason);

// "C0 00": upper-case pairs separated by blanks.
std::string HexBytesText(const uint8_t* bytes, std::size_t size);
inline std::string HexBytesText(const std::vector<uint8_t>& bytes) { return HexBytesText(bytes.data(), bytes.size()); }

// What a broker reading the bytes would make of them, frame after frame, as
// far as they decode: "PINGREQ", "CONNECT, then DISCONNECT", "PUBLISH: the
// remaining length says 10 bytes, 3 follow", "reserved type 0", "SUBSCRIBE:
// SUBSCRIBE FixedHeaderQoS is not 1". version: the rules the bytes are read by.
std::string DescribeRawFrames(const std::vector<uint8_t>& bytes, TProtocolVersion version);
