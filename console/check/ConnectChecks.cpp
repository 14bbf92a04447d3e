// Connecting: the CONNECT the broker must accept or refuse, the session
// present flag, the keep-alive the broker enforces, the CONNECT order.
#include "console/check/CheckSteps.h"

using namespace CheckSteps;

namespace {

// A CONNECT of the check's version with the connect flags and protocol level given.
std::vector<uint8_t> ConnectWith(TCheckContext& c, uint8_t flags, int level = -1, std::string_view name = {},
                                 const std::string* clientID = nullptr)
{
    TRawFrame body;
    body.Str(name.empty() ? ProtocolName(c.Version) : name)
        .Byte(static_cast<uint8_t>(level < 0 ? static_cast<int>(c.Version) : level))
        .Byte(flags)
        .U16(60);
    if (c.V5() && level < 0) body.Byte(0);
    body.Str(clientID ? *clientID : c.ClientIdFor("raw"));
    if (flags & 0x04) body.Str(c.Topic("will")).Str("w");   // a will, when the flags say so
    if (flags & 0x80) body.Str("user");
    if (flags & 0x40) body.Str("pass");
    return body.Frame(0x10);
}

// The CONNECT is refused: no CONNACK that accepts it, and the connection ends.
void ExpectConnectRefused(TCheckContext& c, const std::vector<uint8_t>& connect, const std::string& what,
                          std::initializer_list<int> codes = {})
{
    TCheckClient& client = c.Client("raw");
    const TConnack connack = RawConnectAnswer(c, client, connect);
    if (connack.Received && connack.Code == 0) c.Fail("the broker to refuse " + what, "CONNACK 0 (accepted)");
    if (connack.Received && codes.size() > 0 && std::find(codes.begin(), codes.end(), connack.Code) == codes.end())
        c.Fail("CONNACK with code " + std::to_string(*codes.begin()) + " for " + what,
               "CONNACK " + std::to_string(connack.Code));
    if (connack.Received && connack.SessionPresent)
        c.Fail("Session Present 0 in a refusing CONNACK", "Session Present 1");
    ExpectClosed(c, client, what);
}

// The frames' clock (the steady clock), in milliseconds.
int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// When the client sent its last frame, and when its connection ended (the
// broker's DISCONNECT or the close, whichever came first), on the frames' clock.
int64_t LastSentNs(const TCheckClient& client)
{
    int64_t at = 0;
    for (const TSessionFrame& f : client.Frames())
        if (f.Direction == TFrameDirection::Sent) at = f.MonotonicNs;
    return at;
}

int64_t EndedNs(TCheckClient& client)
{
    for (const TSessionFrame& f : client.Frames())
        if (f.Direction == TFrameDirection::Received && !f.Bytes.empty() && (f.Bytes[0] >> 4) == 14) return f.MonotonicNs;
    // The socket may be seen closed a moment before its end is recorded.
    TConnectionEnd end = client.SessionClient().End();
    if (!end.Ended && client.SessionClient().WaitForEnd(1000, &end) != TWaitEnd::Found) return NowMs() * 1000000;
    return end.MonotonicNs;
}

// Idle clients connect a third of a second apart, so that a broker that looks
// at its clients' keep-alives once a second shows it in one of them; each is
// timed from its CONNECT to its end by the frames' clock, which the check's own
// delays do not lengthen. Timers and scheduling get KeepAliveSlackMs.
constexpr int KeepAliveSlackMs = 1000;

void KeepAlive(TCheckContext& c, int seconds)
{
    std::vector<TCheckClient*> idle;
    int granted = seconds;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) c.Sleep(333);
        TCheckClient& client = c.Client("idle");
        TConnectOptions options;
        options.KeepAlive = seconds;
        const TConnack connack = client.ConnectOk(options);
        if (const TProperty* server = connack.Find(0x13)) granted = static_cast<int>(server->Number);
        if (granted == 0) c.Skip("the broker turned the keep-alive off (Server Keep Alive 0)");
        if (granted > 5) c.Skip("the broker's Server Keep Alive of " + std::to_string(granted) + " s is too long to wait for");
        idle.push_back(&client);
    }
    const int limitMs = granted * 1500;
    int64_t latestMs = 0;
    std::string times;
    for (TCheckClient* client : idle) {
        const int64_t start = LastSentNs(*client);
        const int64_t deadline = start / 1000000 + granted * 4000;
        const bool closed = client->WaitClosed(static_cast<int>(std::max<int64_t>(0, deadline - NowMs())));
        if (!closed)
            c.Fail("the broker to close an idle connection within 1.5 times the keep-alive (" + std::to_string(limitMs) +
                       " ms)",
                   client->Name + " still open after " + std::to_string(granted * 4) + " s");
        const int64_t afterMs = (EndedNs(*client) - start) / 1000000;
        if (afterMs < granted * 1000)
            c.Fail("the connection open for the keep-alive of " + std::to_string(granted) + " s",
                   client->Name + " closed after " + std::to_string(afterMs) + " ms");
        latestMs = std::max(latestMs, afterMs);
        times += (times.empty() ? "" : ", ") + std::to_string(afterMs) + " ms";
    }
    if (latestMs > limitMs + KeepAliveSlackMs)
        c.Fail("the broker to close an idle connection within 1.5 times the keep-alive (" + std::to_string(limitMs) + " ms)",
               "3 idle clients closed after " + times);
}

}  // namespace

