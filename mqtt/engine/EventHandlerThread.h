#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/engine/AckSettings.h"
#include "mqtt/engine/InboundFlows.h"
#include "mqtt/engine/PayloadStore.h"
#include "platform/Thread.h"

class TClientSocket;
class TEventSink;
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
// which ends both client threads.
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
    // Once the thread and the reader have ended: one line saying how many
    // received messages go unacknowledged (still queued, QoS 2 flows without
    // PUBREL, a message whose pass failed before its answer), if any.
    void ReportDroppedAtClose();

    static constexpr int kPubrelWaitMs = 1000;
    static constexpr int kPubrelWaitLimitMs = 10 * kPubrelWaitMs;
    static constexpr int kLinePauseMs = 10;
    static constexpr int kMaxLinePauseMs = 100;

protected:
    void Execute() override;

private:
    // The acknowledgement protocol.
    void HandlePublish(TMQTTPacket& packet, TFrameWait& frameWait);
    // reasonCode: what the answer carries (5.0).
    bool BuildAnswer(const TMQTTPacket& packet, TFrameBuffer& frame, int32_t& length, uint8_t& reasonCode);
    TAckParams AckParams(TPacketKind kind, int32_t messageID) const;
    bool HoldingAcks() const;
    void SendAnswer(const char* what, const TFrameBuffer& frame, int32_t length);
    bool RunQos2Flow(int32_t id, const std::string& path, const TFrameBuffer& pubrec, int32_t length,
        uint8_t pubrecCode, TFrameWait& frameWait);
    void AnswerRepeatedQos2(const TMQTTPacket& packet, const std::string& path, TFrameWait& frameWait);
    bool WaitForPubrel(int32_t messageID, TFrameWait& frameWait, std::unique_ptr<TMQTTPacket>& pubrel);
    bool AnswerPubrel(int32_t id);
    bool AnswerLatePubrel();
    // 5.0: the broker's DISCONNECT, once every message before it is done.
    bool ReportDisconnect();
    int32_t WriteAckFrame(const uint8_t* frame, int32_t length);
    // The file.
    std::string SavePayload(const TMQTTPacket& packet);
    // The report.
    void Report(const TMQTTPacket& packet);
    void ReportSaved(const TMQTTPacket& packet, const std::string& path);

    void Log(const std::string& message);
    void LogAndPause(const std::string& message, const char* source);
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
    bool FInHand = false;     // a taken PUBLISH whose answer (or, at QoS 0, file) is not done
    int FLostInPass = 0;      // such messages whose pass failed

    std::mutex FStopLock;
    std::condition_variable FStopped;
    bool FStopRequested = false;
};
