#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Error.h"

namespace {

class CodePageTest : public ::testing::Test {
protected:
    void SetUp() override { Saved = CodePage::Name(); }
    void TearDown() override { CodePage::Set(Saved); }
    std::string Saved;
};

const std::string SayonaraCp932 = "\x82\xB3\x82\xE6\x82\xA4\x82\xC8\x82\xE7";
const std::string SayonaraUtf8 = "さようなら";

TEST_F(CodePageTest, SetTakesIconvNamesAndRefusesUnknownOnesKeepingTheOld)
{
    CodePage::Set("CP932");
    EXPECT_EQ(CodePage::Name(), "CP932");
    EXPECT_FALSE(CodePage::IsUTF8());
    EXPECT_THROW(CodePage::Set("NO-SUCH-CHARSET-42"), Exception);
    EXPECT_EQ(CodePage::Name(), "CP932");
    CodePage::Set("utf8");
    EXPECT_TRUE(CodePage::IsUTF8());
}

TEST_F(CodePageTest, LeadBytesOfShiftJis)
{
    CodePage::Set("CP932");
    for (int b : {0x81, 0x82, 0x83, 0x9F, 0xE0, 0xEA, 0xFC}) EXPECT_TRUE(CodePage::IsLeadByte(b)) << b;
    for (int b : {0x00, 0x2C, 0x22, 0x41, 0x5C, 0x7F, 0xA1, 0xB1, 0xDF}) EXPECT_FALSE(CodePage::IsLeadByte(b)) << b;
    CodePage::Set("UTF-8");
    for (int b = 0; b < 256; ++b) EXPECT_FALSE(CodePage::IsLeadByte(b)) << b;
}

TEST_F(CodePageTest, ConversionsFollowTheChosenCodePage)
{
    CodePage::Set("CP932");
    EXPECT_EQ(CodePage::SystemToUTF8(SayonaraCp932), SayonaraUtf8);
    EXPECT_EQ(CodePage::UTF8ToSystem(SayonaraUtf8), SayonaraCp932);
    EXPECT_EQ(CodePage::FromUTF8Literal("こんにちは"), "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD");
    // A lead byte without its second byte, and an invalid pair.
    EXPECT_EQ(CodePage::SystemToUTF8("a\x82"), "a\xEF\xBF\xBD");
    EXPECT_EQ(CodePage::SystemToUTF8("\x81\x20z"), "\xEF\xBF\xBD z");
    EXPECT_EQ(CodePage::UTF8ToSystem("x\xFFy"), "x?y");

    CodePage::Set("EUC-JP");
    EXPECT_EQ(CodePage::UTF8ToSystem(SayonaraUtf8), "\xA4\xB5\xA4\xE8\xA4\xA6\xA4\xCA\xA4\xE9");

    CodePage::Set("UTF-8");
    EXPECT_EQ(CodePage::SystemToUTF8(SayonaraUtf8), SayonaraUtf8);
    EXPECT_EQ(CodePage::UTF8ToSystem(SayonaraUtf8), SayonaraUtf8);
}

// With a UTF-8 code page no converter runs: invalid bytes are repaired on the way.
TEST_F(CodePageTest, Utf8CodePageRepairsInvalidBytesBothWays)
{
    CodePage::Set("UTF-8");
    struct TCase {
        const char* In;
        const char* ToUtf8;     // SystemToUTF8: U+FFFD for each bad byte
        const char* ToSystem;   // UTF8ToSystem: '?' for what cannot be a character
    };
    for (const TCase& c : {TCase{"plain", "plain", "plain"},
             TCase{"a\xFF" "b", "a\xEF\xBF\xBD" "b", "a?b"},
             TCase{"\xC3", "\xEF\xBF\xBD", "?"},                          // cut-off sequence
             TCase{"\xE3\x81\x82\xE3", "\xE3\x81\x82\xEF\xBF\xBD", "\xE3\x81\x82?"},
             TCase{"\xED\xA0\x80", nullptr, nullptr}}) {                  // an encoded surrogate
        SCOPED_TRACE(c.In);
        const std::string utf8 = CodePage::SystemToUTF8(c.In);
        const std::string system = CodePage::UTF8ToSystem(c.In);
        if (c.ToUtf8) {
            EXPECT_EQ(utf8, c.ToUtf8);
        }
        if (c.ToSystem) {
            EXPECT_EQ(system, c.ToSystem);
        }
        // Whatever came in, what goes out is valid UTF-8 without surrogates.
        for (const std::string& out : {utf8, system}) {
            const auto* p = reinterpret_cast<const unsigned char*>(out.data());
            for (size_t i = 0; i < out.size();) {
                const size_t n = CodePage::UTF8SequenceLength(p + i, out.size() - i);
                ASSERT_GT(n, 0u) << "invalid UTF-8 at " << i;
                ASSERT_FALSE(n == 3 && p[i] == 0xED && p[i + 1] >= 0xA0) << "surrogate at " << i;
                i += n;
            }
        }
    }
}

TEST_F(CodePageTest, LongTextsGrowTheOutput)
{
    CodePage::Set("CP932");
    std::string cp932, utf8;
    for (int i = 0; i < 5000; ++i) {
        cp932 += "\xB1";   // one byte in, three bytes of UTF-8 out
        utf8 += "ｱ";
    }
    EXPECT_EQ(CodePage::SystemToUTF8(cp932), utf8);
    EXPECT_EQ(CodePage::UTF8ToSystem(utf8), cp932);
}

TEST_F(CodePageTest, ThreadsConvertWhileTheCodePageIsSetAgain)
{
    CodePage::Set("CP932");
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (CodePage::SystemToUTF8(SayonaraCp932) != SayonaraUtf8) ++wrong;
                if (CodePage::UTF8ToSystem(SayonaraUtf8) != SayonaraCp932) ++wrong;
                if (!CodePage::IsLeadByte(0x82)) ++wrong;
            }
        });
    }
    // The same code page chosen again: every thread must reopen its converters.
    std::thread setter([&] {
        while (!stop.load()) CodePage::Set("CP932");
    });
    for (auto& w : workers) w.join();
    stop = true;
    setter.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Run in a child process started with a chosen locale (see below).
TEST(CodePageStartup, ChildSeesTheLocaleCharacterSet)
{
    const char* expected = std::getenv("TARNWICK_EXPECT_CODEPAGE");
    if (!expected) GTEST_SKIP() << "runs only as the child of LocaleDecidesTheStartingCodePage";
    EXPECT_EQ(CodePage::Name(), expected);
    EXPECT_EQ(CodePage::IsUTF8(), std::string(expected) == "UTF-8");
}

// The code page is fixed at first use for the life of the process, so each
// locale gets a fresh process.
TEST(CodePageStartup, LocaleDecidesTheStartingCodePage)
{
    struct Case {
        const char* Locale;
        const char* Expected;
    } cases[] = {{"C", "UTF-8"}, {"POSIX", "UTF-8"}, {"C.UTF-8", "UTF-8"}};
    for (const auto& c : cases) {
        std::string locale = std::string("LC_ALL=") + c.Locale;
        std::string expect = std::string("TARNWICK_EXPECT_CODEPAGE=") + c.Expected;
        char* envp[] = {locale.data(), expect.data(), nullptr};
        std::string filter = "--gtest_filter=CodePageStartup.ChildSeesTheLocaleCharacterSet";
        std::string self = "/proc/self/exe";
        char* argv[] = {self.data(), filter.data(), nullptr};
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, envp), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.Locale;
    }
}

}  // namespace
