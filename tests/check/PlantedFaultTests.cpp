// The catalogue against a broker with one planted fault per family: the check
// that targets the fault catches it, and no other check fails because of it.
#include "support/CheckBroker.h"
#include "support/CheckRunSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

namespace {

struct TPlanted {
    const char* Name;
    TPlantedFault Fault;
    TProtocolVersion Version;
    std::set<std::string> Caught;   // the checks that must FAIL; every other passes or is skipped
};

const TProtocolVersion V311 = TProtocolVersion::MQTT311, V50 = TProtocolVersion::MQTT50;

const TPlanted Planted[] = {
    {"none_31", TPlantedFault::None, TProtocolVersion::MQTT31, {}},
    {"none_311", TPlantedFault::None, V311, {}},
    {"none_50", TPlantedFault::None, V50, {}},
    {"connect", TPlantedFault::ClientIdTooShort, V311, {"connect.clientid-23"}},
    {"delivery", TPlantedFault::QosTwoDuplicate, V311, {"delivery.qos2-no-duplicate"}},
    {"retain", TPlantedFault::RetainNotReplaced, V311, {"retain.replace"}},
    {"will", TPlantedFault::WillNotSent, V50,
     {"will.abnormal-end", "will.not-retained", "will.retained", "will.qos", "will.delay", "will.disconnect-with-will",
      "properties.will"}},
    {"topics", TPlantedFault::DollarMatched, V311, {"topics.dollar-plus", "topics.dollar-hash"}},
    {"subscriptions", TPlantedFault::NoDowngrade, V311,
     {"subscriptions.downgrade-2-0", "subscriptions.downgrade-2-1"}},
    {"sessions", TPlantedFault::SessionForgotten, V311,
     {"sessions.queued-qos1", "sessions.queued-qos2", "sessions.queued-order"}},
    {"expiry", TPlantedFault::MessageNeverExpires, V50, {"expiry.message", "expiry.message-remaining", "expiry.retained"}},
    {"aliases", TPlantedFault::AliasIgnored, V50, {"aliases.to-broker"}},
    {"flow", TPlantedFault::ReceiveMaximumIgnored, V50, {"flow.receive-maximum"}},
    {"properties", TPlantedFault::UserPropertiesDropped, V50, {"properties.user", "properties.will"}},
    {"suboptions", TPlantedFault::NoLocalIgnored, V50, {"suboptions.no-local"}},
    {"shared", TPlantedFault::SharedToAll, V50, {"shared.one-member"}},
    {"connack", TPlantedFault::NoAssignedId, V50, {"connack.assigned-id", "connack.assigned-ids-differ"}},
    {"robustness", TPlantedFault::MalformedAccepted, V311, {"robustness.wildcard-topic"}},
};

// Runs fn for each item, width of them at once (fewer in a slow build): the
// runs wait mostly for answers, so side by side they take little longer than one.
template <typename T, typename F>
void SideBySide(const std::vector<T>& items, size_t width, F fn)
{
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < std::min(std::max<size_t>(1, width / BuildSlowness), items.size()); ++t)
        threads.emplace_back([&] {
            for (size_t i; (i = next++) < items.size();) fn(items[i]);
        });
    for (std::thread& thread : threads) thread.join();
}

// The rows three at a time: a test each, so that a slow build keeps every
// test within its time.
constexpr int RowsPerTest = 3;

class PlantedFault : public ::testing::TestWithParam<int> {};

TEST_P(PlantedFault, IsCaughtByItsChecksAlone)
{
    const std::vector<TPlanted> rows(std::begin(Planted) + GetParam() * RowsPerTest,
                                     std::begin(Planted) + (GetParam() + 1) * RowsPerTest);
    std::mutex lock;
    std::string problems;
    SideBySide(rows, RowsPerTest, [&](const TPlanted& planted) {
        CheckBroker broker(planted.Fault);
        const TCheckRun run = RunChecks(broker.Port(), {planted.Version});
        std::string reasons;
        for (const TCheckResult& r : run.Results)
            if (r.Verdict == TVerdict::Error || (r.Verdict == TVerdict::Fail) != planted.Caught.count(r.Check->Id))
                reasons += "  " + std::string(VerdictWord(r.Verdict)) + " " + r.Check->Id + ": " + r.Reason + "\n";
        std::lock_guard guard(lock);
        if (run.Results.empty()) problems += std::string(planted.Name) + ": no check ran\n";
        if (!reasons.empty()) problems += std::string(planted.Name) + ":\n" + reasons;
    });
    EXPECT_TRUE(problems.empty()) << problems;
}

