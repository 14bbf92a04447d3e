#pragma once

#include <cstdint>
#include <string>

#include "mqtt/codec/ProtocolVersion.h"
#include "platform/Thread.h"

class TClientSocket;
class TEventSink;
class TMQTTPacketQueue;
class TSessionObserver;

// The only reader of a client's socket: collects the broker's bytes in a
// growable buffer, cuts complete MQTT frames out of it, stores each as a
// TMQTTPacket in the receive queue and signals the frame-arrival event.
// Any error closes the socket, which ends both client threads.
class TMQTTClientReaderThread : public TThread {
public:
    TMQTTClientReaderThread(TClientSocket& socket, TMQTTPacketQueue& receiveQueue,
        const std::string& frameEventName, const std::string& clientID, int32_t bufferSize, TEventSink& sink,
        TSessionObserver* observer = nullptr, TProtocolVersion version = TProtocolVersion::MQTT31);
    ~TMQTTClientReaderThread() override;

    static constexpr int kReadChunkSize = 2000;
    static constexpr int kIdleWaitMs = 10;
    static constexpr int kStreamTimeoutMs = 1000;

protected:
    void Execute() override;

private:
    void Log(const std::string& message);
    void ReportAndClose(const std::string& message);
    void CloseLost(const std::string& reason);

    TClientSocket& Socket;
    TMQTTPacketQueue& ReceiveQueue;
    const std::string FrameEventName;
    const std::string ClientID;
    const int32_t BufferSize;
    TEventSink& Sink;
    TSessionObserver* const Observer;
    const TProtocolVersion Version;   // the rules received frames are decoded by
};
