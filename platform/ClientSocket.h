#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/HostLookup.h"
#include "platform/OpenFailure.h"
#include "platform/TlsConfig.h"
#include "platform/TransportConfig.h"
#include "platform/WriteProgress.h"

class TCancelSignal;
class TDeadline;
class TTlsContext;
class TTlsSession;
class TWebSocketSession;


// A TCP client socket (IPv4 and IPv6) used in blocking style: every operation
// that may wait takes a time-out and waits with poll() on a non-blocking
// descriptor, so no thread is ever stuck in the kernel beyond its time-out and
// Close() from another thread ends every wait at once.
//
// The socket's own lock is held by each single read, write, shutdown and
// descriptor change, never while waiting for readiness.
//
// With TLS configured (SetTls), Open() runs the handshake right after the
// connect and every read, write, wait and close below goes through the TLS
// session with the same rules: the session's lock nests inside the socket's,
// bytes the session already holds count as readable, and a write counts as
// moving when the session accepts bytes or the socket's queue drains.
//
// With a transport set (SetTransport), Open() connects through the proxy
// first, and after TLS upgrades the connection to WebSocket: the bytes given
// and read are then MQTT bytes in binary WebSocket messages, with the same
// rules again (the WebSocket layer's lock is the socket's own).
//
// Host, port, time-outs, TLS, the resolver, the cancel signal and the
// notifications are set before Open() by the thread that owns the object.
// Open() must not run while other threads still use the socket (Close() from
// any thread is fine at any time, and so is the cancel signal during Open()).
//
// A write that waits for room gives up only when nothing moved for its
// time-out: no byte taken, none acknowledged by the peer and no probe of the
// peer's closed receive window answered (TWriteProgress).
class TClientSocket {
public:
    using TNotify = std::function<void()>;

    TClientSocket();
    ~TClientSocket();   // closes (with the disconnect notification) if still active
    TClientSocket(const TClientSocket&) = delete;
    TClientSocket& operator=(const TClientSocket&) = delete;

    void SetHost(const std::string& host);   // host name, dotted IPv4 or IPv6 address
    void SetPort(int port);
    const std::string& Host() const { return FHost; }
    int Port() const { return FPort; }
    void SetOnConnect(TNotify notify);
    void SetOnDisconnect(TNotify notify);
    // Upper bound for one Open(): the name lookup, the connect (shared by all
    // addresses of the host) and the TLS handshake together.
    void SetConnectTimeout(int ms);             // default 5000
    // Who turns host names into addresses (tests put in their own); empty:
    // the system's resolver.
    void SetResolver(THostResolver resolver);
    // A cancel that ends Open() at once, from any thread (it lives longer than
    // the Open that uses it); none by default.
    void SetCancelSignal(const TCancelSignal* cancel);
    // SO_SNDBUF for the next Open(); 0 leaves the system's choice.
    void SetSendBufferSize(int bytes);
    // TLS for the next Open(); the default (Enabled false) keeps the clear
    // connection.
    void SetTls(const TTlsConfig& config);
    const TTlsConfig& Tls() const { return FTls; }
    // WebSocket and a proxy hop for the next Open(); the defaults keep the
    // plain connection.
    void SetTransport(const TTransportConfig& config);
    const TTransportConfig& Transport() const { return FTransport; }

    // Resolves the host and connects, trying each address in turn; with TLS
    // the handshake follows. Lookup, connect and handshake together keep
    // within the connect time-out, and the cancel signal ends any of them at
    // once. On success: active, then OnConnect. On failure: inactive,
    // OnDisconnect, the OS socket released, and an Exception "Connect エラー
    // <errno>, <text>" ("Lookup エラー ..." when the host does not resolve or
    // its lookup gave no answer, "TLS エラー <code>, <reason> (<where>)" when
    // the TLS files do not load - then before anything is connected - or the
    // handshake or the broker's certificate fails) is raised; ConnectFailure()
    // and OpenFailure() then say why. Does nothing when already active.
    void Open();
    // Why the last Open() failed, in English: "the host name does not resolve
    // (...)", "the host name lookup gave no answer within <n> ms", "connection
    // refused", "no answer within <n> ms", "cancelled by the user", "TLS
    // set-up failed: <reason> (<file>)", "TLS handshake failed: <OpenSSL's
    // reason>" (e.g. "certificate verify failed: hostname mismatch"), or the
    // system's text. Empty after a successful Open().
    const std::string& ConnectFailure() const { return FConnectFailure; }
    TOpenFailure OpenFailure() const { return FOpenFailure; }
    // Whether another Open() a moment later could go otherwise: after a
    // refused connect or a failure of the network, not after a time-out (the
    // whole time was used), a cancel, a name that does not exist or a TLS
    // refusal (the same certificate is refused again).
    bool OpenRetryCanHelp() const { return FOpenRetry; }
    // The TLS version of the connection ("TLSv1.3"); empty in clear text.
    std::string TlsVersion() const;
    // From any thread. If active: inactive, OnDisconnect on the calling
    // thread, then the connection is shut down in both directions, which wakes
    // every thread waiting on it. Does nothing when not active. True when
    // this call closed it (exactly one of several closers gets true).
    bool Close();
    bool Active() const { return FActive; }
    // Whether the connection is encrypted (TLS was on at the last Open()).
    bool Secured() const { return FSecured; }
    // Whether the connection carries WebSocket (it was on at the last Open()).
    bool OverWebSocket() const { return FWebSocketOn; }
    // The broker's WebSocket close frame in words ("WebSocket close 1001
    // going away: restarting"), once one came; empty otherwise.
    std::string PeerCloseDetail() const;
    // true when data can be read within the time-out (at once while the TLS
    // session holds bytes), also when the peer closed or the connection
    // failed (a read then tells which) or when the socket was closed
    // meanwhile. false at once when the socket is not active. Negative
    // time-out: no limit.
    bool WaitForData(int timeoutMs);

