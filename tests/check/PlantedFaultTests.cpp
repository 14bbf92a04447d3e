// The catalogue against a broker with one planted fault per family: the check
// that targets the fault catches it, and no other check fails because of it.
#include "support/CheckBroker.h"
#include "support/CheckRunSupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

namespace {

struct TPlanted {
    const char* Name;
    TPlantedFault Fault;
    TProtocolVersion Version;
    std::set<std::string> Caught;   // the checks that must FAIL; every other passes or is skipped
};

std::ostream& operator<<(std::ostream& out, const TPlanted& p) { return out << p.Name; }

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

class PlantedFault : public ::testing::TestWithParam<TPlanted> {};

TEST_P(PlantedFault, IsCaughtByItsCheckAlone)
{
    const TPlanted& planted = GetParam();
    CheckBroker broker(planted.Fault);
    const TCheckRun run = RunChecks(broker.Port(), planted.Version);
    ASSERT_FALSE(run.Results.empty());
    std::string reasons;
    for (const TCheckResult& r : run.Results)
        if (r.Verdict == TVerdict::Fail || r.Verdict == TVerdict::Error)
            reasons += std::string(r.Check->Id) + ": " + r.Reason + "\n";
    EXPECT_EQ(IdsWith(run, TVerdict::Fail), planted.Caught) << reasons;
    EXPECT_TRUE(IdsWith(run, TVerdict::Error).empty()) << reasons;
}

INSTANTIATE_TEST_SUITE_P(OnePerFamily, PlantedFault, ::testing::ValuesIn(Planted),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace

namespace {

// Every check of the catalogue fails against some broker: one of the faults
// above, or one of the broad faults that break many rules at once.
TEST(EveryCheck, FailsAgainstSomePlantedFault)
{
    std::set<std::string> failed;
    for (const TPlanted& planted : Planted) failed.insert(planted.Caught.begin(), planted.Caught.end());
    // The runs wait mostly for answers that never come: they run side by side, with short waits.
    std::mutex lock;
    std::vector<std::thread> runs;
    for (TPlantedFault fault : {TPlantedFault::AcceptEverything, TPlantedFault::DeliverNothing, TPlantedFault::Scrambled,
                                TPlantedFault::SessionsInverted, TPlantedFault::TimersWrong, TPlantedFault::LooseAnswers})
        runs.emplace_back([&, fault] {
            for (TProtocolVersion version : {V311, V50}) {
                CheckBroker broker(fault);
                const std::set<std::string> ids = IdsWith(RunChecks(broker.Port(), version, {}, 200, 800), TVerdict::Fail);
                std::lock_guard guard(lock);
                failed.insert(ids.begin(), ids.end());
            }
        });
    for (std::thread& run : runs) run.join();
    std::string never;
    for (const TCheck& check : CheckCatalogue())
        if (!failed.count(check.Id)) never += std::string(check.Id) + " ";
    EXPECT_TRUE(never.empty()) << "no planted fault makes these fail: " << never;
}

}  // namespace
