#include "mqtt/codec/WirePrimitives.h"

#include <cstring>

#include "platform/Error.h"

int EncodeRemainLength(uint8_t* dest, int32_t value)
{
    if (value < 0) throw Exception("RemainLength encode error");
    int count = 0;
    do {
        uint8_t digit = value % 128;
        value /= 128;
        if (value > 0) digit |= 0x80;
        if (count == 4) throw Exception("RemainLength encode error");
        dest[count++] = digit;
    } while (value != 0);
    return count;
}

int32_t DecodeRemainLength(const uint8_t* bytes, int& count)
{
    int32_t value = 0;
    int32_t multiplier = 1;
    count = 0;
    for (;;) {
        uint8_t b = bytes[count++];
        value += (b & 0x7F) * multiplier;
        if ((b & 0x80) == 0) return value;
        if (count == 4) throw Exception("RemainLength decode error");
        multiplier *= 128;
    }
}

bool IsRemainLengthComplete(const uint8_t* bytes, int count)
{
    // Index 0 is the frame's first byte; the length bytes follow it.
    for (int i = 1; i <= 3; ++i) {
        if (count < i + 1) return false;
        if ((bytes[i] & 0x80) == 0) return true;
    }
    return count >= 5;
}

int VariableByteIntegerSize(uint32_t value)
{
    if (value > MaxVariableByteInteger) throw Exception("Variable Byte Integer too big");
    return value < 128 ? 1 : value < 16384 ? 2 : value < 2097152 ? 3 : 4;
}

int EncodeVariableByteInteger(uint8_t* dest, uint32_t value)
{
    const int size = VariableByteIntegerSize(value);
    for (int i = 0; i < size; ++i) {
        dest[i] = static_cast<uint8_t>((value & 0x7F) | (i + 1 < size ? 0x80 : 0));
        value >>= 7;
    }
    return size;
}

int DecodeVariableByteInteger(const uint8_t* bytes, int64_t available, uint32_t& value)
{
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        if (i >= available) return 0;
        result |= static_cast<uint32_t>(bytes[i] & 0x7F) << (7 * i);
        if ((bytes[i] & 0x80) == 0) {
            value = result;
            return i + 1;
        }
    }
    return -1;
}

std::string OverlongFault(uint32_t value, int size)
{
    const int fewest = VariableByteIntegerSize(value);
    if (size <= fewest) return {};
    return "takes " + std::to_string(size) + " bytes where " + std::to_string(fewest) + " would do";
}

std::string FormatHexByte(uint8_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    return {'0', 'x', digits[value >> 4], digits[value & 0xF]};
}

int ReadU16BE(const uint8_t* bytes) { return bytes[0] * 256 + bytes[1]; }

void WriteU16BE(uint8_t* dest, int32_t value)
{
    dest[0] = static_cast<uint8_t>((value >> 8) & 0xFF);
    dest[1] = static_cast<uint8_t>(value & 0xFF);
}

int EncodeUTF8Str(uint8_t* dest, std::string_view utf8)
{
    if (utf8.size() > 65535) throw Exception("utf8str too big");
    int n = static_cast<int>(utf8.size());
    WriteU16BE(dest, n);
    if (n > 0) std::memcpy(dest + 2, utf8.data(), n);
    return n + 2;
}

namespace {

std::string DecodeText(const uint8_t* text, int n)
{
    if (n == 0) return {};
    // A zero byte ends the text early; the field still counts in full.
    const void* zero = std::memchr(text, 0, n);
    if (zero) n = static_cast<int>(static_cast<const uint8_t*>(zero) - text);
    std::string decoded = UTF8ToText(std::string_view(reinterpret_cast<const char*>(text), n));
    // A zero written as a longer form than needed (C0 80) ends the text too,
    // or it would slip past the cut above into topics and list texts.
    decoded.resize(std::strlen(decoded.c_str()));
    return decoded;
}

}  // namespace

std::string DecodeUTF8Str(const uint8_t* bytes, int& consumed)
{
    int n = ReadU16BE(bytes);
    consumed = n + 2;
    return DecodeText(bytes + 2, n);
}

bool DecodeUTF8StrWithin(const uint8_t* bytes, int64_t available, std::string& text, int& consumed)
{
    if (available < 2) return false;
    int n = ReadU16BE(bytes);
    if (available - 2 < n) return false;
    consumed = n + 2;
    text = DecodeText(bytes + 2, n);
    return true;
}
