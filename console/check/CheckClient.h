#pragma once

#include "console/form/Form1.h"
#include "console/session/Session.h"
#include "mqtt/codec/Properties.h"
#include "mqtt/engine/SessionObserver.h"
#include "mqtt/engine/TopicAliases.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TCheckContext;
class TMQTTPacket;

// A PUBLISH a client received, decoded by the codec. Texts are UTF-8 as on
// the wire (the checks' topics and payloads are ASCII).
struct TMessage {
    std::string Topic;           // a Topic Alias resolved to its topic
    std::string Payload;
    int Qos = 0;
    bool Retain = false;
    bool Dup = false;
    int Id = 0;
    uint32_t Alias = 0;          // the Topic Alias the frame carried, 0 for none
    bool TopicEmpty = false;     // the frame carried no topic (an alias stood for it)
    std::string AliasProblem;    // the broker's misuse of a Topic Alias, empty when none
    TPropertyList Properties;

    const TProperty* Find(uint8_t id) const;
    std::vector<const TProperty*> All(uint8_t id) const;
    // "t/a q1 r 'payload'"
    std::string Summary() const;
};

struct TConnack {
    bool Received = false;
    int Code = -1;               // the return code (3.x) or reason code (5.0)
    bool SessionPresent = false;
    TPropertyList Properties;
    const TProperty* Find(uint8_t id) const;
};

// An acknowledgement the broker sent: SUBACK and UNSUBACK codes, the reason
// code of PUBACK, PUBREC or PUBCOMP (0 before 5.0), its properties.
struct TAck {
    bool Received = false;
    int Code = 0;
    std::vector<uint8_t> Codes;
    TPropertyList Properties;
    const TProperty* Find(uint8_t id) const;
};

struct TConnectOptions {
    std::optional<std::string> ClientID;    // default: the client's own identifier
    bool Clean = true;                      // clean session (3.x), clean start (5.0)
    int KeepAlive = 60;
    std::string Properties;                 // 5.0, in the properties text form
    std::string WillTopic, WillPayload;
    int WillQos = 0;
    bool WillRetain = false;
    std::string WillProperties;             // 5.0
};

struct TPublishOptions {
    int Qos = 0;
    bool Retain = false;
    std::string Properties;                 // 5.0
};

// One client of a check: a client of the check's session, that is a console
// of its own (fields, connection, threads, receive queue, message
// identifiers), driven by its commands as a script drives it; its frames are
// kept by the session for the verdict and the report. Check's thread only.
class TCheckClient {
public:
    TCheckClient(TCheckContext& context, TSessionClient& client, std::string clientID);
    TCheckClient(const TCheckClient&) = delete;
    TCheckClient& operator=(const TCheckClient&) = delete;

    const std::string Name;          // "sub", "pub", ...
    const std::string ClientID;      // the identifier it connects with unless told otherwise
    TForm1& Form() { return Session.Form(); }
    TSessionClient& SessionClient() { return Session; }

    // Opens the connection when none is open, then CONNECT. A connection that
    // cannot be opened ends the check as an ERROR.
    TConnack Connect(const TConnectOptions& options = {});
    // Connect, and a refusal or no CONNACK ends the check as a FAIL.
    TConnack ConnectOk(const TConnectOptions& options = {});
    // SUBSCRIBE: filters with their QoS (3.x) or subscription options text
    // (5.0: "1 nl rap rh=2"). No SUBACK ends the check as a FAIL.
    TAck Subscribe(const std::vector<std::string>& filters, const std::vector<std::string>& options,
                   const std::string& properties = {});
    TAck Subscribe(const std::string& filter, int qos) { return Subscribe({filter}, {std::to_string(qos)}); }
    // As Subscribe, and a refused filter ends the check as a FAIL.
    TAck SubscribeOk(const std::string& filter, int qos, const std::string& properties = {});
    TAck Unsubscribe(const std::vector<std::string>& filters, const std::string& properties = {});
    // PUBLISH through the console's command (QoS 1 and 2 wait for their flow).
    TAck Publish(const std::string& topic, const std::string& payload, const TPublishOptions& options = {});
    TAck Publish(const std::string& topic, const std::string& payload, int qos, bool retain = false)
    {
        return Publish(topic, payload, TPublishOptions{qos, retain, {}});
    }
    // DISCONNECT (5.0: with the reason code and properties), then Close.
    void Disconnect(int reasonCode = 0, const std::string& properties = {});
    // The connection ends without DISCONNECT (Close): an abnormal end for the broker.
    void Drop();
    // The bytes as they are, no check and no change (the console's raw frame).
    void SendRaw(const std::vector<uint8_t>& bytes);
    void Ping();
    // From now on QoS 1 and 2 messages this client receives are not acknowledged.
    void HoldAcks();

    bool Open() const;
    // Whether the broker ended the connection within ms (socket closed, or a
    // DISCONNECT received).
    bool WaitClosed(int ms);
    bool Closed() const;
    std::string CloseReason() const;
    // The reason code of a DISCONNECT the broker sent, -1 for none.
    int DisconnectReason() const;

    // Received PUBLISH messages, in order.
    std::vector<TMessage> Messages();
    // Waits until count messages that pass the filter have come (or ms passed,
    // or the connection has ended); returns those that came.
    std::vector<TMessage> WaitMessages(size_t count, int ms,
                                       const std::function<bool(const TMessage&)>& filter = nullptr);
    std::vector<TMessage> WaitMessages(size_t count, int ms, const std::string& topic);
    std::optional<TMessage> WaitMessage(const std::string& topic, int ms);
    // Frames of every connection of the client; Mark() is the index the next one gets.
    std::vector<TSessionFrame> Frames() const { return Session.Frames(); }
    size_t Mark() const { return Session.FrameCount(); }
    // A received frame of the type at index from or later, waited for up to ms
    // (or until the connection has ended).
    std::optional<TSessionFrame> WaitFrame(int type, int ms, size_t from = 0);
    // What the client saw, one item per received frame, for a FAIL's reason.
    std::string Saw() const;

    // Decodes a frame of this client's connection by its protocol version; raises on a bad frame.
    std::unique_ptr<TMQTTPacket> Decode(const TSessionFrame& frame) const;

private:
    void EnsureOpen();
    // Runs a command; the text of a box it showed, empty when none.
    std::string RunCommand(THandler handler);
    TAck AckAfter(size_t mark, int type, int id, int ms);
    std::optional<TSessionFrame> FindFrame(size_t from, const std::function<bool(const TSessionFrame&)>& match, int ms);
    // Decodes the PUBLISH frames received since the last call.
    void TakeMessages();

    TCheckContext& Context;
    TSessionClient& Session;
    size_t FDecoded = 0;
    std::vector<TMessage> FMessages;
    // The broker's Topic Aliases on the current connection, within the maximum its CONNECT sent.
    std::optional<TInboundTopicAliases> FAliases;
};
