#include "platform/HttpHead.h"

#include <cctype>

namespace {

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsTokenChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

}  // namespace

bool IsHttpToken(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!IsTokenChar(c))
            return false;
    return true;
}

bool SameAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

const std::string* THttpHead::Field(std::string_view name) const
{
    for (const auto& [fieldName, value] : Fields)
        if (SameAscii(fieldName, name))
            return &value;
    return nullptr;
}

bool THttpHead::FieldHasToken(std::string_view name, std::string_view token) const
{
    for (const auto& [fieldName, value] : Fields) {
        if (!SameAscii(fieldName, name))
            continue;
        std::string_view rest = value;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            if (SameAscii(TrimBlanks(rest.substr(0, comma)), token))
                return true;
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
    }
    return false;
}

std::size_t HttpHeadLength(std::string_view data)
{
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != '\n')
            continue;
        if (i + 1 < data.size() && data[i + 1] == '\n')
            return i + 2;
        if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n')
            return i + 3;
    }
    return 0;
}

bool ParseHttpHead(std::string_view head, THttpHead& parsed, std::string& problem)
{
    parsed = THttpHead();
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const std::size_t newline = head.find('\n');
        std::string_view line = head.substr(0, newline);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        head = newline == std::string_view::npos ? std::string_view() : head.substr(newline + 1);
    }
    // "HTTP/1.x NNN reason"
    const std::string_view status = lines.empty() ? std::string_view() : lines.front();
    if (status.size() < 12 || status.substr(0, 7) != "HTTP/1." || status[8] != ' ' ||
        !std::isdigit(static_cast<unsigned char>(status[9])) || !std::isdigit(static_cast<unsigned char>(status[10])) ||
        !std::isdigit(static_cast<unsigned char>(status[11])) || (status.size() > 12 && status[12] != ' ')) {
        problem = "the answer is not HTTP";
        return false;
    }
    for (char c : status) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            problem = "the answer's status line holds control characters";
            return false;
        }
    }
    parsed.StatusLine = std::string(status);
    parsed.Status = (status[9] - '0') * 100 + (status[10] - '0') * 10 + (status[11] - '0');
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.empty())
            break;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !IsHttpToken(line.substr(0, colon))) {
            problem = "the answer holds a header line that is not \"name: value\"";
            return false;
        }
        parsed.Fields.emplace_back(std::string(line.substr(0, colon)), std::string(TrimBlanks(line.substr(colon + 1))));
    }
    return true;
}
