#pragma once

#include "console/check/CheckRunner.h"

#include <functional>
#include <set>
#include <string>

// Sanitizer builds run the checks and the test broker several times slower:
// there the tests wait longer and run fewer runs side by side.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TARNWICK_CHECKS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define TARNWICK_CHECKS_SANITIZED 1
#endif
#endif
#ifdef TARNWICK_CHECKS_SANITIZED
inline constexpr int BuildSlowness = 3;
#else
inline constexpr int BuildSlowness = 1;
#endif

// How a test runs the checks: the waits shortened for a broker on this machine.
struct TTestRun {
    std::vector<std::string> Only{};   // ids or families; empty: the catalogue
    int QuietMs = 300;
    int AnswerMs = 2000;
    int Parallel = 12;
    std::function<void(TCheckSettings&)> Adjust{};                             // before the run
    std::function<void(const TCheckResult&, size_t, size_t)> OnResult{};      // as each check ends
};

// Runs the checks of the versions against a broker on 127.0.0.1.
inline TCheckRun RunChecks(int port, std::vector<TProtocolVersion> versions, const TTestRun& how = {})
{
    TCheckSettings settings;
    std::string error;
    ParseConnectionLines("set BrokerEdit1 127.0.0.1\nset BrokerPortSpn " + std::to_string(port) + "\n", "test",
                         settings.Connection, error);
    settings.QuietMs = how.QuietMs * BuildSlowness;
    settings.AnswerMs = how.AnswerMs * BuildSlowness;
    settings.EventPort = 9;   // discard: nobody listens
    if (how.Adjust) how.Adjust(settings);
    TCheckSelection selection;
    selection.Versions = std::move(versions);
    selection.Only = how.Only;
    std::vector<TPlanItem> plan;
    PlanChecks(selection, plan, error);
    TCheckRunner runner(settings);
    runner.Parallel = how.Parallel;
    runner.OnResult = how.OnResult;
    return runner.Run(plan);
}

// The ids of the checks with the verdict.
inline std::set<std::string> IdsWith(const TCheckRun& run, TVerdict verdict)
{
    std::set<std::string> ids;
    for (const TCheckResult& r : run.Results)
        if (r.Verdict == verdict) ids.insert(r.Check->Id);
    return ids;
}
