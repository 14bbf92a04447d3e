#pragma once

#include "console/check/CheckContext.h"

#include <atomic>
#include <cstdint>
#include <string>

// What the broker accepts and offers, found by trying: reported beside the
// verdicts. Sizes are the largest of a ladder of tries that the broker took
// (a try stops at the first refusal); a probe never sends more than
// MaxProbePayload bytes in one message, so a broker without a limit shows
// that figure as "at least".
struct TLimitsReport {
    TProtocolVersion Version = TProtocolVersion::MQTT311;
    bool Connected = false;
    std::string Error;                  // why the probe could not connect
    bool RefusedVersion = false;        // CONNACK refused the protocol version itself
    TBrokerFacts Facts;                 // what CONNACK said (5.0) or the tries showed
    int LongestTopic = 0;               // bytes
    int LongestClientId = 0;            // bytes
    int64_t LargestPayload = 0;         // bytes
    bool TopicAtLadderTop = false, ClientIdAtLadderTop = false, PayloadAtLadderTop = false;
    int GrantedQos = -1;                // SUBACK's answer to a QoS 2 subscription
    bool Retain = false;                // a retained message came back to a new subscriber
    bool Wildcards = false;             // "#" and "+" subscriptions granted
    bool Shared = false;                // a $share subscription granted
    int KeepAlive = -1;                 // the keep-alive the broker works with for a request of 60 s
};

inline constexpr int64_t MaxProbePayload = 4 * 1024 * 1024;

TLimitsReport ProbeLimits(const TCheckSettings& settings, TProtocolVersion version, const std::atomic<bool>& cancel);
// One line per finding, "longest topic: 65535 bytes" ...
std::vector<std::string> LimitLines(const TLimitsReport& limits);
