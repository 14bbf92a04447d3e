#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "mqtt/codec/WirePrimitives.h"
#include "platform/CodePage.h"
#include "platform/Error.h"

#include "codec/CodecTestSupport.h"

namespace {

std::string Str(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

template <typename F>
std::string RaisedMessage(F f)
{
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(nothing raised)";
}

// Keeps the process's code page as it was for the next test.
class CodePageScope : public ::testing::Test {
protected:
    void SetUp() override { Saved = CodePage::Name(); }
    void TearDown() override { CodePage::Set(Saved); }
    std::string Saved;
};

struct RemainLengthCase {
    int32_t Value;
    const char* Bytes;
};

class RemainLengthTest : public ::testing::TestWithParam<RemainLengthCase> {};

TEST_P(RemainLengthTest, EncodesAndDecodesBackToTheSameValue)
{
    const auto& c = GetParam();
    std::vector<uint8_t> expected = Hex(c.Bytes);
    uint8_t scratch[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    int count = EncodeRemainLength(scratch, c.Value);
    EXPECT_EQ(std::vector<uint8_t>(scratch, scratch + count), expected);

    int consumed = 0;
    EXPECT_EQ(DecodeRemainLength(expected.data(), consumed), c.Value);
    EXPECT_EQ(consumed, static_cast<int>(expected.size()));

    std::vector<uint8_t> frame{0x30};
    frame.insert(frame.end(), expected.begin(), expected.end());
    EXPECT_TRUE(IsRemainLengthComplete(frame.data(), static_cast<int>(frame.size())));
    EXPECT_FALSE(IsRemainLengthComplete(frame.data(), static_cast<int>(frame.size()) - 1));

    // A variable byte integer is the same encoding, read within a bound.
    const auto value = static_cast<uint32_t>(c.Value);
    EXPECT_EQ(VariableByteIntegerSize(value), static_cast<int>(expected.size()));
    std::fill(std::begin(scratch), std::end(scratch), 0xEE);
    ASSERT_EQ(EncodeVariableByteInteger(scratch, value), static_cast<int>(expected.size()));
    EXPECT_EQ(std::vector<uint8_t>(scratch, scratch + expected.size()), expected);
    uint32_t decoded = 0xDEAD;
    EXPECT_EQ(DecodeVariableByteInteger(expected.data(), static_cast<int64_t>(expected.size()), decoded),
              static_cast<int>(expected.size()));
    EXPECT_EQ(decoded, value);
    decoded = 0xDEAD;
    EXPECT_EQ(DecodeVariableByteInteger(expected.data(), static_cast<int64_t>(expected.size()) - 1, decoded), 0);
    EXPECT_EQ(decoded, 0xDEADu);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, RemainLengthTest,
    ::testing::Values(RemainLengthCase{0, "00"}, RemainLengthCase{127, "7F"}, RemainLengthCase{128, "80 01"},
                      RemainLengthCase{321, "C1 02"}, RemainLengthCase{16383, "FF 7F"},
                      RemainLengthCase{16384, "80 80 01"}, RemainLengthCase{2097151, "FF FF 7F"},
                      RemainLengthCase{2097152, "80 80 80 01"}, RemainLengthCase{268435455, "FF FF FF 7F"}));

TEST(RemainLength, ValueNeedingFiveBytesIsRefusedWithinFourBytes)
{
    uint8_t scratch[5] = {0, 0, 0, 0, 0xAB};
    EXPECT_EQ(RaisedMessage([&] { EncodeRemainLength(scratch, 268435456); }), "RemainLength encode error");
    EXPECT_EQ(scratch[4], 0xAB);
    EXPECT_EQ(RaisedMessage([&] { EncodeRemainLength(scratch, -1); }), "RemainLength encode error");
}

TEST(RemainLength, FourthByteWithContinuationBitIsRefusedWithoutReadingAFifth)
{
    uint8_t bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};   // exactly four: a fifth read would be out of bounds
    int count = 0;
    EXPECT_EQ(RaisedMessage([&] { DecodeRemainLength(bytes, count); }), "RemainLength decode error");
}

TEST(VariableByteInteger, FiveBytesAreRefusedBothWays)
{
    uint8_t scratch[5] = {0, 0, 0, 0, 0xAB};
    EXPECT_EQ(RaisedMessage([&] { EncodeVariableByteInteger(scratch, 268435456); }), "Variable Byte Integer too big");
    EXPECT_EQ(RaisedMessage([&] { VariableByteIntegerSize(0xFFFFFFFF); }), "Variable Byte Integer too big");
    EXPECT_EQ(scratch[4], 0xAB);
    // Only four bytes are looked at, however many are available.
    const std::vector<uint8_t> five = Hex("FF FF FF FF 01");
    uint32_t value = 7;
    EXPECT_EQ(DecodeVariableByteInteger(five.data(), 5, value), -1);
    EXPECT_EQ(DecodeVariableByteInteger(five.data(), 4, value), -1);
    EXPECT_EQ(DecodeVariableByteInteger(five.data(), 0, value), 0);
    EXPECT_EQ(value, 7u);
}

TEST(RemainLength, CompletenessOfPartlyReceivedFrames)
{
    struct Case {
        const char* Bytes;
        bool Complete;
    } cases[] = {{"30", false},          {"30 05", true},          {"30 80", false},
                 {"30 80 01", true},     {"30 FF FF FF", false},    {"30 FF FF FF FF", true},
                 {"30 FF FF 7F", true},  {"30 FF 7F", true}};
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = Hex(c.Bytes);
        EXPECT_EQ(IsRemainLengthComplete(bytes.data(), static_cast<int>(bytes.size())), c.Complete) << c.Bytes;
    }
}

TEST(U16, BigEndianBothWays)
{
    EXPECT_EQ(ReadU16BE(Hex("FF FE").data()), 65534);
    EXPECT_EQ(ReadU16BE(Hex("00 01").data()), 1);
    uint8_t out[2];
    WriteU16BE(out, 65535);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 2), Hex("FF FF"));
    WriteU16BE(out, 300);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 2), Hex("01 2C"));
    WriteU16BE(out, 0x12345);   // bits above the sixteenth are dropped
    EXPECT_EQ(std::vector<uint8_t>(out, out + 2), Hex("23 45"));
}

