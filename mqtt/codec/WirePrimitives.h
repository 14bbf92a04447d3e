#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Byte-level encodings shared by the frame builders, the received packet and
// the reader thread. No state: safe from any thread.

// Remaining-length field: 1 to 4 bytes, least significant 7-bit group first.
constexpr int32_t MaxRemainLength = 268435455;
int EncodeRemainLength(uint8_t* dest, int32_t value);                 // raises "RemainLength encode error"
int32_t DecodeRemainLength(const uint8_t* bytes, int& count);         // raises "RemainLength decode error"
bool IsRemainLengthComplete(const uint8_t* bytes, int count);         // bytes from the frame's first byte

// Variable byte integer (MQTT 5.0 property lengths and values): the same
// encoding as the remaining length, 1 to 4 bytes, at most 268,435,455.
constexpr uint32_t MaxVariableByteInteger = 268435455;
int VariableByteIntegerSize(uint32_t value);                           // raises "Variable Byte Integer too big"
int EncodeVariableByteInteger(uint8_t* dest, uint32_t value);         // raises "Variable Byte Integer too big"
// Reads within `available` bytes: the number of bytes taken (1 to 4), 0 when
// the bytes end before the integer does, -1 when a fourth byte still has its
// continuation bit. Never reads beyond the available bytes or a fourth byte.
int DecodeVariableByteInteger(const uint8_t* bytes, int64_t available, uint32_t& value);
// A value read in more bytes than it needs: "takes 2 bytes where 1 would do";
// empty when it took the fewest.
std::string OverlongFault(uint32_t value, int size);

int ReadU16BE(const uint8_t* bytes);

// One byte as shown in reports and reasons: "0x8B".
std::string FormatHexByte(uint8_t value);
void WriteU16BE(uint8_t* dest, int32_t value);

// String field: 16-bit byte count, then the UTF-8 bytes.
int EncodeUTF8Str(uint8_t* dest, std::string_view utf8);               // raises "utf8str too big"
std::string DecodeUTF8Str(const uint8_t* bytes, int& consumed);
// The same for a field that must lie inside `available` bytes: false (and
// nothing read beyond them) when its count or its text would run past the end.
bool DecodeUTF8StrWithin(const uint8_t* bytes, int64_t available, std::string& text, int& consumed);

// System code page <-> UTF-8. Malformed UTF-8 converts to the empty text.
std::string TextToUTF8(std::string_view text);
std::string UTF8ToText(std::string_view utf8);
// What keeps received UTF-8 from being a well-formed string of MQTT 3.1.1 and
// 5.0: "holds U+0000 at offset 3 (00)", "holds a surrogate at offset 0 (ED A0
// 80)", ill-formed or overlong sequences, code points beyond U+10FFFF; empty
// when nothing does.
std::string Utf8Fault(std::string_view utf8);

// Comma-separated list texts (topic and QoS lists).
std::vector<std::string> SplitCommaText(std::string_view text);
std::string JoinCommaText(const std::vector<std::string>& items);
