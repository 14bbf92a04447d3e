#include "mqtt/codec/SubscriptionOptions.h"

#include <cctype>

#include "mqtt/codec/WirePrimitives.h"
#include "platform/Error.h"

namespace {

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool AllDigits(std::string_view text)
{
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// A quoted item may hold several words; blanks separate them.
std::vector<std::string> Words(const std::string& item)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : item) {
        if (static_cast<unsigned char>(c) <= 32) {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

[[noreturn]] void Refuse(const std::string& what) { throw Exception("subscription options: " + what); }

}  // namespace

uint8_t TSubscriptionOptions::ToByte() const
{
    return static_cast<uint8_t>((MaximumQoS & 3) | (NoLocal ? 0x04 : 0) | (RetainAsPublished ? 0x08 : 0) |
                                ((RetainHandling & 3) << 4) | (Reserved & 0xC0));
}

TSubscriptionOptions TSubscriptionOptions::FromByte(uint8_t byte)
{
    TSubscriptionOptions options;
    options.MaximumQoS = byte & 3;
    options.NoLocal = (byte & 0x04) != 0;
    options.RetainAsPublished = (byte & 0x08) != 0;
    options.RetainHandling = (byte >> 4) & 3;
    options.Reserved = byte & 0xC0;
    return options;
}

std::string FormatSubscriptionOptions(const TSubscriptionOptions& options)
{
    std::string text = std::to_string(options.MaximumQoS);
    if (options.NoLocal) text += " nl";
    if (options.RetainAsPublished) text += " rap";
    if (options.RetainHandling != 0) text += " rh=" + std::to_string(options.RetainHandling);
    // Shown so that a received byte with them set does not pass for a valid one.
    if (options.Reserved != 0) text += " reserved=" + FormatHexByte(options.Reserved);
    return text;
}

std::vector<TSubscriptionOptions> ParseSubscriptionOptionList(std::string_view list)
{
    std::vector<TSubscriptionOptions> result;
    for (const std::string& item : SplitCommaText(list)) {
        const std::vector<std::string> words = Words(item);
        if (words.empty()) Refuse("an empty item has no QoS");
        for (const std::string& word : words) {
            const std::string lower = Lower(word);
            if (AllDigits(lower)) {
                const int qos = std::stoi(lower);
                if (qos > 2) Refuse("QoS " + word + " is out of range (0 to 2)");
                result.emplace_back();
                result.back().MaximumQoS = static_cast<uint8_t>(qos);
                continue;
            }
            if (result.empty()) Refuse("'" + word + "' comes before any QoS");
            TSubscriptionOptions& options = result.back();
            if (lower == "nl" || lower == "no-local") {
                options.NoLocal = true;
            } else if (lower == "rap" || lower == "retain-as-published") {
                options.RetainAsPublished = true;
            } else if (lower.starts_with("rh=") || lower.starts_with("retain-handling=")) {
                const std::string value = lower.substr(lower.find('=') + 1);
                if (!AllDigits(value)) Refuse("'" + word + "' needs a number 0, 1 or 2 after =");
                const int handling = std::stoi(value);
                if (handling > 2) Refuse("retain handling " + value + " is out of range (0 to 2)");
                options.RetainHandling = static_cast<uint8_t>(handling);
            } else {
                Refuse("'" + word + "' is not a QoS (0 to 2) or an option (nl, rap, rh=0 to 2)");
            }
        }
    }
    return result;
}
