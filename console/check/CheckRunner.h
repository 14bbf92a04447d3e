#pragma once

#include "console/check/CheckContext.h"
#include "console/check/LimitsProbe.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// One check run against one protocol version.
struct TCheckResult {
    const TCheck* Check = nullptr;
    TProtocolVersion Version = TProtocolVersion::MQTT311;
    TVerdict Verdict = TVerdict::Error;
    std::string Reason;                  // why it failed, was skipped or could not run; empty for PASS
    int64_t Ms = 0;
    std::vector<TClientTrace> Clients;   // every client's frames, kept for FAIL and ERROR
};

struct TPlanItem {
    const TCheck* Check;
    TProtocolVersion Version;
};

// What to run: versions, and ids or family names to keep (--only) or leave
// out (--skip). An id may end in "*" to take every id that starts so.
struct TCheckSelection {
    std::vector<TProtocolVersion> Versions{TProtocolVersion::MQTT311};
    std::vector<std::string> Only, Skip;
    std::vector<TCheckFamily> Families;   // empty: all
};
// The checks in catalogue order, each for every selected version it applies
// to. False with the unknown word in error.
bool PlanChecks(const TCheckSelection& selection, std::vector<TPlanItem>& plan, std::string& error);

struct TCheckRun {
    std::string Broker;                  // host:port
    std::vector<TProtocolVersion> Versions;
    std::vector<TLimitsReport> Limits;   // one per version probed
    std::vector<TCheckResult> Results;   // in plan order
    int64_t Ms = 0;
    bool Cancelled = false;

    size_t Count(TVerdict verdict) const;
    // 0 when nothing failed or could not run, 1 otherwise.
    int ExitStatus() const;
};

// Runs a plan against the broker of the settings: first, per version, the
// limits probe (which also learns what the broker offers), then the checks,
// several side by side, each with its own clients, topics and ClientIDs, and
// each cleaning up after itself.
class TCheckRunner {
public:
    explicit TCheckRunner(TCheckSettings settings);

    int Parallel = 4;                    // checks at once
    bool Probe = true;                   // run the limits probe first
    // After each check, on the thread that ran it, one at a time.
    std::function<void(const TCheckResult& result, size_t done, size_t total)> OnResult;

    TCheckRun Run(const std::vector<TPlanItem>& plan);
    // Ends the run: running checks stop at their next wait, the rest do not start. Any thread.
    void Cancel();
    const TCheckSettings& Settings() const { return FSettings; }

private:
    // refusal: why no check of the version can run (the probe could not connect), empty when they can.
    TCheckResult RunOne(const TPlanItem& item, int number, const TBrokerFacts& facts, const std::string& refusal);

    TCheckSettings FSettings;
    std::atomic<bool> FCancel{false};
    std::mutex FReportLock;
};

// Connection fields from set lines ("set BrokerEdit1 127.0.0.1"); false with
// the first problem in error. Lines other than set lines are refused.
bool ParseConnectionLines(const std::string& text, const std::string& name, std::vector<TScriptStep>& steps,
                          std::string& error);
// "host:port" of the connection fields.
std::string BrokerOf(const std::vector<TScriptStep>& connection);
