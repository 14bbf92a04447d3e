#include "mqtt/codec/PropertyText.h"

#include <algorithm>

#include "mqtt/codec/AsciiText.h"
#include "mqtt/codec/WirePrimitives.h"
#include "platform/Error.h"

namespace {

bool NeedsQuotes(std::string_view value)
{
    if (value.empty())
        return false;
    if (IsBlank(value.front()) || IsBlank(value.back()) || value.front() == '"')
        return true;
    return value.find(';') != std::string_view::npos;
}

std::string Quote(std::string_view value)
{
    std::string quoted = "\"";
    for (char c : value) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + "\"";
}

}  // namespace

std::vector<TPropertyEntry> SplitPropertyText(std::string_view text)
{
    std::vector<TPropertyEntry> entries;
    std::size_t at = 0;
    while (at < text.size()) {
        // The name runs to the first "=", unless the entry ends before it.
        const std::size_t nameEnd = text.find_first_of("=;\n", at);
        if (nameEnd == std::string_view::npos || text[nameEnd] != '=') {
            const std::size_t end = nameEnd == std::string_view::npos ? text.size() : nameEnd;
            const std::string_view entry = Trim(text.substr(at, end - at));
            if (!entry.empty())
                throw Exception("'" + std::string(entry) + "' is not name = value");
            at = end + 1;
            continue;
        }
        TPropertyEntry entry;
        entry.Name = Trim(text.substr(at, nameEnd - at));
        std::size_t i = nameEnd + 1;
        while (i < text.size() && IsBlank(text[i]))
            ++i;
        if (i < text.size() && text[i] == '"') {
            // Quoted: up to the closing quote; "" is one quote.
            ++i;
            bool closed = false;
            while (i < text.size() && text[i] != '\n') {
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        entry.Value += '"';
                        i += 2;
                        continue;
                    }
                    closed = true;
                    ++i;
                    break;
                }
                entry.Value += text[i++];
            }
            const std::size_t end = text.find_first_of(";\n", i);
            const std::string_view after = Trim(text.substr(i, end == std::string_view::npos ? end : end - i));
            const std::string_view whole =
                Trim(text.substr(at, (end == std::string_view::npos ? text.size() : end) - at));
            if (!closed)
                throw Exception("'" + std::string(Trim(text.substr(at, i - at))) + "' has no closing quote");
            if (!after.empty())
                throw Exception("'" + std::string(whole) + "' has text after the closing quote");
            at = end == std::string_view::npos ? text.size() : end + 1;
        } else {
            const std::size_t end = text.find_first_of(";\n", i);
            entry.Value = Trim(text.substr(i, end == std::string_view::npos ? end : end - i));
            at = end == std::string_view::npos ? text.size() : end + 1;
        }
        if (entry.Name.empty())
            throw Exception("'= " + entry.Value + "' has no property name");
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string JoinPropertyText(const std::vector<TPropertyEntry>& entries)
{
    std::string text;
    for (const TPropertyEntry& entry : entries) {
        if (!text.empty())
            text += "; ";
        text += entry.Name + " = " + (NeedsQuotes(entry.Value) ? Quote(entry.Value) : entry.Value);
    }
    return text;
}

TPropertyList ParsePropertyText(std::string_view text, TPacketKind kind)
{
    TPropertyList list;
    for (const TPropertyEntry& entry : SplitPropertyText(text)) {
        TProperty property = ParseProperty(entry.Name, entry.Value, kind);
        // Said here with the property's name; the encoder would only say "utf8str too big".
        const std::size_t longest = std::max({TextToUTF8(property.Text).size(), TextToUTF8(property.Text2).size(),
                                              property.Bytes.size()});
        if (longest > 65535)
            throw Exception(std::string(FindProperty(property.Id)->Name) + ": longer than 65535 bytes");
        list.push_back(std::move(property));
    }
    CheckProperties(list, kind);
    return list;
}

std::string FormatPropertyText(const TPropertyList& list)
{
    std::vector<TPropertyEntry> entries;
    for (const TProperty& property : list) {
        const TPropertyDef* def = FindProperty(property.Id);
        entries.push_back({def ? std::string(def->Key) : FormatHexByte(property.Id), FormatPropertyValue(property)});
    }
    return JoinPropertyText(entries);
}
