#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "diag/EventSink.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/engine/AckSettings.h"
#include "mqtt/engine/InboundFlows.h"
#include "mqtt/engine/PayloadStore.h"
#include "platform/Thread.h"

class TClientSocket;
class TSessionObserver;
class TWholeFrameWriter;
class TMQTTPacketQueue;
class TMQTTPacket;
class TFrameWait;

// Answers the PUBLISH messages the broker delivers to a client: takes each
// from the receive queue (oldest first), saves its payload to a new
// "Pub_<stamp><5 digits>.dat" file, then runs its QoS 1 or QoS 2
// acknowledgement flow and reports it line by line; the last line names the
// file. A message is acknowledged only once its file is complete. Under MQTT
// 5.0 it also reports the broker's DISCONNECT. Any error closes the socket,
// which ends both client threads; "Close" ends it quietly.
//
// The packets of one QoS 2 flow are taken in the order they arrived: a
// repeated PUBLISH that came before the PUBREL is answered with PUBREC again
// (saved once), and only then the PUBREL. Under 3.1.1 and 5.0 every PUBREL is
// answered: one without an open flow gets its PUBCOMP too (5.0: reason 0x92).
// A PUBREL taken here is checked and reported like any received frame; one
// that cannot be decoded whole is not answered.
//
// With the report pause at 0 the lines of one message go to the sink together.
class TMQTTEventHandlerThread : public TThread {
public:
    TMQTTEventHandlerThread(TClientSocket& socket, TMQTTPacketQueue& receiveQueue,
        const std::string& frameEventName, const std::string& clientID, TWholeFrameWriter& writer, TEventSink& sink,
        TSessionObserver* observer = nullptr, TProtocolVersion version = TProtocolVersion::MQTT31);
    ~TMQTTEventHandlerThread() override;

    // Where payload files go; empty means the working directory.
    void SetPayloadDirectory(const std::string& directory);
    std::string PayloadDirectory() const;
    // The pause after each report line (0 to 100 ms; 10 by default).
    void SetLinePause(int ms);
    // What the acknowledgements carry under 5.0, from the next one on. Any thread.
    void SetAckSettings(const TAckSettings& settings);

    // Terminate() that also ends the waits and pauses at once: the thread
    // sleeps on no timer, so it must be woken.
    void Stop();
    // Once the thread and the reader have ended: a line for each QoS 2 flow
    // whose file is kept but whose PUBCOMP did not go out, and one saying how
    // many received messages were dropped unacknowledged, their payload not
    // saved (still queued, or taken by a pass that failed before the file).
    void ReportDroppedAtClose();

    static constexpr int kPubrelWaitMs = 1000;
    static constexpr int kPubrelWaitLimitMs = 10 * kPubrelWaitMs;
    static constexpr int kLinePauseMs = 10;
    static constexpr int kMaxLinePauseMs = 100;
    // The pause is said to hold messages back once those waiting would take
    // this long to report at about kLinesPerMessage paused lines each.
    static constexpr int kPauseNoticeMs = 5000;
    static constexpr int kLinesPerMessage = 10;

protected:
    void Execute() override;

private:
    // The packets.
    bool TakeNext(std::unique_ptr<TMQTTPacket>& packet);
    void HandlePublish(TMQTTPacket& packet, TFrameWait& frameWait);
    void HandlePubrel(TMQTTPacket& pubrel);
    // reasonCode: what the answer carries (5.0).
    bool BuildAnswer(const TMQTTPacket& packet, TFrameBuffer& frame, int32_t& length, uint8_t& reasonCode);
    TAckParams AckParams(TPacketKind kind, int32_t messageID) const;
    bool HoldingAcks() const;
    void SendAnswer(const char* what, const TFrameBuffer& frame, int32_t length);
    bool RunQos2Flow(int32_t id, const std::string& path, const TFrameBuffer& pubrec, int32_t length,
        uint8_t pubrecCode, TFrameWait& frameWait);
    bool AwaitPubrel(int32_t id, const std::string& path, TFrameWait& frameWait);
    bool WaitForPubrel(int32_t id, const std::string& path, TFrameWait& frameWait,
        std::unique_ptr<TMQTTPacket>& pubrel);
    bool WaitForFrame(TFrameWait& frameWait, int64_t deadlineNs);
    void AnswerRepeatedQos2(TMQTTPacket& packet, const std::string& path);
    bool ReceivedPubrel(TMQTTPacket& pubrel);
    bool AnswerPubrel(TMQTTPacket& pubrel);
    void AnswerUnknownPubrel(TMQTTPacket& pubrel);
    // 5.0: the broker's DISCONNECT, once every message before it is done.
    bool ReportDisconnect();
    void WriteAckFrame(const uint8_t* frame, int32_t length);
    // The file.
    std::string SavePayload(const TMQTTPacket& packet);
    // The report.
    void Report(const TMQTTPacket& packet);
    void ReportSaved(const TMQTTPacket& packet, const std::string& path);
    void NoticePauseBacklog();

    // The lines: each goes out at once and is followed by the pause, or, with
    // the pause at 0, waits in FBatch for the next Flush().
    void Log(const std::string& message);
    void LogAndPause(const std::string& message, const char* source);
    void Say(const std::string& message, const char* source, bool pause);
    void Flush();
    void Pause(int ms);
    void ReportAndClose(const std::string& message);
    bool Stopping() const;

    TClientSocket& Socket;
    TMQTTPacketQueue& ReceiveQueue;
    const std::string FrameEventName;
    const std::string ClientID;
    TWholeFrameWriter& Writer;
    TEventSink& Sink;
    TSessionObserver* const Observer;
    const TProtocolVersion Version;   // the acknowledgements are built by its rules
    std::atomic<int> FLinePauseMs{kLinePauseMs};
    mutable std::mutex FAckLock;
    TAckSettings FAcks;

    TPayloadStore FStore;
    // The thread's own, and the client's once the thread has ended.
    TInboundFlows FFlows;
    bool FInHand = false;        // a taken PUBLISH whose file is not saved yet (nor given up on)
    int FLostInPass = 0;         // such messages whose pass ended before their file
    bool FPauseNoticed = false;
    std::vector<TEventMessage> FBatch;

    std::mutex FStopLock;
    std::condition_variable FStopped;
    bool FStopRequested = false;
};