TEST(StringField, EncodeWritesCountThenBytes)
{
    std::vector<uint8_t> out(8, 0xEE);
    EXPECT_EQ(EncodeUTF8Str(out.data(), ""), 2);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 2), Hex("00 00"));
    EXPECT_EQ(EncodeUTF8Str(out.data(), "abc"), 5);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 5), Hex("00 03 61 62 63"));
}

TEST(StringField, LongestFitsAndOneMoreIsRefusedWritingNothing)
{
    std::vector<uint8_t> out(65537 + 1, 0xEE);
    std::string longest(65535, 'x');
    EXPECT_EQ(EncodeUTF8Str(out.data(), longest), 65537);
    EXPECT_EQ(ReadU16BE(out.data()), 65535);
    EXPECT_EQ(out[65536], 'x');
    EXPECT_EQ(out[65537], 0xEE);

    std::fill(out.begin(), out.end(), 0xEE);
    EXPECT_EQ(RaisedMessage([&] { EncodeUTF8Str(out.data(), std::string(65536, 'x')); }), "utf8str too big");
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(out[2], 0xEE);
}

TEST(StringField, Decode)
{
    struct Case {
        const char* Bytes;
        std::string Text;
        int Consumed;
    } cases[] = {
        {"00 00", "", 2},
        {"00 03 61 00 62", "a", 5},     // cut at the zero byte, counted in full
        {"00 02 C3 28", "", 4},         // malformed UTF-8
        {"00 03 61 2F 62 FF", "a/b", 5},
        {"00 02 C3 A9", "\xC3\xA9", 4},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = Hex(c.Bytes);
        int consumed = -1;
        EXPECT_EQ(DecodeUTF8Str(bytes.data(), consumed), c.Text) << c.Bytes;
        EXPECT_EQ(consumed, c.Consumed) << c.Bytes;

        std::string text;
        int within = -1;
        ASSERT_TRUE(DecodeUTF8StrWithin(bytes.data(), c.Consumed, text, within)) << c.Bytes;
        EXPECT_EQ(text, c.Text);
        EXPECT_EQ(within, c.Consumed);
        EXPECT_FALSE(DecodeUTF8StrWithin(bytes.data(), c.Consumed - 1, text, within)) << c.Bytes;
    }
}

// UTF-8 as the system code page: the conversions validate and pass through.
class Utf8TextTest : public CodePageScope {
protected:
    void SetUp() override
    {
        CodePageScope::SetUp();
        CodePage::Set("UTF-8");
    }
};

TEST_F(Utf8TextTest, MalformedInputGivesTheEmptyText)
{
    const char* malformed[] = {
        "C3",             // lead byte at the end
        "C3 28",          // continuation without 10xxxxxx
        "E3 81",          // 3-byte lead cut short
        "61 E3 81 41",    // wrong third byte
        "80",             // stray continuation byte
        "61 BF 62",
        "F8 88 80 80 80", // 5-byte lead
        "FC 84 80 80 80 80",
        "F0 9F 98",       // 4-byte lead cut short
        "FE", "FF",
    };
    for (const char* bytes : malformed) EXPECT_EQ(UTF8ToText(Str(Hex(bytes))), "") << bytes;
}

TEST_F(Utf8TextTest, OutsideTheBmpIsOneFourByteSequenceBothWays)
{
    const std::string smile = "\xF0\x9F\x98\x80";   // U+1F600
    EXPECT_EQ(TextToUTF8("a" + smile + "b"), "a" + smile + "b");
    EXPECT_EQ(UTF8ToText("a" + smile + "b"), "a" + smile + "b");
    const std::string highest = "\xF4\x8F\xBF\xBF";   // U+10FFFF
    EXPECT_EQ(UTF8ToText(highest), highest);
}

