#pragma once

#include "console/check/Check.h"
#include "console/check/CheckClient.h"
#include "console/script/Script.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class TVerdict : uint8_t { Pass, Fail, Skip, Error };
std::string_view VerdictWord(TVerdict verdict);   // "PASS", "FAIL", "SKIP", "ERROR"

// What the broker says it offers (a 5.0 CONNACK's properties) or showed when
// asked (3.x); the checks of a feature it does not offer are skipped.
struct TBrokerFacts {
    bool Known = false;              // a CONNACK was seen
    int MaximumQos = 2;
    bool RetainAvailable = true;
    bool WildcardAvailable = true;
    bool SubscriptionIdsAvailable = true;
    bool SharedAvailable = true;
    uint32_t TopicAliasMaximum = 0;
    uint32_t ReceiveMaximum = 65535;
    uint32_t MaximumPacketSize = 0;  // 0: no limit said
    int ServerKeepAlive = -1;        // -1: none sent
};

// What every check of a run shares.
struct TCheckSettings {
    // The connection fields (host, port, TLS, user, password...) as set lines,
    // applied to every client's console before anything else.
    std::vector<TScriptStep> Connection;
    std::string Prefix;              // every topic of the run lies under it
    std::string IdPrefix;            // every ClientID of the run starts with it
    int QuietMs = 500;               // how long something that must not come is waited for
    int AnswerMs = 3000;             // how long an answer is waited for
    // Where the clients' received payloads are saved (kept after the run); empty:
    // a private temporary folder that the run removes when it ends.
    std::string PayloadDirectory;
    int EventPort = 2056;            // where the clients' diagnostic datagrams go (127.0.0.1)
};

// Ends a check with a verdict other than PASS.
struct TCheckStop {
    TVerdict Verdict;
    std::string Reason;
};

// One client's part in a finished check: its frames, for the report.
struct TClientTrace {
    std::string Name;
    std::string ClientID;
    TProtocolVersion Version = TProtocolVersion::MQTT311;
    int64_t StartNs = 0;                 // the check's start on the frames' monotonic clock
    std::vector<TSessionFrame> Frames;
};

// The run of one check against the broker: its clients, topics, the
// verdict's helpers and what it leaves behind to clean up.
class TCheckContext {
public:
    TCheckContext(const TCheck& check, TProtocolVersion version, const TCheckSettings& settings,
                  const TBrokerFacts& facts, int number, const std::atomic<bool>& cancel);
    ~TCheckContext();
    TCheckContext(const TCheckContext&) = delete;
    TCheckContext& operator=(const TCheckContext&) = delete;

    const TCheck& Check;
    const TProtocolVersion Version;
    const TCheckSettings& Settings;
    const TBrokerFacts& Facts;
    bool V5() const { return Version == TProtocolVersion::MQTT50; }
    bool V31() const { return Version == TProtocolVersion::MQTT31; }
    int Quiet() const { return Settings.QuietMs; }
    int Answer() const { return Settings.AnswerMs; }

    // A new client with the run's connection fields and this check's version.
    TCheckClient& Client(const std::string& name);
    // The ClientID a client of that name gets (unique to the run and check).
    std::string ClientIdFor(const std::string& name) const;
    // A topic of this check: <prefix>/<check number>/<leaf>.
    std::string Topic(const std::string& leaf = "t") const;

    [[noreturn]] void Fail(const std::string& expected, const std::string& saw = {}) const;
    void Expect(bool ok, const std::string& expected, const std::string& saw = {}) const
    {
        if (!ok) Fail(expected, saw);
    }
    [[noreturn]] void Skip(const std::string& reason) const;
    [[noreturn]] void Error(const std::string& reason) const;

    // Cleared when the check ends: a retained message on the topic, a
    // session kept for the ClientID.
    void Retained(const std::string& topic);
    void Persistent(const std::string& clientID);
    // Sleeps, and ends the check when the run is cancelled.
    void Sleep(int ms) const;
    bool Cancelled() const { return CancelFlag.load(); }
    int64_t ElapsedMs() const;

    // The clients' frames, for the report; what each saw, for a FAIL.
    std::vector<TClientTrace> Traces() const;
    std::string ClientsSaw() const;
    // Ends every connection and clears what the check left behind.
    void CleanUp();

private:
    const int Number;
    const std::atomic<bool>& CancelFlag;
    const std::chrono::steady_clock::time_point Start;
    std::unique_ptr<TSession> Session;
    std::vector<std::unique_ptr<TCheckClient>> Clients;
    std::vector<std::string> RetainedTopics;
    std::vector<std::string> Sessions;
};

// A random word of letters and digits, for prefixes.
std::string RandomWord(int length);
