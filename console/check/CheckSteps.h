#pragma once

#include "console/check/CheckContext.h"
#include "console/check/RawFrame.h"
#include "mqtt/codec/MQTTPacket.h"

#include <initializer_list>
#include <string>
#include <vector>

// Steps that many checks share: connected clients, subscriptions, and the
// verdicts on deliveries and closed connections.
namespace CheckSteps {

// A client, connected (a refusal fails the check).
TCheckClient& Connected(TCheckContext& c, const std::string& name, const TConnectOptions& options = {});
// A connected client subscribed to the filter at the QoS (or 5.0 options text).
TCheckClient& Subscribed(TCheckContext& c, const std::string& name, const std::string& filter,
                         const std::string& options = "1", const TConnectOptions& connect = {},
                         const std::string& properties = {});
// A client that keeps its session: clean session 0 (3.x), clean start 0 and
// a Session Expiry Interval (5.0); remembered so the session is ended afterwards.
TConnectOptions Persistent(TCheckContext& c, const std::string& name, int expiry = 300);

// Exactly one message on the topic within the answer time; it is returned.
TMessage ExpectOne(TCheckContext& c, TCheckClient& client, const std::string& topic, const std::string& what);
// Messages that pass the filter once the flow has settled: count of them are
// waited for (up to the answer time), then one more for the quiet time.
std::vector<TMessage> Settled(TCheckContext& c, TCheckClient& client, size_t count,
                              const std::function<bool(const TMessage&)>& filter = nullptr);
// No message on the topic for the quiet time.
void ExpectNone(TCheckContext& c, TCheckClient& client, const std::string& topic, const std::string& what);
// The broker ends the connection (within the answer time). Under 5.0 a
// DISCONNECT it sends first must carry one of the reasons (none given: any
// code of 0x80 or more).
void ExpectClosed(TCheckContext& c, TCheckClient& client, const std::string& what,
                  std::initializer_list<int> reasons = {});
// A malformed or forbidden frame is refused with the close, and the broker
// still serves a new client.
void ExpectRefused(TCheckContext& c, const std::vector<uint8_t>& frame, const std::string& what,
                   std::initializer_list<int> reasons = {0x81, 0x82});
// A new client connects and gets its PINGRESP: the broker still serves.
void ExpectServes(TCheckContext& c);
// The CONNACK (or the close) after a raw CONNECT on a fresh connection.
TConnack RawConnectAnswer(TCheckContext& c, TCheckClient& client, const std::vector<uint8_t>& connect);

void RequireRetain(TCheckContext& c);
void RequireQos(TCheckContext& c, int qos);
void RequireWildcards(TCheckContext& c);

// "t q1 retain 'x'", ... for a FAIL's "saw".
std::string Listed(const std::vector<TMessage>& messages);

// The 5.0 property text of one user property, quoted where it needs it.
std::string UserProperty(const std::string& name, const std::string& value);

}  // namespace CheckSteps
