#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Thread.h"

class TClientSocket;
class TEventSink;
class TSessionObserver;
class TFrameWriter;
class TMQTTPacketQueue;
class TMQTTPacket;
class TFrameWait;

// Answers the PUBLISH messages the broker delivers to a client: takes each
// from the receive queue (oldest first), runs its QoS 1 or QoS 2
// acknowledgement flow, reports it line by line and writes its payload to a
// new "Pub_<stamp><5 digits>.dat" file. Any error closes the socket, which
// ends both client threads.
class TMQTTEventHandlerThread : public TThread {
public:
    TMQTTEventHandlerThread(TClientSocket& socket, TMQTTPacketQueue& receiveQueue,
        const std::string& frameEventName, const std::string& clientID, TFrameWriter& writer, TEventSink& sink,
        TSessionObserver* observer = nullptr);
    ~TMQTTEventHandlerThread() override;

    // Where payload files go; empty means the working directory.
    void SetPayloadDirectory(const std::string& directory);
    std::string PayloadDirectory() const;
    // The pause after each report line (0 to 100 ms; 10 by default).
    void SetLinePause(int ms);

    static constexpr int kIdleWaitMs = 100;
    static constexpr int kPubrelWaitMs = 1000;
    static constexpr int kPubrelWaitLimitMs = 10 * kPubrelWaitMs;
    static constexpr int kLinePauseMs = 10;
    static constexpr int kMaxLinePauseMs = 100;

protected:
    void Execute() override;

private:
    int32_t WriteAckFrame(const uint8_t* frame, int32_t length);
    void HandlePublish(TMQTTPacket& packet, TFrameWait& frameWait);
    bool WaitForPubrel(int32_t messageID, TFrameWait& frameWait, std::unique_ptr<TMQTTPacket>& pubrel);
    void ReportAndSave(const TMQTTPacket& packet);
    void SavePayload(const TMQTTPacket& packet);
    void Log(const std::string& message);
    void LogAndPause(const std::string& message, const char* source);
    void ReportAndClose(const std::string& message);
    bool Stopping() const;

    TClientSocket& Socket;
    TMQTTPacketQueue& ReceiveQueue;
    const std::string FrameEventName;
    const std::string ClientID;
    TFrameWriter& Writer;
    TEventSink& Sink;
    TSessionObserver* const Observer;
    std::atomic<int> FLinePauseMs{kLinePauseMs};

    mutable std::mutex FDirectoryLock;
    std::string FPayloadDirectory;
};
