// The whole catalogue of every version against real brokers, one run each:
// every check runs (none ends in ERROR), what fails is among the deviations
// the broker is known for (see the README's table), and a version the broker
// does not speak is refused, its checks skipped. A broker that cannot be had
// on this machine skips its test with the reason.
#include "support/CheckRunSupport.h"
#include "support/MosquittoBroker.h"
#include "support/ScriptBroker.h"

#include <algorithm>
#include <sstream>

namespace {

const TProtocolVersion V31 = TProtocolVersion::MQTT31, V311 = TProtocolVersion::MQTT311, V50 = TProtocolVersion::MQTT50;

struct TRealBroker {
    const char* Name;                       // mosquitto, or a script of scripts/brokers
    std::vector<TProtocolVersion> Speaks;   // the other versions it refuses
    const char* Deviations;                 // the checks it fails, separated by blanks
    size_t MinPassPercent;                  // of the checks of the versions it speaks
};

std::ostream& operator<<(std::ostream& out, const TRealBroker& b) { return out << b.Name; }

const TRealBroker Brokers[] = {
    {"mosquitto", {V31, V311, V50},
     "connect.keepalive robustness.pingreq-flags robustness.pingreq-length flow.receive-maximum-exceeded "
     "properties.subscription-id-from-client shared.no-local", 90},
    {"aedes", {V31, V311},
     "connect.clientid-empty-persistent connect.password-without-user connect.will-qos-3 connack.refusal-closes "
     "delivery.dup-not-forwarded retain.replace subscriptions.overlap sessions.redelivery-dup robustness.invalid-utf8 "
     "robustness.surrogate robustness.null-character robustness.packet-id-zero robustness.pingreq-length "
     "robustness.unsubscribe-no-filter", 80},
    {"rabbitmq", {V31, V311},
     "connect.keepalive connect.second-connect connect.reserved-flag connect.will-qos-without-will connect.will-qos-3 "
     "connect.will-retain-without-will delivery.dup-not-forwarded delivery.pubrel-unknown retain.wildcard "
     "topics.dollar-plus topics.dollar-hash topics.hash-not-last topics.plus-in-level topics.hash-in-level "
     "topics.empty-filter subscriptions.replace robustness.*", 50},
    {"activemq", {V31, V311},
     "connect.keepalive connect.session-present-resumed connect.reserved-flag connect.will-qos-without-will "
     "connect.will-qos-3 connect.will-retain-without-will delivery.qos2-no-duplicate sessions.takeover-keeps-session "
     "robustness.pubrel-flags robustness.pingreq-flags robustness.invalid-utf8 robustness.surrogate "
     "robustness.null-character robustness.packet-id-zero robustness.subscribe-no-filter "
     "robustness.unsubscribe-no-filter robustness.pingreq-length", 75},
};

bool Known(const std::string& deviations, const std::string& id)
{
    std::istringstream words(deviations);
    for (std::string word; words >> word;)
        if (word == id || (word.back() == '*' && id.starts_with(word.substr(0, word.size() - 1)))) return true;
    return false;
}

class RealBroker : public ::testing::TestWithParam<TRealBroker> {};

TEST_P(RealBroker, RunsEveryVersionWithOnlyItsKnownDeviations)
{
    const TRealBroker& b = GetParam();
    MosquittoBroker mosquitto;
    ScriptBroker script(b.Name);
    int port = 0;
    if (b.Name == std::string("mosquitto")) {
        if (!MosquittoBroker::Available()) GTEST_SKIP() << "mosquitto is not installed (Debian package mosquitto)";
        ASSERT_TRUE(mosquitto.Start()) << mosquitto.Error();
        port = mosquitto.Port();
    } else {
        if (!script.Start(240000)) {
            if (script.Unavailable()) GTEST_SKIP() << script.Error();
            FAIL() << script.Error();
        }
        port = script.Port();
    }
    const TCheckRun run = RunChecks(port, {V31, V311, V50}, {.QuietMs = 400});
    std::string failures;
    size_t spoken = 0, passed = 0;
    for (const TCheckResult& r : run.Results) {
        const bool speaks = std::find(b.Speaks.begin(), b.Speaks.end(), r.Version) != b.Speaks.end();
        const std::string line = std::string(VersionWord(r.Version)) + " " + VerdictWord(r.Verdict).data() + " " +
                                 r.Check->Id + ": " + r.Reason + "\n";
        if (r.Verdict == TVerdict::Error || (r.Verdict == TVerdict::Fail && !Known(b.Deviations, r.Check->Id)) ||
            (!speaks && r.Verdict != TVerdict::Skip))
            failures += line;
        spoken += speaks;
        passed += speaks && r.Verdict == TVerdict::Pass;
    }
    EXPECT_TRUE(failures.empty()) << failures;
    EXPECT_GE(passed * 100, spoken * b.MinPassPercent) << passed << " of " << spoken << " passed";
    for (const TLimitsReport& limits : run.Limits)
        if (std::find(b.Speaks.begin(), b.Speaks.end(), limits.Version) != b.Speaks.end())
        {
            EXPECT_TRUE(limits.Connected) << VersionWord(limits.Version) << ": " << limits.Error;
            EXPECT_EQ(limits.LongestTopic, 65535) << VersionWord(limits.Version);
        }
}

INSTANTIATE_TEST_SUITE_P(EveryBroker, RealBroker, ::testing::ValuesIn(Brokers),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
