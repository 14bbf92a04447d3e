// The whole catalogue against mosquitto, once per protocol version: every
// check runs (none ends in ERROR), and what fails is among the deviations
// this mosquitto is known for (see the README's table).
#include "support/CheckRunSupport.h"
#include "support/MosquittoBroker.h"

namespace {

const std::set<std::string> KnownDeviations = {
    "connect.keepalive",                       // closes an idle client after about 2.5 to 3.5 times its keep-alive
    "robustness.pingreq-flags",                // answers a PINGREQ with reserved flags
    "robustness.pingreq-length",               // answers a PINGREQ that carries a byte
    "flow.receive-maximum-exceeded",           // PUBREC 0x97 instead of DISCONNECT 0x93
    "properties.subscription-id-from-client",  // accepts a Subscription Identifier in a client's PUBLISH
    "shared.no-local",                         // grants No Local on a shared subscription
};

class MosquittoChecks : public MosquittoTest, public ::testing::WithParamInterface<TProtocolVersion> {};

TEST_P(MosquittoChecks, RunWithOnlyItsKnownDeviations)
{
    const TCheckRun run = RunChecks(Broker.Port(), GetParam(), {}, 400);
    std::string failures;
    for (const TCheckResult& r : run.Results)
        if (r.Verdict == TVerdict::Fail || r.Verdict == TVerdict::Error)
            failures += std::string(VerdictWord(r.Verdict)) + " " + r.Check->Id + ": " + r.Reason + "\n";
    EXPECT_TRUE(IdsWith(run, TVerdict::Error).empty()) << failures;
    for (const std::string& id : IdsWith(run, TVerdict::Fail))
        EXPECT_TRUE(KnownDeviations.count(id)) << id << " failed:\n" << failures;
    EXPECT_GT(IdsWith(run, TVerdict::Pass).size(), run.Results.size() * 9 / 10) << failures;
    ASSERT_FALSE(run.Limits.empty());
    EXPECT_TRUE(run.Limits[0].Connected) << run.Limits[0].Error;
    EXPECT_EQ(run.Limits[0].LongestTopic, 65535);
}

INSTANTIATE_TEST_SUITE_P(EveryVersion, MosquittoChecks,
                         ::testing::Values(TProtocolVersion::MQTT31, TProtocolVersion::MQTT311, TProtocolVersion::MQTT50),
                         [](const auto& info) { return "v" + std::to_string(static_cast<int>(info.param)); });

}  // namespace