    // The reader's one wait per read: until the connection has something for
    // ReceiveAvailable (data, its end, a failure) or one of the handles (an
    // eventfd and the like; negative entries are ignored) is readable. With
    // watchSocket false only the handles end it, so that a reader can stop
    // reading. Returns a mask: kSocketReady for the socket, kHandleReady << i
    // for handles[i]; 0 on time-out (negative: no limit). On a socket that is
    // not active it returns kSocketReady at once.
    unsigned WaitForDataOr(std::initializer_list<int> handles, bool watchSocket, int timeoutMs);
    static constexpr unsigned kSocketReady = 1;
    static constexpr unsigned kHandleReady = 2;
    // One read of what is there now, without waiting, filling first and then
    // second (which may be null with count 0). 0 when nothing is there, when
    // the socket is not active, or when the peer closed the connection
    // (peerClosed then true). An OS failure raises "Read エラー <errno>, <text>".
    // Under TLS, "there" is what the session can decrypt without waiting; a
    // wake-up that brought no data (a session ticket) reads 0 without
    // peerClosed, and a broken TLS stream raises "Read エラー <code>, <reason>".
    int ReceiveAvailable(void* first, int firstCount, void* second, int secondCount, bool& peerClosed);

    // TCP_CORK: while set, the bytes of several writes leave in full segments;
    // clearing it sends what is held at once. Under TLS the writes also
    // gather into whole records (16 KB) while it is set; clearing it leaves
    // the last one for Flush() (or the next write) to send.
    void SetCork(bool on);
    // Sends the record gathered under TLS while corked, waiting for room as a
    // write does. false when nothing moved for the time-out; true at once on
    // a clear connection or with nothing gathered (also on a connection closed
    // since: the bytes written are out). Raises as a write does.
    bool Flush(int timeoutMs);
    // When bytes last moved out (steady clock, ns): a write accepted some, or
    // TCP told of progress while a write waited (TWriteProgress); also the
    // start of each write. Read by writers waiting for the one in progress.
    int64_t LastWriteActivity() const { return FWriteActivity; }
    // Under TLS: a write that returned 0 left a record the session must still
    // finish, or bytes gathered while corked are not sent yet; the next write
    // of any bytes sends them first. Whoever gave up that write has therefore
    // started something on the wire.
    bool WriteHeldBack() const;
    // The bytes written that the peer has not acknowledged yet: the kernel's
    // send queue, under TLS or WebSocket with what their layers hold; 0 on
    // a closed socket. moved says whether TCP saw them move since progress's
    // previous sample (the first call takes the first one). For a waiter that
    // must not count the time its request still takes to leave.
    int64_t UnacknowledgedBytes(std::optional<TWriteProgress>& progress, bool& moved);

private:
    friend class TSocketStream;
    // The clear descriptor or the TLS session as the WebSocket layer's link.
    class TLink;

    struct TConnectResult {
        int Fd = -1;
        int PendingError = 0;   // a failure the peer caused right after the handshake, which the first read reports
        TOpenFailure Kind = TOpenFailure::None;
        bool Retry = false;     // another attempt could go otherwise
        std::string Error;      // the raised text
        std::string Failure;    // the English reason
    };

