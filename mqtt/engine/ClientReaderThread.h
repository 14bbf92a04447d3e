#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "mqtt/codec/ProtocolVersion.h"
#include "mqtt/engine/TopicAliases.h"
#include "platform/Thread.h"

class TClientSocket;
class TEventSink;
class TMQTTPacketQueue;
class TSessionObserver;

// The only reader of a client's socket: collects the broker's bytes in a
// growable buffer, cuts complete MQTT frames out of it, stores each as a
// TMQTTPacket in the receive queue and signals the frame-arrival event.
// Any error closes the socket, which ends both client threads.
//
// It sleeps until data, its termination or room in a full backlog wakes it:
// no timer. While the receive queue's backlog is full it reads nothing, so
// TCP pushes back on the broker; the queue's room notification
// (RoomNotify()) lets it read again.
class TMQTTClientReaderThread : public TThread {
public:
    TMQTTClientReaderThread(TClientSocket& socket, TMQTTPacketQueue& receiveQueue,
        const std::string& frameEventName, const std::string& clientID, int32_t bufferSize, TEventSink& sink,
        TSessionObserver* observer = nullptr, TProtocolVersion version = TProtocolVersion::MQTT31);
    ~TMQTTClientReaderThread() override;

    // What the receive queue calls when a take makes room in its backlog;
    // safe to call from any thread, also after this thread has ended.
    std::function<void()> RoomNotify() const;
    // Each frame the client sends, before it goes out: a CONNECT says which
    // topic aliases the broker may use. Safe from any thread.
    void NoteSent(const uint8_t* frame, int32_t length) { FAliases.NoteSent(frame, length); }
    // Replaces the queue's BacklogFull() as the reader's test of a full
    // backlog; set before Start(). For tests.
    void SetBacklogProbe(std::function<bool()> full);

    static constexpr int kReadChunkSize = 2000;
    // Only when the system gives no wake handle: then the reader looks for
    // termination and room this often.
    static constexpr int kFallbackWaitMs = 10;

protected:
    void Execute() override;

private:
    void Log(const std::string& message);
    void ReportAndClose(const std::string& message);
    void CloseLost(const std::string& reason);
    // The broker ended the connection (with its WebSocket close frame's words, if any).
    void CloseByBroker();
    bool BacklogFull();

    TClientSocket& Socket;
    TMQTTPacketQueue& ReceiveQueue;
    const std::string FrameEventName;
    const std::string ClientID;
    const int32_t BufferSize;
    TEventSink& Sink;
    TSessionObserver* const Observer;
    // Shared with the notification the queue keeps, which may outlive us.
    const std::shared_ptr<TWakeEvent> FRoom;
    std::function<bool()> FBacklogProbe;
    const TProtocolVersion Version;   // the rules received frames are decoded by
    TInboundTopicAliases FAliases;    // 5.0: the broker's topic aliases, in stream order
};
