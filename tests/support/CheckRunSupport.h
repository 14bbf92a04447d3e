#pragma once

#include "console/check/CheckRunner.h"

#include <set>
#include <string>

// Runs the catalogue (or the checks named) of one version against a broker on
// 127.0.0.1, with the waits shortened for a broker on this machine.
inline TCheckRun RunChecks(int port, TProtocolVersion version, std::vector<std::string> only = {},
                           int quietMs = 300, int answerMs = 2000)
{
    TCheckSettings settings;
    std::string error;
    ParseConnectionLines("set BrokerEdit1 127.0.0.1\nset BrokerPortSpn " + std::to_string(port) + "\n", "test",
                         settings.Connection, error);
    settings.QuietMs = quietMs;
    settings.AnswerMs = answerMs;
    settings.EventPort = 9;   // discard: nobody listens
    TCheckSelection selection;
    selection.Versions = {version};
    selection.Only = std::move(only);
    std::vector<TPlanItem> plan;
    PlanChecks(selection, plan, error);
    TCheckRunner runner(settings);
    runner.Parallel = 8;
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
