#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/CodePage.h"

// A failed check ends the process at once, so libFuzzer keeps the input as a
// crash and the replay program fails its test.
#define FUZZ_CHECK(condition)                                                                        \
    do {                                                                                             \
        if (!(condition)) {                                                                          \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
            std::abort();                                                                            \
        }                                                                                            \
    } while (0)

namespace fuzz {

// The first input byte chooses the code page the texts are held in: bit 0
// clear UTF-8, set CP932. Switching is costly, so only a change switches.
inline void ChooseCodePage(uint8_t selector)
{
    static int current = -1;
    const int wanted = selector & 1;
    if (wanted == current)
        return;
    CodePage::Set(wanted ? "CP932" : "UTF-8");
    current = wanted;
}

// Strict UTF-8 (shortest form, no surrogates, at most U+10FFFF), written
// here on its own so that it does not share a fault with the code under test.
inline bool IsStrictUTF8(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t cp;
        if ((b & 0xE0) == 0xC0) {
            length = 2;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            length = 3;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            length = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (n - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// Whether the text holds a sequence the lenient UTF-8 reading refuses: a byte
// that cannot start a sequence of 1 to 4 bytes, or a lead byte without its
// continuation bytes (10xxxxxx).
inline bool IsMalformedUTF8(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char b = p[i];
        size_t length;
        if (b < 0x80)
            length = 1;
        else if (b >= 0xC0 && b <= 0xDF)
            length = 2;
        else if (b >= 0xE0 && b <= 0xEF)
            length = 3;
        else if (b >= 0xF0 && b <= 0xF7)
            length = 4;
        else
            return true;
        if (n - i < length)
            return true;
        for (size_t k = 1; k < length; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return true;
        i += length;
    }
    return false;
}

} // namespace fuzz