void AddConnectChecks(std::vector<TCheck>& checks)
{
    const TCheckFamily F = TCheckFamily::Connect;
    checks.insert(checks.end(), {
        {"connect.accept", F, VAll, {"MQTT-3.1.4-4", "MQTT-3.2.0-1"}, {"MQTT-3.1.4-5", "MQTT-3.2.0-1"},
         "A well-formed CONNECT is answered first thing with a CONNACK that accepts it.",
         [](TCheckContext& c) {
             TCheckClient& client = c.Client("a");
             const TConnack connack = client.Connect();
             c.Expect(connack.Received, "a CONNACK", client.Saw());
             c.Expect(connack.Code == 0, "CONNACK code 0", "code " + std::to_string(connack.Code));
             const auto frames = client.Frames();
             for (const TSessionFrame& f : frames)
                 if (f.Direction == TFrameDirection::Received) {
                     c.Expect((f.Bytes[0] >> 4) == 2, "CONNACK as the first packet from the broker", client.Saw());
                     break;
                 }
         }},
        {"connect.clientid-23", F, VAll, {"MQTT-3.1.3-5"}, {"MQTT-3.1.3-5"},
         "A ClientID of 23 letters and digits is accepted.",
         [](TCheckContext& c) {
             TConnectOptions options;
             std::string id = c.ClientIdFor("x") + "0123456789ABCDEFGHIJKLMN";
             options.ClientID = id.substr(0, 23);
             Connected(c, "id23", options).Disconnect();
         }},
        {"connect.clientid-empty", F, V311Up, {"MQTT-3.1.3-6", "MQTT-3.1.3-9"}, {"MQTT-3.1.3-6", "MQTT-3.1.3-8"},
         "A zero-length ClientID with a clean session is accepted or refused as Identifier rejected, nothing else.",
         [](TCheckContext& c) {
             TCheckClient& client = c.Client("anon");
             TConnectOptions options;
             options.ClientID = "";
             const TConnack connack = client.Connect(options);
             c.Expect(connack.Received, "a CONNACK", client.Saw());
             const int rejected = c.V5() ? 0x85 : 2;
             c.Expect(connack.Code == 0 || connack.Code == rejected,
                      "CONNACK 0 or Identifier rejected (" + std::to_string(rejected) + ")",
                      "code " + std::to_string(connack.Code));
             if (connack.Code != 0) ExpectClosed(c, client, "refusing the ClientID");
         }},
        {"connect.clientid-empty-persistent", F, V311, {"MQTT-3.1.3-8"}, {},
         "A zero-length ClientID with CleanSession 0 is refused with return code 2 and the connection closed.",
         [](TCheckContext& c) {
             const std::string empty;
             ExpectConnectRefused(c, ConnectWith(c, 0x00, -1, {}, &empty), "a zero-length ClientID with CleanSession 0", {2});
         }},
        {"connect.session-present-clean", F, V311Up, {"MQTT-3.2.2-1"}, {"MQTT-3.2.2-2"},
         "A CONNECT with a clean session gets Session Present 0, also when a session was kept.",
         [](TCheckContext& c) {
             TCheckClient& first = Connected(c, "a", Persistent(c, "a"));
             first.Disconnect();
             TConnectOptions clean;
             clean.ClientID = c.ClientIdFor("a");
             const TConnack connack = c.Client("b").ConnectOk(clean);
             c.Expect(!connack.SessionPresent, "Session Present 0", "Session Present 1");
         }},
        {"connect.session-present-new", F, V311Up, {"MQTT-3.2.2-3"}, {"MQTT-3.2.2-3", "MQTT-3.1.2-6"},
         "A CONNECT that keeps its session, made for the first time, gets Session Present 0.",
         [](TCheckContext& c) {
             const TConnack connack = c.Client("a").ConnectOk(Persistent(c, "a"));
             c.Expect(!connack.SessionPresent, "Session Present 0 for a new session", "Session Present 1");
         }},
        {"connect.session-present-resumed", F, V311Up, {"MQTT-3.2.2-2", "MQTT-3.1.2-4"},
         {"MQTT-3.2.2-3", "MQTT-3.1.2-5"},
         "Reconnecting to a kept session gets Session Present 1.",
         [](TCheckContext& c) {
             const TConnectOptions options = Persistent(c, "a");
             TCheckClient& first = Connected(c, "a", options);
             first.SubscribeOk(c.Topic(), 1);
             first.Disconnect();
             const TConnack connack = c.Client("a2").ConnectOk(options);
             c.Expect(connack.SessionPresent, "Session Present 1 for the kept session", "Session Present 0");
         }},
        {"connect.keepalive", F, VAll, {"MQTT-3.1.2-24"}, {"MQTT-3.1.2-22", "MQTT-3.2.2-22"},
         "Three clients silent with a keep-alive of 2 s are disconnected within one and a half times it (give or take 1 s), none before it.",
         [](TCheckContext& c) { KeepAlive(c, 2); }, true},
        {"connect.keepalive-ping", F, VAll, {"MQTT-3.1.2-24", "MQTT-3.12.4-1"}, {"MQTT-3.1.2-22", "MQTT-3.12.4-1"},
         "PINGREQs every second keep a connection with a keep-alive of 2 s open for 4 s, each answered with PINGRESP.",
         [](TCheckContext& c) {
             TConnectOptions options;
             options.KeepAlive = 2;
             TCheckClient& client = Connected(c, "pinger", options);
             for (int i = 0; i < 4; ++i) {
                 c.Sleep(1000);
                 const size_t mark = client.Mark();
                 client.Ping();
                 c.Expect(client.WaitFrame(13, c.Answer(), mark).has_value(), "PINGRESP", client.Saw());
             }
             c.Expect(!client.Closed(), "the pinging client still connected", client.CloseReason());
         }, true},
        {"connect.second-connect", F, VAll, {"MQTT-3.1.0-2"}, {"MQTT-3.1.0-2"},
         "A second CONNECT on the same connection is a protocol violation: the broker closes the connection.",
         [](TCheckContext& c) {
             TCheckClient& client = Connected(c, "twice");
             client.SendRaw(RawConnect(c.Version, client.ClientID));
             ExpectClosed(c, client, "a second CONNECT", {0x82, 0x81});
         }},
        {"connect.first-not-connect", F, VAll, {"MQTT-3.1.0-1", "MQTT-4.8.0-1"}, {"MQTT-3.1.0-1", "MQTT-4.13.1-1"},
         "A connection whose first packet is a PINGREQ is closed without an answer.",
         [](TCheckContext& c) {
             TCheckClient& client = c.Client("noconnect");
             client.SendRaw({0xC0, 0x00});
             ExpectClosed(c, client, "PINGREQ before CONNECT");
             c.Expect(!client.WaitFrame(13, 0).has_value(), "no PINGRESP before CONNECT", client.Saw());
         }},
        {"connect.protocol-level", F, V311Up, {"MQTT-3.1.2-2"}, {"MQTT-3.1.2-2"},
         "A CONNECT with an unsupported protocol level is refused (Unacceptable protocol version) and closed.",
         [](TCheckContext& c) {
             const std::vector<uint8_t> connect = ConnectWith(c, 0x02, 9);
             if (c.V5()) ExpectConnectRefused(c, connect, "protocol level 9", {0x84, 1});
             else ExpectConnectRefused(c, connect, "protocol level 9", {1});
         }},
        {"connect.protocol-name", F, V311Up, {"MQTT-3.1.2-1"}, {"MQTT-3.1.2-1"},
         "A CONNECT whose protocol name is not MQTT is not accepted.",
         [](TCheckContext& c) {
             TCheckClient& client = c.Client("raw");
             const TConnack connack = RawConnectAnswer(c, client, ConnectWith(c, 0x02, -1, "MQTX"));
             c.Expect(!connack.Received || connack.Code != 0, "no CONNACK accepting protocol name MQTX", "CONNACK 0");
         }},
        {"connect.reserved-flag", F, V311Up, {"MQTT-3.1.2-3", "MQTT-3.1.4-1"}, {"MQTT-3.1.2-3", "MQTT-3.1.4-1"},
         "A CONNECT with the reserved connect flag set is refused and the connection closed.",
         [](TCheckContext& c) { ExpectConnectRefused(c, ConnectWith(c, 0x03), "the reserved connect flag"); }},
        {"connect.will-qos-without-will", F, V311Up, {"MQTT-3.1.2-13", "MQTT-3.1.2-11", "MQTT-3.1.4-1"},
         {"MQTT-3.1.2-11", "MQTT-3.1.4-1"},
         "A CONNECT with Will QoS 1 but no Will Flag is refused and the connection closed.",
         [](TCheckContext& c) { ExpectConnectRefused(c, ConnectWith(c, 0x0A), "Will QoS without a will"); }},
        {"connect.will-qos-3", F, V311Up, {"MQTT-3.1.2-14", "MQTT-3.1.4-1"}, {"MQTT-3.1.2-12", "MQTT-3.1.4-1"},
         "A CONNECT with Will QoS 3 is refused and the connection closed.",
         [](TCheckContext& c) { ExpectConnectRefused(c, ConnectWith(c, 0x1E), "Will QoS 3"); }},
        {"connect.will-retain-without-will", F, V311Up, {"MQTT-3.1.2-15", "MQTT-3.1.2-11", "MQTT-3.1.4-1"},
         {"MQTT-3.1.2-13", "MQTT-3.1.4-1"},
         "A CONNECT with Will Retain but no Will Flag is refused and the connection closed.",
         [](TCheckContext& c) { ExpectConnectRefused(c, ConnectWith(c, 0x22), "Will Retain without a will"); }},
        {"connect.password-without-user", F, V311, {"MQTT-3.1.2-22", "MQTT-3.1.4-1"}, {},
         "A 3.1.1 CONNECT with the Password Flag but no User Name Flag is refused and the connection closed.",
         [](TCheckContext& c) { ExpectConnectRefused(c, ConnectWith(c, 0x42), "a password without a user name"); }},
    });
}
