#pragma once

#include <string_view>

// What typed texts (properties, scripts, choices) share: blanks inside a line,
// trimming them off, and ASCII letter case. Bytes of double-byte characters
// are never taken for either.

// Blank inside a line: space, tab, carriage return, vertical tab, form feed.
constexpr bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

constexpr std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A to Z as a to z; every other byte unchanged.
constexpr char Fold(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
