#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "platform/TlsConfig.h"

// A TCP client socket (IPv4) used in blocking style: every operation that may
// wait takes a time-out and waits with poll() on a non-blocking descriptor, so
// no thread is ever stuck in the kernel beyond its time-out and Close() from
// another thread ends every wait at once.
//
// The socket's own lock is held by each single read, write, shutdown and
// descriptor change, never while waiting for readiness.
//
// Host, port, time-outs and the notifications are set before Open() by the
// thread that owns the object. Open() must not run while other threads still
// use the socket (Close() from any thread is fine at any time).
class TClientSocket {
public:
    using TNotify = std::function<void()>;

    TClientSocket();
    ~TClientSocket();   // closes (with the disconnect notification) if still active
    TClientSocket(const TClientSocket&) = delete;
    TClientSocket& operator=(const TClientSocket&) = delete;

    void SetHost(const std::string& host);   // host name or dotted address
    void SetPort(int port);
    const std::string& Host() const { return FHost; }
    int Port() const { return FPort; }
    void SetOnConnect(TNotify notify);
    void SetOnDisconnect(TNotify notify);
    // Upper bound for one connect; an unreachable host fails within it.
    void SetConnectTimeout(int ms);             // default 5000
    // SO_SNDBUF for the next Open(); 0 leaves the system's choice.
    void SetSendBufferSize(int bytes);
    // How the connection is to be secured. Kept for the TLS stream; until the
    // socket speaks TLS (SpeaksTls) it is not used, and callers refuse TLS.
    void SetTls(const TTlsConfig& tls) { FTls = tls; }
    const TTlsConfig& Tls() const { return FTls; }
    static constexpr bool SpeaksTls = false;

    // Resolves the host and connects. On success: active, then OnConnect.
    // On failure: inactive, OnDisconnect, the OS socket released, and an
    // Exception "Connect エラー <errno>, <text>" ("Lookup エラー ..." when the
    // host does not resolve) is raised. Does nothing when already active.
    void Open();
    // From any thread. If active: inactive, OnDisconnect on the calling
    // thread, then the connection is shut down in both directions, which wakes
    // every thread waiting on it. Does nothing when not active. True when
    // this call closed it (exactly one of several closers gets true).
    bool Close();
    bool Active() const { return FActive; }
    // true when data can be read within the time-out, also when the peer
    // closed or the connection failed (a read then tells which) or when the
    // socket was closed meanwhile. false at once when the socket is not active.
    // Negative time-out: no limit.
    bool WaitForData(int timeoutMs);

private:
    friend class TSocketStream;

    // 1: ready, 0: time-out. timeoutMs < 0: no limit.
    int PollFor(short events, int timeoutMs) const;
    int Receive(void* buffer, int count, int timeoutMs, bool& peerClosed);
    int Send(const void* buffer, int count, int timeoutMs);
    // A connected descriptor or -1. pendingError: a failure the peer caused
    // right after the handshake, which the first read reports.
    int Connect(std::string& error, int& pendingError) const;
    void ReleaseDescriptor();

    std::string FHost;
    int FPort = 0;
    int FConnectTimeoutMs = 5000;
    int FSendBufferSize = 0;
    TTlsConfig FTls;
    TNotify FOnConnect;
    TNotify FOnDisconnect;

    std::atomic<bool> FActive{false};
    int FPendingError = 0;   // guarded by FLock
    // The descriptor stays open after Close() (which only shuts it down) until
    // the next Open() or the destructor. Other threads may still be about to
    // poll it; were it closed, the number could be handed to a file or socket
    // opened elsewhere in the process meanwhile, and their read or write would
    // reach that one. Reads and writes take the descriptor under FLock and
    // check FActive there, so they never use one that was released.
    std::atomic<int> FFd{-1};
    mutable std::mutex FLock;
};

// A read/write view of a connected TClientSocket with one time-out for every
// operation (negative: no limit).
class TSocketStream {
public:
    TSocketStream(TClientSocket& socket, int timeoutMs);

    // Waits up to the time-out for data and reads what is there, at most
    // count bytes. 0 when nothing arrived in time, when the socket is not
    // active, or when the peer closed the connection (PeerClosed() then true).
    // An OS failure raises Exception "Read エラー <errno>, <text>".
    int Read(void* buffer, int count);
    bool PeerClosed() const { return FPeerClosed; }
    // Writes what the connection takes now, waiting up to the time-out for
    // room: may be fewer bytes than asked, 0 when nothing could be written in
    // time. An OS failure, or a socket that is not active, raises Exception
    // "Write エラー <errno>, <text>". No SIGPIPE on a closed connection.
    int Write(const void* buffer, int count);

private:
    TClientSocket& FSocket;
    int FTimeoutMs;
    std::atomic<bool> FPeerClosed{false};
};

// "<operation> エラー <code>, <text>" in the system code page.
std::string SocketErrorMessage(const char* operation, int code, const std::string& text);
// The system's text for errno code.
std::string SystemErrorText(int code);
