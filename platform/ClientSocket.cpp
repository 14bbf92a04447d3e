#include "platform/ClientSocket.h"

#include "platform/Deadline.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/CancelSignal.h"
#include "platform/Error.h"
#include "platform/SystemError.h"
#include "platform/TlsContext.h"
#include "platform/TlsError.h"
#include "platform/TlsSession.h"
#include "platform/ProxyHop.h"
#include "platform/WebSocketHandshake.h"
#include "platform/WebSocketSession.h"
#include "platform/WriteProgress.h"

namespace {

using TClock = std::chrono::steady_clock;

// How often a write that waits for room asks TCP whether its bytes move: the
// system reports room only once about a third of the send buffer is free, and
// a slow reader's window opens in bursts, both of which can take longer than
// the write's time-out while bytes do move.
constexpr int kDrainCheckMs = 100;

int64_t SteadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch()).count();
}

} // namespace

// Under the WebSocket layer: at Open (socket null) straight on the descriptor
// or the session not yet published; afterwards under FLock through the
// socket's own writes, so that TLS records still gather while corked.
class TClientSocket::TLink final : public TByteLink {
public:
    TLink(TClientSocket* socket, int fd, TTlsSession* session) : FSocket(socket), FFd(fd), FSession(session) {}

    int Write(const uint8_t* data, int count, short& wait) override
    {
        wait = POLLOUT;
        int result = 0;
        if (FSocket) {
            bool moved = false;
            result = FSocket->WriteLowerLocked(FFd, data, count, wait, moved);
        } else if (FSession) {
            result = FSession->Write(data, count, wait);
        } else {
            const ssize_t sent = ::send(FFd, data, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
            result = sent >= 0 ? static_cast<int>(sent) : -errno;
        }
        if (result >= 0)
            return result;
        if (result == -EAGAIN || result == -EWOULDBLOCK || result == -EINTR)
            return 0;
        throw Exception(SocketErrorMessage("Write", -result, SystemErrorText(-result)));
    }

    int Read(uint8_t* buffer, int count, short& wait, bool& ended) override
    {
        wait = POLLIN;
        if (FSession) {
            const int got = FSession->Read(buffer, count, wait);
            if (got == 0 && wait == 0)
                ended = true;   // the broker's end of the TLS stream, or our own shutdown
            return got;
        }
        int failure = FSocket ? std::exchange(FSocket->FPendingError, 0) : 0;
        if (failure == 0) {
            const ssize_t got = ::recv(FFd, buffer, static_cast<size_t>(count), MSG_DONTWAIT);
            if (got > 0)
                return static_cast<int>(got);
            if (got == 0) {
                ended = true;
                return 0;
            }
            failure = errno;
        }
        if (failure == EAGAIN || failure == EWOULDBLOCK || failure == EINTR)
            return 0;
        throw Exception(SocketErrorMessage("Read", failure, SystemErrorText(failure)));
    }

private:
    TClientSocket* FSocket;
    int FFd;
    TTlsSession* FSession;
};

// ---- TClientSocket ------------------------------------------------------------

TClientSocket::TClientSocket() : FReadWait(POLLIN) {}

TClientSocket::~TClientSocket()
{
    try {
        Close();
    } catch (...) {
        // A failing notification must not escape a destructor.
    }
    ReleaseDescriptor();
}

void TClientSocket::SetHost(const std::string& host) { FHost = host; }
void TClientSocket::SetPort(int port) { FPort = port; }
void TClientSocket::SetOnConnect(TNotify notify) { FOnConnect = std::move(notify); }
void TClientSocket::SetOnDisconnect(TNotify notify) { FOnDisconnect = std::move(notify); }
void TClientSocket::SetConnectTimeout(int ms) { FConnectTimeoutMs = ms; }
void TClientSocket::SetSendBufferSize(int bytes) { FSendBufferSize = bytes; }
void TClientSocket::SetTls(const TTlsConfig& config) { FTls = config; }
void TClientSocket::SetTransport(const TTransportConfig& config) { FTransport = config; }
void TClientSocket::SetResolver(THostResolver resolver) { FResolver = std::move(resolver); }
void TClientSocket::SetCancelSignal(const TCancelSignal* cancel) { FCancel = cancel; }

void TClientSocket::ReleaseDescriptor()
{
    std::lock_guard<std::mutex> guard(FLock);
    // The session goes with its descriptor, never in Close(): a thread may
    // still be on its way into it until then.
    FWebSocket.reset();
    FWebSocketOn = false;
    FSession.reset();
    FSecured = false;
    FStaged.clear();
    FCorkOn = false;
    int fd = FFd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

TClientSocket::TConnectResult TClientSocket::Resolve(
    const TDeadline& deadline, int cancel, std::vector<TResolvedAddress>& addresses) const
{
    TConnectResult result;
    // Through a proxy the connection is made to the proxy, which connects on.
    const TProxyConfig& proxy = FTransport.Proxy;
    const TLookupResult lookup = proxy.Kind != TProxyKind::None
                                     ? LookupHost(proxy.Host, proxy.Port, deadline, cancel, FResolver)
                                     : LookupHost(FHost, FPort, deadline, cancel, FResolver);
    switch (lookup.End) {
    case TLookupResult::Cancelled:
        result.Kind = TOpenFailure::Cancelled;
        result.Error = SocketErrorMessage("Lookup", ECANCELED, SystemErrorText(ECANCELED));
        result.Failure = "cancelled by the user";
        return result;
    case TLookupResult::TimedOut:
        result.Kind = TOpenFailure::TimedOut;
        result.Error = SocketErrorMessage("Lookup", ETIMEDOUT, SystemErrorText(ETIMEDOUT));
        result.Failure = "the host name lookup gave no answer within " + std::to_string(FConnectTimeoutMs) + " ms";
        return result;
    case TLookupResult::Answered:
        break;
    }
    if (lookup.Code != 0 || lookup.Addresses.empty()) {
        const int code = lookup.Code == EAI_SYSTEM ? lookup.SystemError : lookup.Code != 0 ? lookup.Code : EAI_NONAME;
        const std::string text = lookup.Code == EAI_SYSTEM ? SystemErrorText(code) : gai_strerror(code);
        result.Kind = TOpenFailure::Lookup;
        // A name server that could not answer now may answer a moment later; a name that does not exist will not.
        result.Retry = lookup.Code == EAI_AGAIN;
        result.Error = SocketErrorMessage("Lookup", code, text);
        result.Failure = "the host name does not resolve (" + text + ")";
        return result;
    }
    addresses = lookup.Addresses;
    return result;
}

TClientSocket::TConnectResult TClientSocket::Connect(
    const std::vector<TResolvedAddress>& addresses, const TDeadline& deadline, int cancel) const
{
    TConnectResult result;
    // Each address gets an equal share of what is left, so one that never
    // answers cannot use up the time of those behind it.
    int lastError = EHOSTUNREACH;
    int connected = -1;
    for (size_t i = 0; i < addresses.size() && connected < 0; ++i) {
        const TResolvedAddress& address = addresses[i];
        const bool last = i + 1 == addresses.size();
        int fd = ::socket(address.Family, address.SockType | SOCK_NONBLOCK | SOCK_CLOEXEC, address.Protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        if (FSendBufferSize > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &FSendBufferSize, sizeof FSendBufferSize);
        int connectResult = ::connect(fd, reinterpret_cast<const sockaddr*>(&address.Address), address.Length);
        int failure = connectResult == 0 ? 0 : errno;
        if (failure == EINPROGRESS) {
            const int left = deadline.RemainingMs();
            const TDeadline share(left < 0 ? -1 : left / static_cast<int>(addresses.size() - i));
            switch (PollUntil(fd, POLLOUT, last ? deadline : share, cancel)) {
            case TPollEnd::Cancelled:
                failure = ECANCELED;
                break;
            case TPollEnd::TimedOut:
                failure = ETIMEDOUT;
                break;
            case TPollEnd::Ready: {
                socklen_t length = sizeof failure;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0)
                    failure = errno;
                break;
            }
            }
        }
        // A reset that arrived after the handshake completed: a blocking connect
        // would have succeeded, and the reset shows on the first read.
        if (failure == ECONNRESET || failure == EPIPE) {
            result.PendingError = failure;
            failure = 0;
        }
        if (failure == 0) {
            connected = fd;
        } else {
            lastError = failure;
            ::close(fd);   // never published: nobody else can hold this number
        }
        if (failure == ECANCELED || (deadline.RemainingMs() == 0 && connected < 0))
            break;
    }
    if (connected < 0) {
        result.Error = SocketErrorMessage("Connect", lastError, SystemErrorText(lastError));
        switch (lastError) {
        case ECONNREFUSED:
            result.Kind = TOpenFailure::Refused;
            result.Retry = true;   // a broker that is starting listens a moment later
            result.Failure = "connection refused";
            break;
        case ETIMEDOUT:
            result.Kind = TOpenFailure::TimedOut;
            result.Failure = "no answer within " + std::to_string(FConnectTimeoutMs) + " ms";
            break;
        case ECANCELED:
            result.Kind = TOpenFailure::Cancelled;
            result.Failure = "cancelled by the user";
            break;
        default:
            result.Kind = TOpenFailure::Network;
            result.Retry = true;
            result.Failure = SystemErrorText(lastError);
            break;
        }
        return result;
    }
    // Frames go out in small pieces; they should not wait for earlier ACKs.
    // A long frame is corked around its pieces instead (SetCork).
    int one = 1;
    ::setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    result.Fd = connected;
    return result;
}

void TClientSocket::FailOpen(const TConnectResult& why)
{
    FConnectFailure = why.Failure;
    FOpenFailure = why.Kind;
    FOpenRetry = why.Retry;
    FActive = false;
    if (FOnDisconnect)
        FOnDisconnect();
    throw Exception(why.Error);
}

std::unique_ptr<TTlsSession> TClientSocket::Handshake(
    const TTlsContext& context, const TConnectResult& connected, const TDeadline& deadline, int cancel)
{
    std::unique_ptr<TTlsSession> session;
    TConnectResult why;
    try {
        if (connected.PendingError != 0) {
            // Reset right after the TCP handshake: there is nobody to speak TLS with.
            const std::string text = SystemErrorText(connected.PendingError);
            why.Kind = TOpenFailure::Network;
            why.Retry = true;
            why.Failure = "TLS handshake failed: " + text;
            throw Exception(TlsErrorMessage(connected.PendingError, text, FHost + ":" + std::to_string(FPort)));
        }
        session = std::make_unique<TTlsSession>(context, connected.Fd, FHost, FPort);
        session->Handshake(deadline.RemainingMs(), cancel);
        return session;
    } catch (const Exception& raised) {
        why.Error = raised.Message();
        if (why.Kind != TOpenFailure::None) {
            // said above
        } else if (!session) {
            why.Kind = TOpenFailure::TlsHandshake;
            why.Failure = "TLS handshake failed: " + TlsErrorReason(why.Error);
        } else if (session->FailureCode() == ETIMEDOUT && session->FailureKind() == TTlsSession::TFailure::System) {
            why.Kind = TOpenFailure::TimedOut;
            why.Failure = "TLS handshake failed: no answer within " + std::to_string(FConnectTimeoutMs) + " ms";
        } else if (session->FailureCode() == ECANCELED && session->FailureKind() == TTlsSession::TFailure::System) {
            why.Kind = TOpenFailure::Cancelled;
            why.Failure = "cancelled by the user";
        } else {
            switch (session->FailureKind()) {
            case TTlsSession::TFailure::Certificate:
                why.Kind = TOpenFailure::TlsCertificate;
                break;
            case TTlsSession::TFailure::System:
                why.Kind = TOpenFailure::Network;   // reset or refused by the system: perhaps not next time
                why.Retry = true;
                break;
            default:
                why.Kind = TOpenFailure::TlsHandshake;
                break;
            }
            why.Failure = "TLS handshake failed: " + session->FailureText();
        }
    }
    session.reset();
    ::close(connected.Fd);   // never published: nobody else can hold this number
    FailOpen(why);
}

TClientSocket::TConnectResult TClientSocket::StepFailed(const TStepFailure& failure)
{
    TConnectResult why;
    why.Kind = failure.Kind;
    why.Retry = failure.Retry;
    why.Failure = failure.Failure;
    why.Error = failure.Error;
    return why;
}

void TClientSocket::TunnelOrFail(const TConnectResult& connected, const TDeadline& deadline, int cancel)
{
    TStepFailure failure;
    if (ProxyTunnel(connected.Fd, FTransport.Proxy, FHost, FPort, deadline, cancel, FConnectTimeoutMs, failure))
        return;
    ::close(connected.Fd);   // never published: nobody else can hold this number
    FailOpen(StepFailed(failure));
}

std::unique_ptr<TWebSocketSession> TClientSocket::UpgradeOrFail(
    int fd, std::unique_ptr<TTlsSession>& session, const TDeadline& deadline, int cancel)
{
    TLink link(nullptr, fd, session.get());
    std::vector<uint8_t> rest;
    TStepFailure failure;
    if (UpgradeToWebSocket(link, fd, FTransport.WebSocket, FHost, FPort, session != nullptr, deadline, cancel,
                           FConnectTimeoutMs, rest, failure))
        return std::make_unique<TWebSocketSession>(std::move(rest));
    session.reset();
    ::close(fd);   // never published: nobody else can hold this number
    FailOpen(StepFailed(failure));
}

std::string TClientSocket::PeerCloseDetail() const
{
    if (!FWebSocketOn)
        return {};
    std::lock_guard<std::mutex> guard(FLock);
    return FWebSocket ? FWebSocket->PeerClose() : std::string();
}

void TClientSocket::Open()
{
    if (FActive)
        return;
    // The previous connection's descriptor (shut down by Close) goes now.
    ReleaseDescriptor();

    // Lookup, connect and handshake: one time-out for them all.
    const TDeadline deadline(FConnectTimeoutMs);
    const int cancel = FCancel ? FCancel->Handle() : -1;
    TConnectResult why;
    const bool viaProxy = FTransport.Proxy.Kind != TProxyKind::None;
    if (FPort < 0 || FPort > 65535 || (viaProxy && (FTransport.Proxy.Port < 0 || FTransport.Proxy.Port > 65535))) {
        why.Kind = TOpenFailure::InvalidPort;
        why.Error = SocketErrorMessage("Connect", EINVAL, SystemErrorText(EINVAL));
        why.Failure = "invalid port number";
        FailOpen(why);
    }
    if (FCancel && FCancel->Cancelled()) {
        why.Kind = TOpenFailure::Cancelled;
        why.Error = SocketErrorMessage("Connect", ECANCELED, SystemErrorText(ECANCELED));
        why.Failure = "cancelled by the user";
        FailOpen(why);
    }
    std::unique_ptr<TTlsContext> context;
    if (FTls.Enabled) {
        // A file that does not load fails now, before the broker is contacted.
        try {
            context = std::make_unique<TTlsContext>(FTls);
        } catch (const Exception& error) {
            why.Kind = TOpenFailure::TlsSetup;
            why.Error = error.Message();
            why.Failure = "TLS set-up failed: " + TlsErrorReason(error.Message());
            FailOpen(why);
        }
    }
    // A failure to reach the proxy names it.
    auto failAt = [&](TConnectResult failed) {
        if (viaProxy && failed.Kind != TOpenFailure::Cancelled)
            failed.Failure = "proxy " + ProxyPlace(FTransport.Proxy) + ": " + failed.Failure;
        FailOpen(failed);
    };
    std::vector<TResolvedAddress> addresses;
    if (why = Resolve(deadline, cancel, addresses); why.Kind != TOpenFailure::None)
        failAt(why);
    TConnectResult connected = Connect(addresses, deadline, cancel);
    if (connected.Fd < 0)
        failAt(connected);
    if (viaProxy)
        TunnelOrFail(connected, deadline, cancel);
    std::unique_ptr<TTlsSession> session;
    if (context)
        session = Handshake(*context, connected, deadline, cancel);
    std::unique_ptr<TWebSocketSession> webSocket;
    if (FTransport.WebSocket.Enabled)
        webSocket = UpgradeOrFail(connected.Fd, session, deadline, cancel);
    FConnectFailure.clear();
    FOpenFailure = TOpenFailure::None;
    FOpenRetry = false;
    {
        std::lock_guard<std::mutex> guard(FLock);
        FFd = connected.Fd;
        // Under TLS the handshake has met any error the connect left behind.
        FPendingError = session ? 0 : connected.PendingError;
        FSecured = session != nullptr;
        FSession = std::move(session);
        FWebSocketOn = webSocket != nullptr;
        FWebSocket = std::move(webSocket);
        FReadWait = POLLIN;
    }
    FActive = true;
    if (FOnConnect)
        FOnConnect();
}

std::string TClientSocket::TlsVersion() const
{
    std::lock_guard<std::mutex> guard(FLock);
    return FSession ? FSession->Version() : std::string();
}

bool TClientSocket::Close()
{
    // Exactly one closer wins, so the notification runs once.
    if (!FActive.exchange(false))
        return false;
    auto shutDown = [this] {
        std::lock_guard<std::mutex> guard(FLock);
        // The WebSocket close frame and close_notify first (if they fit now),
        // then the descriptor, which wakes every thread that waits on it.
        if (FWebSocket && FFd >= 0) {
            TLink link(this, FFd, FSession.get());
            FWebSocket->Shutdown(link);
        }
        if (FSession)
            FSession->Shutdown();
        int fd = FFd;
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
    };
    try {
        if (FOnDisconnect)
            FOnDisconnect();
    } catch (...) {
        shutDown();
        throw;
    }
    shutDown();
    return true;
}

int TClientSocket::PollFor(short events, int timeoutMs) const
{
    int fd = FFd;
    if (fd < 0)
        return 1;   // the caller re-checks under the lock
    return PollUntil(fd, events, TDeadline(timeoutMs)) ? 1 : 0;
}

bool TClientSocket::SessionHoldsData() const
{
    if (!FSecured && !FWebSocketOn)
        return false;
    std::lock_guard<std::mutex> guard(FLock);
    return (FSession && FSession->HasBufferedData()) || (FWebSocket && FWebSocket->HasBufferedData());
}

bool TClientSocket::WaitForData(int timeoutMs)
{
    if (!FActive)
        return false;
    // Bytes the session decrypted already are not in the descriptor: polling
    // for them would wait for what has arrived.
    if (SessionHoldsData())
        return true;
    return PollFor(FReadWait, timeoutMs) > 0;
}

// One SSL_read under the lock. gone: the socket is closed (0 returned).
int TClientSocket::ReadSecured(void* buffer, int count, bool& peerClosed, bool& gone)
{
    std::lock_guard<std::mutex> guard(FLock);
    if (!FActive || FFd < 0 || !FSession) {
        gone = true;
        return 0;
    }
    short wait = 0;
    const int got = FSession->Read(buffer, count, wait);
    if (got > 0)
        return got;
    if (wait == 0) {
        // The end of the TLS stream, or our own shutdown (not the peer's).
        peerClosed = FSession->PeerClosed();
        gone = true;
        return 0;
    }
    FReadWait = wait;
    // Everything there is read: acknowledge it now rather than up to 40 ms
    // later. A broker without TCP_NODELAY (mosquitto's default) holds a
    // small write until its previous one is acknowledged, and under TLS its
    // session tickets come just before the first answer.
    const int one = 1;
    ::setsockopt(FFd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    return 0;
}

int TClientSocket::ReceiveSecured(void* buffer, int count, int timeoutMs, bool& peerClosed)
{
    // Read first, wait second: the session may hold bytes that poll() cannot see.
    TDeadline deadline(timeoutMs);
    for (;;) {
        bool gone = false;
        const int got = ReadSecured(buffer, count, peerClosed, gone);
        if (got > 0 || gone)
            return got;
        const int fd = FFd;
        if (fd < 0 || !PollUntil(fd, FReadWait, deadline))
            return 0;
    }
}

int TClientSocket::Receive(void* buffer, int count, int timeoutMs, bool& peerClosed)
{
    if (count <= 0)
        return 0;
    if (FWebSocketOn) {
        TDeadline deadline(timeoutMs);
        for (;;) {
            if (!WaitForData(deadline.RemainingMs()))
                return 0;
            const int got = ReceiveAvailable(buffer, count, nullptr, 0, peerClosed);
            if (got > 0 || peerClosed || !FActive || deadline.RemainingMs() == 0)
                return got;
        }
    }
    if (FSecured)
        return ReceiveSecured(buffer, count, timeoutMs, peerClosed);
    TDeadline deadline(timeoutMs);
    for (;;) {
        const int fd = FFd;
        if (!FActive || fd < 0 || !PollUntil(fd, POLLIN, deadline))
            return 0;
        // One read of what is there; nothing yet (a wake-up without data)
        // waits again while time is left.
        const int got = ReceiveAvailable(buffer, count, nullptr, 0, peerClosed);
        if (got > 0 || peerClosed || deadline.RemainingMs() == 0)
            return got;
    }
}

void TClientSocket::NoteWriteActivity()
{
    FWriteActivity = SteadyNowNs();
}

int TClientSocket::WriteWithProgress(int timeoutMs, const TWriteAttempt& attempt)
{
    // The time-out runs from the last time bytes moved, not from the call: a
    // write on a slow link waits as long as the queued bytes keep draining.
    NoteWriteActivity();
    auto lastMove = TClock::now();
    std::optional<TWriteProgress> progress;
    for (;;) {
        int failure = 0;
        int fd = -1;
        bool drained = false;
        short wait = POLLOUT;
        {
            std::lock_guard<std::mutex> guard(FLock);
            fd = FFd;
            if (!FActive || fd < 0) {
                failure = ENOTCONN;
            } else {
                bool moved = false;
                const int done = attempt(fd, wait, moved);
                if (moved) {
                    lastMove = TClock::now();
                    NoteWriteActivity();
                }
                if (done >= 0)
                    return done;
                failure = -done;
                if (failure == EAGAIN || failure == EWOULDBLOCK) {
                    if (progress)
                        drained = progress->Moved(fd);
                    else
                        progress.emplace(fd);
                }
            }
        }
        if (failure == EINTR)
            continue;
        if (failure != EAGAIN && failure != EWOULDBLOCK)
            throw Exception(SocketErrorMessage("Write", failure, SystemErrorText(failure)));
        if (drained) {
            lastMove = TClock::now();
            NoteWriteActivity();
        }
        int waitMs = kDrainCheckMs;
        if (timeoutMs >= 0) {
            const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - lastMove).count();
            if (idle >= timeoutMs)
                return 0;
            waitMs = std::min<int>(waitMs, static_cast<int>(timeoutMs - idle));
        }
        PollUntil(fd, wait, TDeadline(waitMs));
    }
}

int TClientSocket::FlushStagedLocked(short& wait, bool& moved)
{
    const int sent = FSession->Write(FStaged.data(), static_cast<int>(FStaged.size()), wait);
    if (sent > 0) {
        FStaged.erase(FStaged.begin(), FStaged.begin() + sent);
        moved = true;
    }
    return sent;
}

int TClientSocket::WriteLowerLocked(int fd, const void* buffer, int count, short& wait, bool& moved)
{
    if (!FSession) {
        const ssize_t sent = ::send(fd, buffer, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0)
            return -errno;
        moved = sent > 0;
        return static_cast<int>(sent);
    }
    for (;;) {
        // While corked, pieces gather into whole records: a 2000-byte
        // record each would cost the broker one read and one decryption
        // per piece.
        const int room = TTlsSession::kRecordBytes - static_cast<int>(FStaged.size());
        if (FCorkOn && room > 0) {
            const int taken = std::min(count, room);
            const auto* bytes = static_cast<const uint8_t*>(buffer);
            FStaged.insert(FStaged.end(), bytes, bytes + taken);
            moved = true;
            return taken;
        }
        if (FStaged.empty()) {
            // 0: nothing accepted now; the same bytes are offered again
            // once the socket can take more.
            const int sent = FSession->Write(buffer, count, wait);
            moved = sent > 0;
            return sent > 0 ? sent : -EAGAIN;
        }
        // The gathered record goes first, then these bytes.
        if (FlushStagedLocked(wait, moved) == 0)
            return -EAGAIN;
    }
}

int TClientSocket::Send(const void* buffer, int count, int timeoutMs)
{
    if (count <= 0)
        return 0;
    return WriteWithProgress(timeoutMs, [&](int fd, short& wait, bool& moved) -> int {
        if (FWebSocket) {
            // Corked pieces gather into one message, sent whole by Flush().
            TLink link(this, fd, FSession.get());
            const int taken =
                FWebSocket->Write(link, static_cast<const uint8_t*>(buffer), count, FCorkOn, wait, moved);
            return taken > 0 ? taken : -EAGAIN;
        }
        return WriteLowerLocked(fd, buffer, count, wait, moved);
    });
}

bool TClientSocket::Flush(int timeoutMs)
{
    if (!FSecured && !FWebSocketOn)
        return true;
    {
        // Nothing gathered: every byte written is out, whatever became of the
        // connection since (the broker may have hung up after a DISCONNECT).
        std::lock_guard<std::mutex> guard(FLock);
        if (FStaged.empty() && !(FWebSocket && FWebSocket->HasPendingWrite()))
            return true;
    }
    return WriteWithProgress(timeoutMs, [&](int fd, short& wait, bool& moved) -> int {
        if (FWebSocket) {
            TLink link(this, fd, FSession.get());
            if (!FWebSocket->Flush(link, wait, moved))
                return -EAGAIN;
        }
        while (FSession && !FStaged.empty())
            if (FlushStagedLocked(wait, moved) == 0)
                return -EAGAIN;
        return 1;
    }) > 0;
}

bool TClientSocket::WriteHeldBack() const
{
    if (!FSecured && !FWebSocketOn)
        return false;
    std::lock_guard<std::mutex> guard(FLock);
    return !FStaged.empty() || (FSession && FSession->HasPendingWrite()) ||
           (FWebSocket && FWebSocket->HasPendingWrite());
}

int64_t TClientSocket::UnacknowledgedBytes(std::optional<TWriteProgress>& progress, bool& moved)
{
    moved = false;
    std::lock_guard<std::mutex> guard(FLock);
    const int fd = FFd;
    if (!FActive || fd < 0)
        return 0;
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0)
        queued = 0;
    if (progress)
        moved = progress->Moved(fd);
    else
        progress.emplace(fd);
    // A record or WebSocket frame begun and not finished counts as a byte.
    const bool begun = (FSession && FSession->HasPendingWrite()) || (FWebSocket && FWebSocket->HasPendingWrite());
    return int64_t{queued} + static_cast<int64_t>(FStaged.size()) + (begun ? 1 : 0);
}

unsigned TClientSocket::WaitForDataOr(std::initializer_list<int> handles, bool watchSocket, int timeoutMs)
{
    constexpr size_t kMaxHandles = 4;
    if (!FActive)
        return kSocketReady;
    pollfd entries[kMaxHandles + 1];
    unsigned bits[kMaxHandles + 1];
    nfds_t count = 0;
    const int fd = FFd;
    // Bytes the TLS session holds are ready now; the handles are still
    // looked at, without waiting.
    const bool held = watchSocket && SessionHoldsData();
    if (watchSocket) {
        if (fd < 0)
            return kSocketReady;   // the caller re-checks under the lock
        entries[count] = {fd, FReadWait, 0};
        bits[count++] = kSocketReady;
    }
    unsigned bit = kHandleReady;
    for (int handle : handles) {
        if (handle >= 0 && count <= kMaxHandles) {
            entries[count] = {handle, POLLIN, 0};
            bits[count++] = bit;
        }
        bit <<= 1;
    }
    const TDeadline deadline(held ? 0 : timeoutMs);
    for (;;) {
        const int result = ::poll(entries, count, deadline.RemainingMs());
        if (result == 0)
            return held ? kSocketReady : 0;
        if (result < 0) {
            if (errno == EINTR)
                continue;
            return kSocketReady;   // let the following read report the failure
        }
        unsigned ready = held ? kSocketReady : 0;
        for (nfds_t i = 0; i < count; ++i)
            if (entries[i].revents != 0)
                ready |= bits[i];
        return ready;
    }
}

int TClientSocket::ReceiveAvailable(void* first, int firstCount, void* second, int secondCount, bool& peerClosed)
{
    if (firstCount < 0 || secondCount < 0 || firstCount + static_cast<int64_t>(secondCount) <= 0)
        return 0;
    if (FWebSocketOn)
        return ReceiveAvailableWebSocket(first, firstCount, second, secondCount, peerClosed);
    if (FSecured)
        return ReceiveAvailableSecured(first, firstCount, second, secondCount, peerClosed);
    int failure = 0;
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FActive || FFd < 0)
            return 0;
        if (FPendingError != 0) {
            failure = std::exchange(FPendingError, 0);
        } else {
            iovec areas[2] = {{first, static_cast<size_t>(firstCount)}, {second, static_cast<size_t>(secondCount)}};
            msghdr message{};
            message.msg_iov = firstCount > 0 ? areas : areas + 1;
            message.msg_iovlen = (firstCount > 0 ? 1 : 0) + (secondCount > 0 ? 1 : 0);
            const ssize_t got = ::recvmsg(FFd, &message, MSG_DONTWAIT);
            if (got > 0)
                return static_cast<int>(got);
            if (got == 0) {
                peerClosed = true;
                return 0;
            }
            failure = errno;
        }
    }
    if (failure == EAGAIN || failure == EWOULDBLOCK || failure == EINTR)
        return 0;
    throw Exception(SocketErrorMessage("Read", failure, SystemErrorText(failure)));
}

