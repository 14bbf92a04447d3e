#include "platform/ClientSocket.h"

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
#include <sys/socket.h>
#include <unistd.h>

#include "platform/CodePage.h"
#include "platform/Error.h"

namespace {

using TClock = std::chrono::steady_clock;

// Time left until deadline in ms for poll(); -1 (no limit) when there is none.
class TDeadline {
public:
    explicit TDeadline(int timeoutMs)
        : FUnlimited(timeoutMs < 0), FEnd(TClock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs))
    {
    }
    int RemainingMs() const
    {
        if (FUnlimited)
            return -1;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(FEnd - TClock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }

private:
    bool FUnlimited;
    TClock::time_point FEnd;
};

// 1 when any of events (or an error/hang-up) is reported, 0 on time-out.
int PollDescriptor(int fd, short events, const TDeadline& deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        int result = ::poll(&entry, 1, deadline.RemainingMs());
        if (result > 0)
            return 1;
        if (result == 0)
            return 0;
        if (errno != EINTR)
            return 1;   // let the following read or write report the failure
    }
}

// strerror_r comes in a GNU and an XSI flavour; both are handled.
[[maybe_unused]] std::string ErrorTextOf(const char* result, const char*) { return result; }
[[maybe_unused]] std::string ErrorTextOf(int result, const char* buffer)
{
    return result == 0 ? buffer : "Unknown error";
}

} // namespace

std::string SystemErrorText(int code)
{
    char buffer[256] = {};
    return ErrorTextOf(strerror_r(code, buffer, sizeof buffer), buffer);
}

std::string SocketErrorMessage(const char* operation, int code, const std::string& text)
{
    // Converted on every call: the code page may change while the program runs.
    return operation + CodePage::FromUTF8Literal(" エラー ") + std::to_string(code) + ", " + text;
}

// ---- TClientSocket ------------------------------------------------------------

TClientSocket::TClientSocket() = default;

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

void TClientSocket::ReleaseDescriptor()
{
    std::lock_guard<std::mutex> guard(FLock);
    int fd = FFd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

int TClientSocket::Connect(std::string& error, int& pendingError) const
{
    pendingError = 0;
    if (FPort < 0 || FPort > 65535) {
        error = SocketErrorMessage("Connect", EINVAL, SystemErrorText(EINVAL));
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int lookup = ::getaddrinfo(FHost.c_str(), std::to_string(FPort).c_str(), &hints, &found);
    if (lookup != 0) {
        if (lookup == EAI_SYSTEM)
            error = SocketErrorMessage("Lookup", errno, SystemErrorText(errno));
        else
            error = SocketErrorMessage("Lookup", lookup, gai_strerror(lookup));
        return -1;
    }

    // One deadline for all addresses of the host.
    TDeadline deadline(FConnectTimeoutMs);
    int lastError = EHOSTUNREACH;
    int connected = -1;
    for (addrinfo* address = found; address != nullptr && connected < 0; address = address->ai_next) {
        int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        if (FSendBufferSize > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &FSendBufferSize, sizeof FSendBufferSize);
        int result = ::connect(fd, address->ai_addr, address->ai_addrlen);
        int failure = result == 0 ? 0 : errno;
        if (failure == EINPROGRESS) {
            if (PollDescriptor(fd, POLLOUT, deadline) == 0) {
                failure = ETIMEDOUT;
            } else {
                socklen_t length = sizeof failure;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0)
                    failure = errno;
            }
        }
        // A reset that arrived after the handshake completed: a blocking connect
        // would have succeeded, and the reset shows on the first read.
        if (failure == ECONNRESET || failure == EPIPE) {
            pendingError = failure;
            failure = 0;
        }
        if (failure == 0) {
            connected = fd;
        } else {
            lastError = failure;
            ::close(fd);   // never published: nobody else can hold this number
        }
        if (deadline.RemainingMs() == 0 && connected < 0)
            break;
    }
    ::freeaddrinfo(found);
    if (connected < 0) {
        error = SocketErrorMessage("Connect", lastError, SystemErrorText(lastError));
        return -1;
    }
    // Frames go out in small pieces; they should not wait for earlier ACKs.
    int one = 1;
    ::setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return connected;
}

void TClientSocket::Open()
{
    if (FActive)
        return;
    // The previous connection's descriptor (shut down by Close) goes now.
    ReleaseDescriptor();

    std::string error;
    int pendingError = 0;
    int fd = Connect(error, pendingError);
    if (fd < 0) {
        FActive = false;
        if (FOnDisconnect)
            FOnDisconnect();
        throw Exception(error);
    }
    {
        std::lock_guard<std::mutex> guard(FLock);
        FFd = fd;
        FPendingError = pendingError;
    }
    FActive = true;
    if (FOnConnect)
        FOnConnect();
}

bool TClientSocket::Close()
{
    // Exactly one closer wins, so the notification runs once.
    if (!FActive.exchange(false))
        return false;
    auto shutDown = [this] {
        std::lock_guard<std::mutex> guard(FLock);
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
    return PollDescriptor(fd, events, TDeadline(timeoutMs));
}

bool TClientSocket::WaitForData(int timeoutMs)
{
    if (!FActive)
        return false;
    return PollFor(POLLIN, timeoutMs) > 0;
}

int TClientSocket::Receive(void* buffer, int count, int timeoutMs, bool& peerClosed)
{
    if (count <= 0)
        return 0;
    TDeadline deadline(timeoutMs);
    for (;;) {
        if (!FActive)
            return 0;
        int fd = FFd;
        if (fd >= 0 && PollDescriptor(fd, POLLIN, deadline) == 0)
            return 0;
        int failure = 0;
        {
            std::lock_guard<std::mutex> guard(FLock);
            if (!FActive || FFd < 0)
                return 0;
            if (FPendingError != 0) {
                failure = std::exchange(FPendingError, 0);
            } else {
                ssize_t got = ::recv(FFd, buffer, static_cast<size_t>(count), MSG_DONTWAIT);
                if (got > 0)
                    return static_cast<int>(got);
                if (got == 0) {
                    peerClosed = true;
                    return 0;
                }
                failure = errno;
            }
        }
        if (failure != EAGAIN && failure != EWOULDBLOCK && failure != EINTR)
            throw Exception(SocketErrorMessage("Read", failure, SystemErrorText(failure)));
        if (deadline.RemainingMs() == 0)
            return 0;
    }
}

int TClientSocket::Send(const void* buffer, int count, int timeoutMs)
{
    if (count <= 0)
        return 0;
    TDeadline deadline(timeoutMs);
    for (;;) {
        int failure = 0;
        int fd = -1;
        {
            std::lock_guard<std::mutex> guard(FLock);
            fd = FFd;
            if (!FActive || fd < 0) {
                failure = ENOTCONN;
            } else {
                ssize_t sent = ::send(fd, buffer, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent >= 0)
                    return static_cast<int>(sent);
                failure = errno;
            }
        }
        if (failure == EINTR)
            continue;
        if (failure != EAGAIN && failure != EWOULDBLOCK)
            throw Exception(SocketErrorMessage("Write", failure, SystemErrorText(failure)));
        if (PollDescriptor(fd, POLLOUT, deadline) == 0)
            return 0;
    }
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
