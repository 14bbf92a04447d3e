#pragma once

#include <string>
#include <string_view>

// The system code page: the character set in which the program holds its texts
// (topics, client identifiers, field contents). It starts as the locale's
// character set; a "C"/"POSIX" locale counts as UTF-8.
//
// Conversions go through iconv. Converters are cached per thread and reopened
// only after Set() changed the code page; when the code page is UTF-8 no
// converter is used at all. Every function is safe to call from any thread.
namespace CodePage {

// Accepts any name iconv knows ("CP932", "UTF-8", ...); raises Exception otherwise.
void Set(const std::string& name);
std::string Name();
bool IsUTF8();

// Input that does not convert becomes U+FFFD, one per bad byte.
std::string SystemToUTF8(std::string_view text);
// Characters without a mapping in the code page, and bytes that are not
// valid UTF-8, become '?'.
std::string UTF8ToSystem(std::string_view utf8);
// First byte of a double-byte character in the code page (never true for UTF-8).
bool IsLeadByte(unsigned char b);
// What a character without a mapping becomes.
constexpr char ReplacementChar = '?';

// Length of the strictly valid UTF-8 sequence at p (shortest form, no
// surrogates, at most U+10FFFF), or 0 when none starts there.
size_t UTF8SequenceLength(const unsigned char* p, size_t available);

// Texts written in the source (UTF-8 literals) as the system holds them.
inline std::string FromUTF8Literal(std::string_view utf8) { return UTF8ToSystem(utf8); }

}  // namespace CodePage