static_assert(std::size(Planted) % RowsPerTest == 0);
INSTANTIATE_TEST_SUITE_P(ThreeRowsEach, PlantedFault, ::testing::Range(0, int(std::size(Planted)) / RowsPerTest),
                         [](const auto& info) {
                             std::string name;
                             for (int i = 0; i < RowsPerTest; ++i)
                                 name += (i ? "_" : "") + std::string(Planted[info.param * RowsPerTest + i].Name);
                             return name;
                         });

}  // namespace

namespace {

// Every check of the catalogue fails against some broker: one of the faults
// above, or one of the broad faults that break many rules at once. The broad
// faults run in waves (one in a plain build), each wave only the checks that
// none before it made fail.
TEST(EveryCheck, FailsAgainstSomePlantedFault)
{
    std::set<std::string> failed;
    for (const TPlanted& planted : Planted) failed.insert(planted.Caught.begin(), planted.Caught.end());
    const std::vector<TPlantedFault> broad = {TPlantedFault::DeliverNothing,   TPlantedFault::AcceptEverything,
                                              TPlantedFault::Scrambled,        TPlantedFault::LooseAnswers,
                                              TPlantedFault::SessionsInverted, TPlantedFault::TimersWrong};
    const size_t width = std::max<size_t>(1, broad.size() / BuildSlowness);
    std::mutex lock;
    for (size_t at = 0; at < broad.size(); at += width) {
        std::vector<std::string> rest;
        for (const TCheck& check : CheckCatalogue())
            if (!failed.count(check.Id)) rest.push_back(check.Id);
        if (rest.empty()) break;
        const std::vector<TPlantedFault> wave(broad.begin() + at, broad.begin() + std::min(at + width, broad.size()));
        SideBySide(wave, broad.size(), [&](TPlantedFault fault) {
            CheckBroker broker(fault);
            const TCheckRun run =
                RunChecks(broker.Port(), {V311, V50}, {.Only = rest, .QuietMs = 200, .AnswerMs = 800, .Parallel = 32});
            const std::set<std::string> ids = IdsWith(run, TVerdict::Fail);
            std::lock_guard guard(lock);
            failed.insert(ids.begin(), ids.end());
        });
    }
    std::string never;
    for (const TCheck& check : CheckCatalogue())
        if (!failed.count(check.Id)) never += std::string(check.Id) + " ";
    EXPECT_TRUE(never.empty()) << "no planted fault makes these fail: " << never;
}

}  // namespace

namespace {

namespace fs = std::filesystem;

size_t PayloadFiles(const fs::path& folder)
{
    size_t count = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        count += it->path().filename().string().starts_with("Pub_");
    return count;
}

// The clients' received payloads go to a private temporary folder that the
// run removes, or stay in the folder asked for; never in the working directory.
TEST(PayloadFolder, RunLeavesNothingBehindUnlessAskedToKeep)
{
    char pattern[] = "/tmp/tarnwick-tmpdir-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path temp = pattern;
    const std::string oldTemp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", temp.c_str(), 1);
    CheckBroker broker;
    for (const bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "kept" : "temporary");
        const size_t here = PayloadFiles(fs::current_path());
        size_t during = 0;
        const TCheckRun run = RunChecks(
            broker.Port(), {V311},
            {.Only = {"delivery.qos1", "delivery.fan-out"},
             .Adjust = [&](TCheckSettings& s) { s.PayloadDirectory = keep ? (temp / "kept").string() : ""; },
             .OnResult = [&](const TCheckResult&, size_t, size_t) { during = std::max(during, PayloadFiles(temp)); }});
        EXPECT_EQ(run.Count(TVerdict::Pass), 2U);
        EXPECT_GT(during, 0U);
        EXPECT_EQ(PayloadFiles(temp), keep ? during : 0U);
        EXPECT_EQ(PayloadFiles(fs::current_path()), here);
        if (keep) fs::remove_all(temp / "kept");
        EXPECT_TRUE(fs::is_empty(temp));
    }
    if (oldTemp.empty()) ::unsetenv("TMPDIR");
    else ::setenv("TMPDIR", oldTemp.c_str(), 1);
    fs::remove_all(temp);
}

}  // namespace
