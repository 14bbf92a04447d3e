// Texts: comma lists, UTF-8 to and from the system code page, string fields.
// Input: code-page selector byte (bit 0: UTF-8 or CP932), then the text.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "mqtt/codec/WirePrimitives.h"
#include "platform/CodePage.h"

namespace {

const std::string kUTF8Replacement = "\xEF\xBF\xBD";

// What a string field holding these bytes reads as: a zero ends the text,
// however it was written.
std::string FieldText(std::string_view utf8)
{
    const std::string text = UTF8ToText(utf8.substr(0, utf8.find('\0')));
    return text.substr(0, text.find('\0'));
}

bool IsListBlank(unsigned char c) { return c >= 1 && c <= 32; }

// Whether the last character of the item is a lead byte without its second
// byte; that only happens to the last item of a malformed text.
bool EndsWithLoneLead(const std::string& item)
{
    bool lone = false;
    for (size_t i = 0; i < item.size();) {
        const bool lead = CodePage::IsLeadByte(static_cast<unsigned char>(item[i]));
        lone = lead && i + 1 == item.size();
        i += lead && i + 1 < item.size() ? 2 : 1;
    }
    return lone;
}

void CheckCommaText(std::string_view text)
{
    const std::vector<std::string> items = SplitCommaText(text);
    const std::string_view cut = text.substr(0, text.find('\0'));
    bool blanksOnly = true;
    for (unsigned char c : cut)
        blanksOnly = blanksOnly && IsListBlank(c);
    FUZZ_CHECK(items.empty() == blanksOnly);
    FUZZ_CHECK(items.size() <= cut.size() + 1);
    size_t itemBytes = 0;
    for (const std::string& item : items) {
        FUZZ_CHECK(item.find('\0') == std::string::npos);
        itemBytes += item.size();
    }
    FUZZ_CHECK(itemBytes <= cut.size());

    // Joining gives a text that splits into the same items. Not so for an
    // item that ends in a lone lead byte: the quote put behind it would be
    // taken for its second byte.
    const std::string joined = JoinCommaText(items);
    if (items.empty()) {
        FUZZ_CHECK(joined.empty());
    } else if (!EndsWithLoneLead(items.back())) {
        FUZZ_CHECK(SplitCommaText(joined) == items);
        FUZZ_CHECK(JoinCommaText(SplitCommaText(joined)) == joined);
    }
}

void CheckUTF8ToText(std::string_view utf8)
{
    // A fault is found exactly where the bytes are no strict UTF-8 or hold U+0000.
    const bool wellFormed = fuzz::IsStrictUTF8(utf8) && utf8.find('\0') == std::string_view::npos;
    FUZZ_CHECK(Utf8Fault(utf8).empty() == wellFormed);
    const std::string text = UTF8ToText(utf8);
    if (fuzz::IsMalformedUTF8(utf8)) {
        FUZZ_CHECK(text.empty());
        return;
    }
    FUZZ_CHECK(text.empty() == utf8.empty());
    if (CodePage::IsUTF8()) {
        FUZZ_CHECK(fuzz::IsStrictUTF8(text));
        if (fuzz::IsStrictUTF8(utf8))
            FUZZ_CHECK(text == utf8);
    } else {
        // What came out is text of the code page: it converts back without a
        // single bad byte.
        const std::string back = TextToUTF8(text);
        FUZZ_CHECK(fuzz::IsStrictUTF8(back));
        FUZZ_CHECK(back.find(kUTF8Replacement) == std::string::npos);
    }
}

void CheckConversions(std::string_view bytes)
{
    // As system text: always strict UTF-8 out.
    const std::string utf8 = TextToUTF8(bytes);
    FUZZ_CHECK(utf8.empty() == bytes.empty());
    FUZZ_CHECK(fuzz::IsStrictUTF8(utf8));
    FUZZ_CHECK(CodePage::SystemToUTF8(bytes) == utf8 || bytes.empty());
    if (CodePage::IsUTF8()) {
        if (fuzz::IsStrictUTF8(bytes))
            FUZZ_CHECK(utf8 == bytes);
        FUZZ_CHECK(UTF8ToText(utf8) == utf8);
    } else {
        const std::string back = CodePage::UTF8ToSystem(utf8);
        FUZZ_CHECK(fuzz::IsStrictUTF8(CodePage::SystemToUTF8(back)));
    }

    // As UTF-8 of any kind: what does not convert becomes the replacement.
    const std::string system = CodePage::UTF8ToSystem(bytes);
    FUZZ_CHECK(system.empty() == bytes.empty());
    if (CodePage::IsUTF8()) {
        FUZZ_CHECK(fuzz::IsStrictUTF8(system));
    } else {
        const std::string again = CodePage::SystemToUTF8(system);
        FUZZ_CHECK(again.find(kUTF8Replacement) == std::string::npos);
    }

    for (int b = 0; b < 0x80; ++b)
        FUZZ_CHECK(!CodePage::IsLeadByte(static_cast<unsigned char>(b)));
    if (CodePage::IsUTF8())
        for (unsigned char c : bytes)
            FUZZ_CHECK(!CodePage::IsLeadByte(c));
}

void CheckStringField(std::string_view bytes)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const int64_t n = static_cast<int64_t>(bytes.size());
    std::string text = "untouched";
    int consumed = -1;
    const bool fits = DecodeUTF8StrWithin(p, n, text, consumed);
    if (n < 2 || (p[0] * 256 + p[1]) > n - 2) {
        FUZZ_CHECK(!fits);
        FUZZ_CHECK(text == "untouched");
    } else {
        const int count = p[0] * 256 + p[1];
        FUZZ_CHECK(fits);
        FUZZ_CHECK(consumed == count + 2);
        FUZZ_CHECK(text == FieldText(bytes.substr(2, count)));
        FUZZ_CHECK(text.find('\0') == std::string::npos);
        int unbounded = -1;
        FUZZ_CHECK(DecodeUTF8Str(p, unbounded) == text);
        FUZZ_CHECK(unbounded == consumed);
    }

    // Written as a field and read back.
    if (bytes.size() <= 65535) {
        std::unique_ptr<uint8_t[]> field(new uint8_t[bytes.size() + 2]);
        FUZZ_CHECK(EncodeUTF8Str(field.get(), bytes) == n + 2);
        std::string back;
        int read = 0;
        FUZZ_CHECK(DecodeUTF8StrWithin(field.get(), n + 2, back, read));
        FUZZ_CHECK(read == n + 2);
        FUZZ_CHECK(back == FieldText(bytes));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 1)
        return 0;
    fuzz::ChooseCodePage(input[0]);
    FUZZ_CHECK(CodePage::IsUTF8() == !(input[0] & 1));
    const std::string_view text(reinterpret_cast<const char*>(input + 1), size - 1);
    CheckCommaText(text);
    CheckUTF8ToText(text);
    CheckConversions(text);
    CheckStringField(text);
    return 0;
}
