#pragma once

#include "mqtt/codec/ProtocolVersion.h"
#include "platform/Clock.h"

#include <cstdint>
#include <string>
#include <vector>

enum class TFrameDirection { Sent, Received };

// A received PUBLISH whose payload file is complete.
struct TSavedMessage {
    TLocalDateTime Time{};
    std::string Topic;        // system code page, as reported
    int32_t Qos = 0;
    bool Retain = false;
    bool Dup = false;
    int32_t MessageID = 0;
    int64_t Size = 0;
    std::string Path;         // the "Pub_" file
    // MQTT 5.0: the message's properties as display lines ("Message Expiry
    // Interval = 60"), and the identifiers of the subscriptions it came through.
    std::vector<std::string> Properties;
    std::vector<uint32_t> SubscriptionIdentifiers;
};

// What a view of the session (the window, the CLI) learns from a client, on the
// client's own threads: keep each call short and never call back into the
// client from it. Every member has an empty default.
class TSessionObserver {
public:
    virtual ~TSessionObserver() = default;
    // A connection is about to be made that speaks this version: the frames
    // reported from now on follow its rules.
    virtual void OnProtocolVersion(TProtocolVersion /*version*/) {}
    // The connection is up: encrypted with this TLS version ("TLSv1.3"), or in
    // clear text when it is empty.
    virtual void OnConnected(const std::string& /*tlsVersion*/) {}
    // A whole frame went out (after its last byte was written) or came in
    // (as it was cut out of the stream). The bytes are valid during the call only.
    virtual void OnFrame(TFrameDirection /*direction*/, const uint8_t* /*frame*/, int32_t /*size*/) {}
    // The connection ended without "Close": the broker closed it or a client
    // thread closed it after an error; reason says which.
    virtual void OnConnectionLost(const std::string& /*reason*/) {}
    // The number of packets in the receive queue changed.
    virtual void OnQueueCount(int /*count*/) {}
    // A received message was saved.
    virtual void OnMessageSaved(const TSavedMessage& /*message*/) {}
    // Received messages pile up behind the pause after each report line
    // (pauseMs > 0): `waiting` of them. Told once per connection.
    virtual void OnReportPauseHolds(int /*waiting*/, int /*pauseMs*/) {}
};
