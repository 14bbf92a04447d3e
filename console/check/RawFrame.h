#pragma once

#include "mqtt/codec/ProtocolVersion.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Frames written byte by byte for send-raw: the ones the console's builders
// refuse on purpose (reserved flags, lengths that lie, invalid UTF-8, an empty
// payload before the codec allows one) and the ones a check needs exactly so.
class TRawFrame {
public:
    TRawFrame& Byte(uint8_t value);
    TRawFrame& U16(uint16_t value);
    TRawFrame& VarInt(uint32_t value);
    // A two-byte length, then the bytes as given (no check of their UTF-8).
    TRawFrame& Str(std::string_view bytes);
    TRawFrame& Bytes(std::string_view bytes);
    TRawFrame& Bytes(const std::vector<uint8_t>& bytes);
    const std::vector<uint8_t>& Body() const { return FBody; }

    // The first byte, the remaining length of the body, the body.
    std::vector<uint8_t> Frame(uint8_t first) const;

private:
    std::vector<uint8_t> FBody;
};

// The property block of a 5.0 packet: its length, then the properties as
// given (each identifier byte followed by its value).
std::string PropertyBlockBytes(std::string_view properties);

// A CONNECT with a clean session, the keep-alive given and no will.
std::vector<uint8_t> RawConnect(TProtocolVersion version, std::string_view clientID, int keepAlive = 60,
                                uint8_t flags = 0x02);
// A PUBLISH as given; the identifier is written at QoS 1 and 2 (and at QoS 3).
std::vector<uint8_t> RawPublish(TProtocolVersion version, std::string_view topic, std::string_view payload, int qos,
                                bool retain, int id = 0, bool dup = false, std::string_view properties = {});
// A SUBSCRIBE of one filter with the option byte.
std::vector<uint8_t> RawSubscribe(TProtocolVersion version, int id, std::string_view filter, uint8_t options,
                                  uint8_t first = 0x82);
// Hex text of the bytes, pairs separated by blanks.
std::string HexText(const uint8_t* bytes, size_t size);
inline std::string HexText(const std::vector<uint8_t>& bytes) { return HexText(bytes.data(), bytes.size()); }
