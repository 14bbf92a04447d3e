#include "console/form/RawFrame.h"

#include "mqtt/codec/AsciiText.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/MessageTypes.h"
#include "mqtt/codec/WirePrimitives.h"

#include <exception>

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Hex text may run over several lines.
bool IsHexBlank(char c)
{
    return IsBlank(c) || c == '\n';
}

// What one frame at the front of the bytes decodes to; size gets its length,
// 0 when the bytes end inside it (or its length field is broken).
std::string DescribeOne(const uint8_t* data, std::size_t left, TProtocolVersion version, std::size_t& size)
{
    size = 0;
    const int32_t type = data[0] >> 4;
    const std::string name = (type == 0 || (type == MessageType::AUTH && version != TProtocolVersion::MQTT50))
        ? "reserved type " + std::to_string(type)
        : MessageType::Name(type);
    const int available = static_cast<int>(std::min<std::size_t>(left, 5));
    if (!IsRemainLengthComplete(data, available))
        return name + ": the bytes end inside the remaining length";
    int lengthBytes = 0;
    int32_t remain = 0;
    try {
        remain = DecodeRemainLength(data + 1, lengthBytes);
    } catch (const std::exception&) {
        return name + ": the remaining length runs past 4 bytes";
    }
    const std::size_t whole = 1 + static_cast<std::size_t>(lengthBytes) + static_cast<std::size_t>(remain);
    if (whole > left)
        return name + ": the remaining length says " + std::to_string(remain) + " bytes, " +
               std::to_string(left - 1 - static_cast<std::size_t>(lengthBytes)) + " follow";
    size = whole;
    try {
        TMQTTPacket packet(data, static_cast<int32_t>(whole), version);
        packet.AnalyzePacket();
        return packet.DecodeError.empty() ? name : name + ": " + packet.DecodeError;
    } catch (const std::exception& e) {
        return name + ": " + e.what();
    }
}

}  // namespace

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& bytes, std::string& reason)
{
    bytes.clear();
    std::size_t i = 0;
    while (i < text.size()) {
        if (IsHexBlank(text[i])) {
            ++i;
            continue;
        }
        // One run of digits between blanks: whole bytes only.
        const std::size_t start = i;
        while (i < text.size() && !IsHexBlank(text[i])) {
            if (HexDigit(text[i]) < 0) {
                reason = "not a hexadecimal digit at column " + std::to_string(i + 1) + ": \"" +
                         std::string(text.substr(i, 1)) + "\"";
                return false;
            }
            ++i;
        }
        if ((i - start) % 2 != 0) {
            reason = "an odd number of hexadecimal digits in \"" + std::string(text.substr(start, i - start)) +
                     "\" (two digits per byte)";
            return false;
        }
        for (std::size_t at = start; at < i; at += 2)
            bytes.push_back(static_cast<uint8_t>(HexDigit(text[at]) * 16 + HexDigit(text[at + 1])));
    }
    if (bytes.empty()) {
        reason = "no bytes given";
        return false;
    }
    return true;
}

bool FrameWithBody(uint8_t typeAndFlags, const std::vector<uint8_t>& body, std::vector<uint8_t>& frame,
                   std::string& reason)
{
    if (body.size() > static_cast<std::size_t>(MaxRemainLength)) {
        reason = "a body of " + std::to_string(body.size()) + " bytes is longer than any remaining length (" +
                 std::to_string(MaxRemainLength) + ")";
        return false;
    }
    uint8_t length[4];
    const int lengthBytes = EncodeRemainLength(length, static_cast<int32_t>(body.size()));
    frame.clear();
    frame.reserve(1 + static_cast<std::size_t>(lengthBytes) + body.size());
    frame.push_back(typeAndFlags);
    frame.insert(frame.end(), length, length + lengthBytes);
    frame.insert(frame.end(), body.begin(), body.end());
    return true;
}

std::string HexBytesText(const uint8_t* bytes, std::size_t size)
{
    static const char Digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0)
            text += ' ';
        text += Digits[bytes[i] >> 4];
        text += Digits[bytes[i] & 15];
    }
    return text;
}

std::string DescribeRawFrames(const std::vector<uint8_t>& bytes, TProtocolVersion version)
{
    std::string text;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t size = 0;
        if (!text.empty())
            text += ", then ";
        text += DescribeOne(bytes.data() + at, bytes.size() - at, version, size);
        if (size == 0)
            break;   // a broker reads everything after as the rest of this frame
        at += size;
    }
    return text;
}