TEST_F(Utf8TextTest, NoCharactersBecomeTheReplacementAndNeverInvalidUtf8)
{
    EXPECT_EQ(UTF8ToText("a\xED\xA0\x80z"), "a?z");            // encoded surrogate
    EXPECT_EQ(UTF8ToText("\xF4\x90\x80\x80"), "?");             // U+110000
    EXPECT_EQ(UTF8ToText("\xF7\xBF\xBF\xBF"), "?");
    EXPECT_EQ(UTF8ToText("\xC1\x81"), "A");                     // longer form than needed
    EXPECT_EQ(UTF8ToText("\xE0\x82\xA9"), "\xC2\xA9");
}

TEST_F(Utf8TextTest, SystemTextThatIsNotUtf8BecomesReplacementCharacters)
{
    EXPECT_EQ(TextToUTF8(""), "");
    EXPECT_EQ(TextToUTF8("abc"), "abc");
    EXPECT_EQ(TextToUTF8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(TextToUTF8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

class Cp932TextTest : public CodePageScope {
protected:
    void SetUp() override
    {
        CodePageScope::SetUp();
        CodePage::Set("CP932");
    }
};

TEST_F(Cp932TextTest, JapaneseTextRoundTrips)
{
    struct Case {
        std::string Cp932, Utf8;
    } cases[] = {
        {"\x82\xB3\x82\xE6\x82\xA4\x82\xC8\x82\xE7", "さようなら"},
        {"\x82\xB1\x82\xEA\x82\xCD\x8E\x8E\x8C\xB1\x83\x66\x81\x5B\x83\x5E\x82\xC5\x82\xB7 from Windows7",
         "これは試験データです from Windows7"},
        {"\x83\x5C\x95\x5C", "ソ表"},   // second bytes equal to a backslash
        {"\xB1\xB2", "ｱｲ"},             // single-byte katakana
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TextToUTF8(c.Cp932), c.Utf8);
        EXPECT_EQ(UTF8ToText(c.Utf8), c.Cp932);
    }
    EXPECT_EQ(TextToUTF8(cases[1].Cp932).size(), 44u);
}

TEST_F(Cp932TextTest, CharactersWithoutMappingBecomeTheReplacement)
{
    EXPECT_EQ(UTF8ToText("a€b"), "a?b");
    EXPECT_EQ(UTF8ToText("\xF0\x9F\x98\x80"), "?");
    EXPECT_EQ(UTF8ToText("\xED\xA0\x80"), "?");
    EXPECT_EQ(UTF8ToText("C3 28"), "C3 28");
    EXPECT_EQ(UTF8ToText("\xC3\x28"), "");
}

TEST(CommaText, Split)
{
    using V = std::vector<std::string>;
    struct Case {
        std::string Text;
        V Items;
    } cases[] = {
        {" a/b , x/y ", {"a/b", "x/y"}},
        {"\"x y\",z", {"x y", "z"}},
        {"", {}},
        {"   ", {}},
        {"p q,r", {"p", "q", "r"}},
        {"p,,q", {"p", "", "q"}},
        {"p,", {"p", ""}},
        {",", {"", ""}},
        {"\"a\"\"b\",c", {"a\"b", "c"}},
        {"\"open, to the end", {"open, to the end"}},
        {"\"\"", {""}},
        {"a\tb\nc", {"a", "b", "c"}},
        {"0,1", {"0", "1"}},
        {std::string("a,b\0,c", 6), {"a", "b"}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitCommaText(c.Text), c.Items) << "[" << c.Text << "]";
}

TEST(CommaText, Join)
{
    using V = std::vector<std::string>;
    struct Case {
        V Items;
        std::string Text;
    } cases[] = {
        {{"0", "1"}, "0,1"},
        {{""}, "\"\""},
        {{"x y", "z"}, "\"x y\",z"},
        {{}, ""},
        {{"a\"b"}, "\"a\"\"b\""},
        {{"a,b", ""}, "\"a,b\","},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JoinCommaText(c.Items), c.Text);
        if (!c.Items.empty()) {
            EXPECT_EQ(SplitCommaText(c.Text), c.Items) << c.Text;
        }
    }
}

TEST_F(Cp932TextTest, CommaTextKeepsDoubleByteCharactersWhole)
{
    const std::string so = "\x83\x5C", hyou = "\x95\x5C", kana = "\x82\xA0";
    const std::string topicA = so + "/" + hyou, topicB = kana + "\x81\x40" + kana;   // 0x81 0x40: ideographic space
    EXPECT_EQ(SplitCommaText(topicA + "," + topicB), (std::vector<std::string>{topicA, topicB}));
    EXPECT_EQ(JoinCommaText({topicA, topicB}), topicA + "," + topicB);
    EXPECT_EQ(SplitCommaText("\"" + so + " " + hyou + "\""), (std::vector<std::string>{so + " " + hyou}));
    // A lead byte at the very end stands alone.
    EXPECT_EQ(SplitCommaText("a,\x83"), (std::vector<std::string>{"a", "\x83"}));
}

}  // namespace
