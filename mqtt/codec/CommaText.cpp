#include "mqtt/codec/WirePrimitives.h"
#include "platform/CodePage.h"

// Both directions walk the text character by character in the system code
// page, so the second byte of a double-byte character is never taken for a
// comma, a double quote or a blank.

namespace {

// Blanks separate list items as commas do: every code from 1 to 32.
bool IsListBlank(unsigned char c) { return c >= 1 && c <= 32; }

// Bytes taken by the character at i (2 for a double-byte character).
size_t CharLength(std::string_view text, size_t i)
{
    return CodePage::IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
}

}  // namespace

std::vector<std::string> SplitCommaText(std::string_view text)
{
    // A zero byte ends the text, as it would end a C string.
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> items;
    const size_t n = text.size();
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < n && IsListBlank(static_cast<unsigned char>(text[i]))) ++i;
    };
    skipBlanks();
    while (i < n) {
        std::string item;
        if (text[i] == '"') {
            // Quoted item: up to the next single double quote, or to the end
            // of the text when there is none; "" stands for one double quote.
            ++i;
            while (i < n) {
                if (text[i] == '"') {
                    if (i + 1 < n && text[i + 1] == '"') {
                        item += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                size_t length = CharLength(text, i);
                item.append(text.substr(i, length));
                i += length;
            }
        } else {
            size_t start = i;
            while (i < n && static_cast<unsigned char>(text[i]) > 32 && text[i] != ',') i += CharLength(text, i);
            item.assign(text.substr(start, i - start));
        }
        items.push_back(std::move(item));
        skipBlanks();
        if (i < n && text[i] == ',') {
            if (i + 1 == n) items.emplace_back();
            ++i;
            skipBlanks();
        }
    }
    return items;
}

namespace {

bool NeedsQuotes(const std::string& item)
{
    for (size_t i = 0; i < item.size(); i += CharLength(item, i)) {
        unsigned char c = static_cast<unsigned char>(item[i]);
        if (c <= 32 || c == '"' || c == ',') return true;
    }
    return false;
}

}  // namespace

std::string JoinCommaText(const std::vector<std::string>& items)
{
    if (items.size() == 1 && items[0].empty()) return "\"\"";
    std::string text;
    for (size_t k = 0; k < items.size(); ++k) {
        const std::string& item = items[k];
        if (k > 0) text += ',';
        if (!NeedsQuotes(item)) {
            text += item;
            continue;
        }
        text += '"';
        for (size_t i = 0; i < item.size();) {
            size_t length = CharLength(item, i);
            if (length == 1 && item[i] == '"') text += '"';
            text.append(item, i, length);
            i += length;
        }
        text += '"';
    }
    return text;
}
