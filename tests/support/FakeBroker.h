#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// MQTT framing, decoded locally so the tests do not lean on the code under
// test: a frame is its first byte, the remaining-length field (7-bit groups,
// least significant first, continuation bit 0x80, at most 4 bytes) and that
// many bytes. Returns the complete frames at the start of data; *consumed gets
// the bytes they take (the rest is an incomplete frame), *malformed is set
// when a length field runs past 4 bytes (framing stops there).
std::vector<std::vector<uint8_t>> SplitMqttFrames(const uint8_t* data, size_t size, size_t* consumed = nullptr,
                                                  bool* malformed = nullptr);
inline std::vector<std::vector<uint8_t>> SplitMqttFrames(const std::vector<uint8_t>& bytes,
                                                         size_t* consumed = nullptr, bool* malformed = nullptr)
{
    return SplitMqttFrames(bytes.data(), bytes.size(), consumed, malformed);
}

// A scripted broker on 127.0.0.1 with an ephemeral port. A background thread
// accepts connections; each connection has its own reader thread that
// collects the client's bytes, cuts them into frames and hands each frame to
// the OnFrame handler.
//
// Connections are numbered 0, 1, ... in accept order. Every `conn` argument
// of -1 means: inside an OnFrame handler, the connection whose frame is being
// handled; elsewhere, the latest connection.
//
// All waits take a time-out in ms and return false when it passed.
class FakeBroker {
public:
    using FrameHandler = std::function<void(const std::vector<uint8_t>& frame, FakeBroker& broker)>;

    struct Options {
        // SO_RCVBUF of accepted connections (0: system default). A small one
        // with StopReading() makes a client's writes stall after a few KB.
        int receiveBufferSize = 0;
        // false: connections start with reading stopped (see StopReading).
        bool startReading = true;
        // Above 0: each connection reads at most this many bytes per second
        // (a slow link; with a small receiveBufferSize the client feels it).
        int readBytesPerSecond = 0;
    };

    FakeBroker();
    explicit FakeBroker(const Options& options);
    ~FakeBroker();
    FakeBroker(const FakeBroker&) = delete;
    FakeBroker& operator=(const FakeBroker&) = delete;

    int Port() const { return FPort; }
    std::string Host() const { return "127.0.0.1"; }

    // Called on the connection's reader thread for each complete frame the
    // client sends, in order. Set it before the client connects. A handler
    // may Send(), CloseConnection() or ResetConnection() (they act on the
    // frame's connection). Exceptions from it are reported as test failures.
    void OnFrame(FrameHandler handler);
    // Called on a connection's reader thread when the client closed its side
    // (not when the broker closed it), with the connection's number.
    void OnPeerClose(std::function<void(int conn, FakeBroker& broker)> handler);
    // The number of the connection whose frame the calling handler handles; -1 outside a handler.
    int HandlingConnection() const;

    size_t ConnectionCount() const;
    bool WaitForConnections(size_t count, int timeoutMs);

    // Bytes the client sent on the connection, all of them so far.
    std::vector<uint8_t> Received(int conn = -1) const;
    bool WaitForBytes(size_t count, int timeoutMs, int conn = -1);
    // Complete frames received so far on the connection.
    std::vector<std::vector<uint8_t>> Frames(int conn = -1) const;
    bool WaitForFrames(size_t count, int timeoutMs, int conn = -1);
    // Whether the client's bytes could not be framed (length field > 4 bytes).
    bool FramingBroken(int conn = -1) const;
    // The client closed its side (orderly or by reset).
    bool PeerClosed(int conn = -1) const;
    bool WaitForPeerClose(int timeoutMs, int conn = -1);

    // Send all bytes (blocking). false when the connection is gone or the
    // send failed.
    bool Send(const std::vector<uint8_t>& bytes, int conn = -1);
    // One send() per piece, TCP_NODELAY set, gapMs between pieces; a last
    // piece takes what the sizes leave. The client may still read several
    // pieces at once: to make it see a piece alone, Send() it and wait for the
    // client's reaction before sending the next.
    bool SendInPieces(const std::vector<uint8_t>& bytes, const std::vector<size_t>& pieceSizes, int gapMs = 0,
                      int conn = -1);
    // pieceSize bytes at a time with gapMs between them (pacing, not a
    // synchronisation).
    bool SendSlowly(const std::vector<uint8_t>& bytes, size_t pieceSize, int gapMs, int conn = -1);

    // Orderly close of the broker's side (FIN, shutdown SHUT_WR): the client
    // reads end-of-stream; what it still sends is received.
    void CloseConnection(int conn = -1);
    // Abortive close (SO_LINGER 0, close): the client gets a reset.
    void ResetConnection(int conn = -1);

    // Stop / resume reading the client's bytes. While stopped, the client's
    // data piles up in the socket buffers until its writes stall. Returns
    // once the reader thread has paused.
    void StopReading(int conn = -1);
    void ResumeReading(int conn = -1);

    // Close the listener: later connects are refused.
    void StopListening();

    // A loopback port on which nothing listens (a connect is refused).
    static int UnusedPort();
    // Whether this host has the IPv6 loopback ::1 to connect to.
    static bool HasIPv6Loopback();

    struct TConnection;

private:
    void AcceptLoop();
    void ReadLoop(TConnection* connection);
    TConnection* Find(int conn) const;   // needs FLock
    TConnection* Resolve(int conn) const;
    bool SendOn(TConnection* connection, const uint8_t* data, size_t size);
    template <class Pred>
    bool WaitUntil(int timeoutMs, Pred pred);

    int FListener = -1;
    int FPort = 0;
    int FWake = -1;   // eventfd: wakes the accept thread to stop
    Options FOptions;
    std::atomic<bool> FStopping{false};
    std::thread FAcceptThread;

    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::unique_ptr<TConnection>> FConnections;
    FrameHandler FHandler;
    std::function<void(int, FakeBroker&)> FCloseHandler;
};

// A loopback listener whose accept queue is full (listen backlog 0, filled
// with connections nobody accepts): Linux drops further SYNs, so a connect to
// Port() hangs in SYN retransmission until the connector's own time-out.
// Ready() is false when the queue could not be filled on this host.
class FullBacklogListener {
public:
    FullBacklogListener();
    ~FullBacklogListener();
    FullBacklogListener(const FullBacklogListener&) = delete;
    FullBacklogListener& operator=(const FullBacklogListener&) = delete;

    int Port() const { return FPort; }
    bool Ready() const { return FReady; }

private:
    int FListener = -1;
    int FPort = 0;
    bool FReady = false;
    std::vector<int> FFillers;
};