    // 1: ready, 0: time-out. timeoutMs < 0: no limit.
    int PollFor(short events, int timeoutMs) const;
    int Receive(void* buffer, int count, int timeoutMs, bool& peerClosed);
    int Send(const void* buffer, int count, int timeoutMs);
    // One try under FLock: >= 0 the result (bytes accepted), < 0 -errno
    // (-EAGAIN: wait for `wait`); moved: bytes went out meanwhile.
    using TWriteAttempt = std::function<int(int fd, short& wait, bool& moved)>;
    // Tries until the attempt gives a result, waiting for room between tries;
    // 0 when nothing moved for timeoutMs (negative: no limit).
    int WriteWithProgress(int timeoutMs, const TWriteAttempt& attempt);
    int FlushStagedLocked(short& wait, bool& moved);
    // One write of the connection under the WebSocket layer (clear, or TLS
    // with the records gathered while corked), under FLock: as an attempt.
    int WriteLowerLocked(int fd, const void* buffer, int count, short& wait, bool& moved);
    int ReceiveAvailableWebSocket(void* first, int firstCount, void* second, int secondCount, bool& peerClosed);
    // The proxy's tunnel after connect, and the upgrade after TLS; each fails
    // Open (descriptor closed) when refused.
    void TunnelOrFail(const TConnectResult& connected, const TDeadline& deadline, int cancel);
    static TConnectResult StepFailed(const TStepFailure& failure);
    std::unique_ptr<TWebSocketSession> UpgradeOrFail(int fd, std::unique_ptr<TTlsSession>& session,
                                                     const TDeadline& deadline, int cancel);
    // The steps of Open(), each within the deadline and ended by the cancel
    // (an eventfd, -1: none); a failed one gives Fd -1 and says why.
    TConnectResult Resolve(const TDeadline& deadline, int cancel, std::vector<TResolvedAddress>& addresses) const;
    TConnectResult Connect(const std::vector<TResolvedAddress>& addresses, const TDeadline& deadline, int cancel) const;
    std::unique_ptr<TTlsSession> Handshake(const TTlsContext& context, const TConnectResult& connected,
                                           const TDeadline& deadline, int cancel);
    // What a failed Open() does after its clean-up: inactive, OnDisconnect, raise.
    [[noreturn]] void FailOpen(const TConnectResult& why);
    int ReceiveSecured(void* buffer, int count, int timeoutMs, bool& peerClosed);
    int ReadSecured(void* buffer, int count, bool& peerClosed, bool& gone);
    int ReceiveAvailableSecured(void* first, int firstCount, void* second, int secondCount, bool& peerClosed);
    bool SessionHoldsData() const;
    void ReleaseDescriptor();
    void NoteWriteActivity();

    std::string FHost;
    int FPort = 0;
    int FConnectTimeoutMs = 5000;
    int FSendBufferSize = 0;
    TTlsConfig FTls;
    TTransportConfig FTransport;
    THostResolver FResolver;
    const TCancelSignal* FCancel = nullptr;
    TNotify FOnConnect;
    TNotify FOnDisconnect;
    std::string FConnectFailure;
    TOpenFailure FOpenFailure = TOpenFailure::None;
    bool FOpenRetry = false;

    std::atomic<bool> FActive{false};
    std::atomic<bool> FSecured{false};
    // The event the TLS session waits for before a read can go on (POLLIN,
    // or POLLOUT while it must send first); POLLIN on a clear connection.
    std::atomic<short> FReadWait;
    std::atomic<int64_t> FWriteActivity{0};
    int FPendingError = 0;   // guarded by FLock
    // The descriptor stays open after Close() (which only shuts it down) until
    // the next Open() or the destructor. Other threads may still be about to
    // poll it; were it closed, the number could be handed to a file or socket
    // opened elsewhere in the process meanwhile, and their read or write would
    // reach that one. Reads and writes take the descriptor under FLock and
    // check FActive there, so they never use one that was released.
    std::atomic<int> FFd{-1};
    // The TLS session over FFd: made and freed with the descriptor, used
    // under FLock.
    std::unique_ptr<TTlsSession> FSession;
    // The WebSocket layer over FFd or FSession: made and freed with the
    // descriptor, used under FLock.
    std::unique_ptr<TWebSocketSession> FWebSocket;
    std::atomic<bool> FWebSocketOn{false};
    // Under TLS while corked: the plaintext gathered for the next record;
    // under WebSocket, corked pieces gather into whole messages (guarded by FLock).
    bool FCorkOn = false;
    std::vector<uint8_t> FStaged;
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
    // Writes what the connection takes now, waiting for room: may be fewer
    // bytes than asked, 0 when nothing moved for the time-out. Bytes the peer
    // acknowledges and its answers to the probes of its closed window count as
    // moving, so a slow link that drains steadily, or a reader that opens its
    // window in bursts, never times out even while the system does not yet
    // report the socket writable. An OS failure, or a socket that is not
    // active, raises Exception "Write エラー <errno>, <text>". No SIGPIPE on a
    // closed connection.
    int Write(const void* buffer, int count);
    // What TClientSocket::Flush does, with the stream's time-out.
    bool Flush();

private:
    TClientSocket& FSocket;
    int FTimeoutMs;
    std::atomic<bool> FPeerClosed{false};
};
