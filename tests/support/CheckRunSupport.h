#pragma once

#include "console/check/CheckRunner.h"

#include <functional>
#include <set>
#include <string>

// Runs the catalogue (or the checks named) of the versions against a broker on
// 127.0.0.1, with the waits shortened for a broker on this machine.
// adjust changes the settings before the run; onResult sees each check as it ends.
inline TCheckRun RunChecks(int port, std::vector<TProtocolVersion> versions, std::vector<std::string> only = {},
                           int quietMs = 300, int answerMs = 2000,
                           const std::function<void(TCheckSettings&)>& adjust = {},
                           std::function<void(const TCheckResult&, size_t, size_t)> onResult = {})
{
    TCheckSettings settings;
    std::string error;
    ParseConnectionLines("set BrokerEdit1 127.0.0.1\nset BrokerPortSpn " + std::to_string(port) + "\n", "test",
                         settings.Connection, error);
    settings.QuietMs = quietMs;
    settings.AnswerMs = answerMs;
    settings.EventPort = 9;   // discard: nobody listens
    if (adjust) adjust(settings);
    TCheckSelection selection;
    selection.Versions = std::move(versions);
    selection.Only = std::move(only);
    std::vector<TPlanItem> plan;
    PlanChecks(selection, plan, error);
    TCheckRunner runner(settings);
    runner.Parallel = 12;
    runner.OnResult = std::move(onResult);
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
