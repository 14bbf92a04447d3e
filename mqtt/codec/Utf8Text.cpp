#include <cstdint>
#include <cstdio>

#include "mqtt/codec/WirePrimitives.h"
#include "platform/CodePage.h"

std::string TextToUTF8(std::string_view text)
{
    if (text.empty()) return {};
    // Characters beyond the BMP come out as one 4-byte sequence each.
    return CodePage::SystemToUTF8(text);
}

namespace {

void AppendUTF8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// One sequence of 1 to 4 bytes at p: its length, or 0 when malformed (a stray
// continuation byte, a 5- or 6-byte lead, a missing or wrong continuation byte).
int DecodeSequence(const unsigned char* p, size_t available, uint32_t& cp)
{
    unsigned char b = p[0];
    int length;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if (b >= 0xC0 && b < 0xE0) {
        length = 2; cp = b & 0x1F;
    } else if (b >= 0xE0 && b < 0xF0) {
        length = 3; cp = b & 0x0F;
    } else if (b >= 0xF0 && b < 0xF8) {
        length = 4; cp = b & 0x07;
    } else {
        return 0;
    }
    if (available < static_cast<size_t>(length)) return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    return length;
}

bool IsShortestForm(uint32_t cp, int length)
{
    switch (length) {
    case 2: return cp >= 0x80;
    case 3: return cp >= 0x800;
    case 4: return cp >= 0x10000;
    default: return true;
    }
}

bool IsCharacter(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

// The bytes of one sequence as shown in a fault: "ED A0 80".
std::string SequenceBytes(const unsigned char* p, size_t available)
{
    size_t length = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC0 ? 2 : 1;
    if (length > available) length = available;
    std::string text;
    char hex[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", p[i]);
        text += hex;
    }
    return text;
}

}  // namespace

std::string Utf8Fault(std::string_view utf8)
{
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        uint32_t cp = 0;
        const int length = DecodeSequence(p + i, n - i, cp);
        const char* what = nullptr;
        if (length == 0)
            what = "ill-formed UTF-8";
        else if (!IsShortestForm(cp, length))
            what = "an overlong form";
        else if (cp >= 0xD800 && cp <= 0xDFFF)
            what = "a surrogate";
        else if (cp > 0x10FFFF)
            what = "a code point beyond U+10FFFF";
        else if (cp == 0)
            what = "U+0000";
        if (what)
            return "holds " + std::string(what) + " at offset " + std::to_string(i) + " (" +
                   SequenceBytes(p + i, n - i) + ")";
        i += static_cast<size_t>(length);
    }
    return {};
}

std::string UTF8ToText(std::string_view utf8)
{
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t n = utf8.size();
    bool clean = true;   // every sequence is strict UTF-8 already
    for (size_t i = 0; i < n;) {
        uint32_t cp = 0;
        int length = DecodeSequence(p + i, n - i, cp);
        if (length == 0) return {};
        if (!IsCharacter(cp) || !IsShortestForm(cp, length)) clean = false;
        i += length;
    }
    if (clean) return CodePage::IsUTF8() ? std::string(utf8) : CodePage::UTF8ToSystem(utf8);

    // Longer forms than needed stand for their character; surrogates and values
    // beyond U+10FFFF are no characters and become the replacement.
    std::string strict;
    strict.reserve(n);
    for (size_t i = 0; i < n;) {
        uint32_t cp = 0;
        int length = DecodeSequence(p + i, n - i, cp);
        if (IsCharacter(cp))
            AppendUTF8(strict, cp);
        else
            strict += CodePage::ReplacementChar;
        i += length;
    }
    return CodePage::IsUTF8() ? strict : CodePage::UTF8ToSystem(strict);
}