// SSL_read gives one record at a time: records are read until the areas are
// full or nothing more can be decrypted without waiting. The lock is taken
// for each record, so that writers are not held up by a long read.
int TClientSocket::ReceiveAvailableSecured(
    void* first, int firstCount, void* second, int secondCount, bool& peerClosed)
{
    struct {
        uint8_t* Data;
        int Left;
    } areas[2] = {{static_cast<uint8_t*>(first), firstCount}, {static_cast<uint8_t*>(second), secondCount}};
    int total = 0;
    for (auto& area : areas) {
        while (area.Left > 0) {
            bool gone = false;
            bool closed = false;
            int got = 0;
            try {
                got = ReadSecured(area.Data, area.Left, closed, gone);
            } catch (const Exception&) {
                // As on a clear connection, the bytes before a failure are
                // delivered first; the session raises it again next time.
                if (total > 0)
                    return total;
                throw;
            }
            if (got == 0) {
                // The end shows on its own, after the bytes read before it.
                if (total == 0)
                    peerClosed = closed;
                return total;
            }
            area.Data += got;
            area.Left -= got;
            total += got;
        }
    }
    return total;
}

int TClientSocket::ReceiveAvailableWebSocket(
    void* first, int firstCount, void* second, int secondCount, bool& peerClosed)
{
    std::lock_guard<std::mutex> guard(FLock);
    if (!FActive || FFd < 0 || !FWebSocket)
        return 0;
    TLink link(this, FFd, FSession.get());
    struct {
        uint8_t* Data;
        int Count;
    } areas[2] = {{static_cast<uint8_t*>(first), firstCount}, {static_cast<uint8_t*>(second), secondCount}};
    int total = 0;
    for (const auto& area : areas) {
        if (area.Count <= 0)
            continue;
        short wait = POLLIN;
        bool closed = false;
        int got = 0;
        try {
            got = FWebSocket->Read(link, area.Data, area.Count, wait, closed);
        } catch (const Exception&) {
            // The bytes before a failure are delivered first; the session
            // raises it again next time.
            if (total > 0)
                return total;
            throw;
        }
        FReadWait = wait;
        total += got;
        // The end shows on its own, after the bytes read before it.
        if (total == 0)
            peerClosed = closed;
        if (got < area.Count)
            break;
    }
    return total;
}

void TClientSocket::SetCork(bool on)
{
    std::lock_guard<std::mutex> guard(FLock);
    const int fd = FFd;
    if (fd < 0)
        return;
    const int value = on ? 1 : 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
    FCorkOn = on && (FSession || FWebSocket);
}

// ---- TSocketStream ------------------------------------------------------------

TSocketStream::TSocketStream(TClientSocket& socket, int timeoutMs) : FSocket(socket), FTimeoutMs(timeoutMs) {}

int TSocketStream::Read(void* buffer, int count)
{
    bool peerClosed = false;
    int got = FSocket.Receive(buffer, count, FTimeoutMs, peerClosed);
    if (peerClosed)
        FPeerClosed = true;
    return got;
}

int TSocketStream::Write(const void* buffer, int count)
{
    return FSocket.Send(buffer, count, FTimeoutMs);
}

bool TSocketStream::Flush()
{
    return FSocket.Flush(FTimeoutMs);
}
