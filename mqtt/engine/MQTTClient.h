#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "mqtt/codec/ProtocolVersion.h"
#include "mqtt/engine/AckSettings.h"
#include "mqtt/engine/PacketQueue.h"
#include "platform/HostLookup.h"
#include "platform/OpenFailure.h"
#include "platform/TlsConfig.h"
#include "platform/TransportConfig.h"
#include "platform/WriteProgress.h"

class TCancelSignal;
class TClientSocket;
class TEventSink;
class TWholeFrameWriter;
class TNamedMutex;
class TSessionObserver;
class TMQTTClientReaderThread;
class TMQTTEventHandlerThread;

struct TMQTTClientOptions {
    int ConnectTimeoutMs = 5000;           // one connect attempt gives up after this
    int32_t ReceiveBufferSize = 250000000; // reserved (address space only) by the reader at start
    std::string PayloadDirectory;          // where "Pub_" files go; empty: the working directory
    TEventSink* Sink = nullptr;            // where the diagnostic lines go; none: dropped
    TSessionObserver* Observer = nullptr;  // frames, connection loss, queue and saved messages; may be none
    int LinePauseMs = 10;                  // the pause after each report line of the event-handler thread
    TProtocolVersion Version = TProtocolVersion::MQTT31;  // received frames are decoded by its rules
    TTlsConfig Tls;                        // how the connection is secured; off: clear TCP
    TTransportConfig Transport;            // WebSocket and a proxy hop; the defaults: neither
    TAckSettings Acks;                     // 5.0: what the event-handler thread's acknowledgements carry
    // Ends the connect attempts (lookup, connect, TLS handshake, the pause
    // between them) at once when given, from any thread; it outlives the
    // constructor. None: they run their course.
    const TCancelSignal* Cancel = nullptr;
    THostResolver Resolver;                // host names to addresses; empty: the system's resolver
    int WriteStallMs = 10000;              // a write gives up when none of its bytes moved for this long
};

// One TCP connection to one broker. The constructor connects, makes the write
// mutex and the receive queue and starts the reader and event-handler
// threads; it returns also when no connection was made, with SocketReady
// false. Each failed attempt logs "ClientSocketOnDisconnect: start" and then
// "*ERROR* could not connect to <host>:<port>: <reason> (attempt <n>, <ms> ms)
// [<ClientID>]" with the time that attempt took. A second attempt follows a
// pause of 100 ms only where it can help (a refused connect, a failure of the
// network), not after a time-out, a cancel, a name that does not exist or a
// TLS refusal. With options.Tls on, the connection is made only once the TLS
// handshake and the broker's certificate passed; the reason then says what
// OpenSSL refused ("TLS handshake failed: certificate verify failed: hostname
// mismatch"). The destructor stops both threads before it frees the queue
// and the socket.
class TMQTTClient {
public:
    TMQTTClient(const std::string& host, int port, const std::string& clientID,
        const TMQTTClientOptions& options = TMQTTClientOptions());
    ~TMQTTClient();

    TMQTTClient(const TMQTTClient&) = delete;
    TMQTTClient& operator=(const TMQTTClient&) = delete;

    // Writes one whole frame under the write mutex, in pieces of at most
    // 2000 bytes; a write fails when none of its bytes moved for the write
    // stall time. A frame that fails half written closes the connection
    // (TWholeFrameWriter). The caller keeps the buffer. Raises "SocketReady
    // check failed", "WaitForSingleObject() timeout", "WaitForSingleObject()
    // failed", "Socket Write Error", "ReleaseMutex() failed" or the socket's
    // own write error. Writes nothing on a closed socket. A frame that did not
    // go out is named in a line: "*ERROR* <type> not sent: <reason> [<ClientID>]".
    void SendFrame(const uint8_t* frame, int32_t length);
    // How long a write may wait while none of its bytes move, from now on.
    void SetWriteStall(int ms);

    // Follows the frames written so far on their way to the broker, for a
    // wait for its answer: the broker cannot answer a frame it has not read
    // yet (a long frame to a slow reader takes as long as the reader needs).
    // One per wait, on the waiting thread.
    class TDepartures {
    public:
        explicit TDepartures(TMQTTClient& client);
        // True while bytes written wait for the broker's TCP to acknowledge
        // them and TCP saw them move within the write stall time.
        bool Leaving();

    private:
        TMQTTClient& FClient;
        std::optional<TWriteProgress> FProgress;
        int64_t FLastMoveNs;
    };

    // Why the last connect attempt failed (TOpenFailure::None when connected),
    // and its reason as the line gives it.
    TOpenFailure OpenFailure() const;
    const std::string& ConnectFailure() const;
    // The TLS version of the connection ("TLSv1.3"); empty in clear text.
    std::string TlsVersion() const;

    TMQTTPacketQueue& ReceiveQueue() { return *FReceiveQueue; }
    TMQTTPacketQueue& Queue() { return *FReceiveQueue; }

    // Where the event-handler thread writes payload files from now on.
    void SetPayloadDirectory(const std::string& directory);
    // The pause after each report line of the event-handler thread, from now on.
    void SetLinePause(int ms);
    // What the event-handler thread's acknowledgements carry under 5.0, from now on.
    void SetAckSettings(const TAckSettings& settings);

    const std::string ClientID;
    const std::string FrameEventName;          // "MQTT_FRAME_RECV" + ClientID
    std::atomic<bool> SocketReady{false};      // from the connect to the disconnect notification

    static constexpr int kConnectAttempts = 2;
    static constexpr int kConnectPauseMs = 100;

    static std::string WriteMutexName(const std::string& clientID) { return "MQTTClientSockWriteMutex" + clientID; }
    static std::string FrameEventNameFor(const std::string& clientID) { return "MQTT_FRAME_RECV" + clientID; }

private:
    // The line that says why an attempt failed and how long it took.
    void ReportConnectFailure(const std::string& host, int port, int attempt, int64_t elapsedMs);
    // The connect attempts; cancel may be none.
    void ConnectAttempts(const std::string& host, int port, const TCancelSignal* cancel);
    // The line after a "sending ..." line whose frame did not go out.
    void ReportNotSent(const uint8_t* frame, int32_t length, const std::string& reason);
    void ClientSocketOnConnect();
    void ClientSocketOnDisconnect();
    void StopThreads();
    // Threads, queue, socket (a failed close is ignored), mutex: in that order,
    // so nothing is freed while a thread may still use it.
    void TearDown();

    TEventSink& Sink;
    TSessionObserver* const Observer;
    std::unique_ptr<TClientSocket> FSocket;
    std::unique_ptr<TNamedMutex> FWriteMutex;
    std::unique_ptr<TWholeFrameWriter> FWriter;
    std::unique_ptr<TMQTTPacketQueue> FReceiveQueue;
    std::unique_ptr<TMQTTClientReaderThread> FReaderThread;
    std::unique_ptr<TMQTTEventHandlerThread> FEventHandlerThread;
};
