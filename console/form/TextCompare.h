#pragma once

#include <string_view>

#include "mqtt/codec/AsciiText.h"

// Names typed by a user (control names, labels, script keywords, choice
// items): ASCII letters compared without case, every other byte exactly, so
// labels in the system code page compare byte for byte.

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (Fold(text[i]) != Fold(prefix[i]))
            return false;
    return true;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && StartsWithNoCase(a, b);
}
