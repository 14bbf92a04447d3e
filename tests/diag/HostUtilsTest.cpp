#include "diag/HostUtils.h"

#include "Fakes.h"
#include "platform/Error.h"
#include "platform/HostName.h"
#include "platform/Random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace {

struct StampCase {
    TLocalDateTime When;
    const char* Expected;
};

TEST(TimeStamp, SeventeenZeroPaddedDigits)
{
    const std::vector<StampCase> cases = {
        {{2024, 1, 2, 9, 5, 3, 7}, "20240102090503007"},
        {{1999, 12, 31, 23, 59, 59, 999}, "19991231235959999"},
        {{2024, 10, 10, 0, 0, 0, 0}, "20241010000000000"},
        {{2024, 2, 29, 12, 30, 1, 40}, "20240229123001040"},
    };
    for (const StampCase& c : cases)
        EXPECT_EQ(FormatTimeStamp(c.When), c.Expected);
}

TEST(TimeStamp, MadeFromOneClockReading)
{
    const std::string before = FormatTimeStamp(NowLocal());
    const std::string stamp = MakeTimeStamp();
    const std::string after = FormatTimeStamp(NowLocal());
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{17})"))) << stamp;
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
}

struct RandomCase {
    int Draw;                 // -1: the largest of the range
    const char* UniqueSuffix;
    const char* ClientID;     // with the host name "pc"
};

TEST(UniqueNames, RandomPartInItsForm)
{
    const std::vector<RandomCase> cases = {
        {42, "00042", "qrv7m:42-pc"},
        {7, "00007", "qrv7m:7-pc"},
        {0, "00000", "qrv7m:0-pc"},
        {-1, "99999", "qrv7m:99999-pc"},
    };
    FakeHostName host("pc");
    for (const RandomCase& c : cases) {
        FixedRandom random(c.Draw);
        const std::string before = MakeTimeStamp();
        const std::string id = MakeUniqueID("Pub_");
        const std::string after = MakeTimeStamp();
        EXPECT_EQ(FixedRandom::LastRange, 100000);
        ASSERT_EQ(id.size(), 4u + 17u + 5u) << id;
        EXPECT_EQ(id.substr(0, 4), "Pub_");
        EXPECT_LE(before, id.substr(4, 17));
        EXPECT_LE(id.substr(4, 17), after);
        EXPECT_EQ(id.substr(21), c.UniqueSuffix);

        FixedRandom::LastRange = 0;
        EXPECT_EQ(MakeDefaultClientID(), c.ClientID);
        EXPECT_EQ(FixedRandom::LastRange, 100000);
    }
    EXPECT_TRUE(std::regex_match(MakeUniqueID(""), std::regex(R"(\d{22})")));
}

TEST(DefaultClientID, RealHostNameAndNoShortening)
{
    std::string host;
    ASSERT_EQ(LookupHostName(host), 0);
    const std::string id = MakeDefaultClientID();
    EXPECT_TRUE(std::regex_match(id, std::regex("qrv7m:(0|[1-9][0-9]{0,4})-.*"))) << id;
    EXPECT_EQ(id.substr(id.find('-') + 1), host);

    const std::string longHost(124, 'h');
    FakeHostName fake(longHost);
    const std::string longID = MakeDefaultClientID();
    EXPECT_EQ(longID.substr(longID.find('-') + 1), longHost);   // kept whole, far beyond 23 characters
}

struct HostCase {
    const char* Name;
    std::string Host;
    int Error;       // what the source reports
    bool Truncate;   // source fills the buffer without a terminator
    int Expected;    // 0 or the error in the message
};

class HostNameLimit : public testing::TestWithParam<HostCase> {};

TEST_P(HostNameLimit, AtMost124BytesElseFailure)
{
    const HostCase& c = GetParam();
    FakeHostName fake(c.Host, c.Error, c.Truncate);
    std::string name = "unchanged";
    EXPECT_EQ(LookupHostName(name), c.Expected);
    if (c.Expected == 0) {
        EXPECT_EQ(name, c.Host);
        EXPECT_NO_THROW(MakeDefaultClientID());
    } else {
        try {
            MakeDefaultClientID();
            FAIL() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "GetHostName failed. stat = " + std::to_string(c.Expected));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, HostNameLimit,
    testing::Values(HostCase{"OneByte", "a", 0, false, 0},
                    HostCase{"Exactly124", std::string(124, 'n'), 0, false, 0},
                    HostCase{"Of125Refused", std::string(125, 'n'), 0, false, ENAMETOOLONG},
                    HostCase{"Of125Truncated", std::string(125, 'n'), 0, true, ENAMETOOLONG},
                    HostCase{"Of300Truncated", std::string(300, 'n'), 0, true, ENAMETOOLONG},
                    HostCase{"SourceFails", "x", EFAULT, false, EFAULT}),
    [](const testing::TestParamInfo<HostCase>& info) { return std::string(info.param.Name); });

TEST(RandomGenerator, StaysInRangeAndRepeatsASeed)
{
    EXPECT_EQ(Random(0), 0);
    EXPECT_EQ(Random(-5), 0);
    std::vector<int> seen(5, 0);
    for (int i = 0; i < 2000; ++i) {
        const int value = Random(5);
        ASSERT_TRUE(value >= 0 && value < 5) << value;
        ++seen[value];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 0), 0);
    std::vector<int> first(10), again(10);
    RandSeed(77);
    std::generate(first.begin(), first.end(), [] { return Random(100000); });
    RandSeed(77);
    std::generate(again.begin(), again.end(), [] { return Random(100000); });
    EXPECT_EQ(first, again);
}

} // namespace
