#include "support/FakeBroker.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

std::vector<std::vector<uint8_t>> SplitMqttFrames(const uint8_t* data, size_t size, size_t* consumed,
                                                  bool* malformed)
{
    std::vector<std::vector<uint8_t>> frames;
    size_t pos = 0;
    bool broken = false;
    while (pos < size) {
        // Remaining-length field starts at pos + 1.
        size_t value = 0;
        size_t fieldLength = 0;
        bool complete = false;
        for (size_t i = 0; i < 4; ++i) {
            if (pos + 1 + i >= size)
                break;
            uint8_t digit = data[pos + 1 + i];
            value |= static_cast<size_t>(digit & 0x7F) << (7 * i);
            fieldLength = i + 1;
            if ((digit & 0x80) == 0) {
                complete = true;
                break;
            }
        }
        if (!complete) {
            if (fieldLength == 4)
                broken = true;   // four bytes, all with the continuation bit
            break;
        }
        size_t frameSize = 1 + fieldLength + value;
        if (size - pos < frameSize)
            break;
        frames.emplace_back(data + pos, data + pos + frameSize);
        pos += frameSize;
    }
    if (consumed)
        *consumed = pos;
    if (malformed)
        *malformed = broken;
    return frames;
}

namespace {

using TClock = std::chrono::steady_clock;

thread_local const FakeBroker* tHandlingBroker = nullptr;
thread_local FakeBroker::TConnection* tHandlingConnection = nullptr;

void Wake(int eventFd)
{
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(eventFd, &one, sizeof one);
}

void Drain(int eventFd)
{
    uint64_t value = 0;
    [[maybe_unused]] ssize_t got = ::read(eventFd, &value, sizeof value);
}

int MakeLoopbackListener(int backlog, int receiveBufferSize, int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBufferSize > 0)   // inherited by accepted sockets; must precede listen()
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferSize, sizeof receiveBufferSize);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        int failure = errno;
        ::close(fd);
        throw std::runtime_error(std::string("listener: ") + std::strerror(failure));
    }
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

struct FakeBroker::TConnection {
    size_t Index = 0;
    int Fd = -1;     // changed only under SendLock, after the reader has ended or by the reader itself
    int Wake = -1;   // eventfd that gets the reader out of poll()
    std::thread Reader;
    std::mutex JoinLock;
    std::mutex SendLock;
    // Guarded by the broker's FLock:
    bool Reading = true;
    bool Paused = false;
    bool Stop = false;
    bool Ended = false;
    bool PeerClosed = false;
    bool Broken = false;
    std::vector<uint8_t> Received;
    size_t Framed = 0;
    std::vector<std::vector<uint8_t>> Frames;

    void JoinReader()
    {
        std::lock_guard<std::mutex> guard(JoinLock);
        if (Reader.joinable() && Reader.get_id() != std::this_thread::get_id())
            Reader.join();
    }
};

FakeBroker::FakeBroker() : FakeBroker(Options{}) {}

FakeBroker::FakeBroker(const Options& options) : FOptions(options)
{
    FListener = MakeLoopbackListener(16, options.receiveBufferSize, FPort);
    FWake = ::eventfd(0, EFD_CLOEXEC);
    FAcceptThread = std::thread(&FakeBroker::AcceptLoop, this);
}

FakeBroker::~FakeBroker()
{
    StopListening();
    std::vector<TConnection*> connections;
    {
        std::lock_guard<std::mutex> guard(FLock);
        for (auto& connection : FConnections) {
            connection->Stop = true;
            connections.push_back(connection.get());
        }
    }
    FChanged.notify_all();
    for (TConnection* connection : connections) {
        Wake(connection->Wake);
        connection->JoinReader();
        std::lock_guard<std::mutex> guard(connection->SendLock);
        if (connection->Fd >= 0)
            ::close(connection->Fd);
        connection->Fd = -1;
        ::close(connection->Wake);
    }
    if (FWake >= 0)
        ::close(FWake);
}

void FakeBroker::StopListening()
{
    if (FAcceptThread.joinable()) {
        FStopping = true;
        Wake(FWake);
        FAcceptThread.join();
    }
    if (FListener >= 0) {
        ::close(FListener);
        FListener = -1;
    }
}

void FakeBroker::AcceptLoop()
{
    for (;;) {
        pollfd entries[2] = {{FListener, POLLIN, 0}, {FWake, POLLIN, 0}};
        int ready = ::poll(entries, 2, -1);
        if (FStopping)
            return;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (!(entries[0].revents & POLLIN))
            continue;
        int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto connection = std::make_unique<TConnection>();
        connection->Fd = fd;
        connection->Wake = ::eventfd(0, EFD_CLOEXEC);
        connection->Reading = FOptions.startReading;
        TConnection* raw = connection.get();
        {
            std::lock_guard<std::mutex> guard(FLock);
            raw->Index = FConnections.size();
            raw->Reader = std::thread(&FakeBroker::ReadLoop, this, raw);
            FConnections.push_back(std::move(connection));
        }
        FChanged.notify_all();
    }
}

void FakeBroker::ReadLoop(TConnection* connection)
{
    // A paced connection reads a twentieth of a second's worth at a time, and
    // never runs ahead of its rate since its first read.
    const int rate = FOptions.readBytesPerSecond;
    std::vector<uint8_t> chunk(rate > 0 ? std::max(rate / 20, 1) : 64 * 1024);
    const auto pacingStart = TClock::now();
    uint64_t pacedBytes = 0;
    for (;;) {
        if (rate > 0) {
            const auto due = pacingStart + std::chrono::microseconds(pacedBytes * 1000000 / uint64_t(rate));
            const auto ahead = std::chrono::ceil<std::chrono::milliseconds>(due - TClock::now()).count();
            pollfd wake{connection->Wake, POLLIN, 0};
            if (ahead > 0 && ::poll(&wake, 1, static_cast<int>(ahead)) > 0)
                Drain(connection->Wake);   // a stop or a pause: looked at below
        }
        {
            std::unique_lock<std::mutex> lock(FLock);
            if (!connection->Reading && !connection->Stop) {
                connection->Paused = true;
                FChanged.notify_all();
                FChanged.wait(lock, [connection] { return connection->Reading || connection->Stop; });
                connection->Paused = false;
            }
            if (connection->Stop)
                break;
        }
        pollfd entries[2] = {{connection->Fd, POLLIN, 0}, {connection->Wake, POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (entries[1].revents & POLLIN) {
            Drain(connection->Wake);
            continue;
        }
        ssize_t got = ::recv(connection->Fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (got <= 0) {
            std::function<void(int, FakeBroker&)> onClose;
            {
                std::lock_guard<std::mutex> guard(FLock);
                connection->PeerClosed = true;
                onClose = FCloseHandler;
            }
            if (onClose)
                onClose(static_cast<int>(connection->Index), *this);
            break;
        }
        pacedBytes += static_cast<uint64_t>(got);
        std::vector<std::vector<uint8_t>> fresh;
        FrameHandler handler;
        {
            std::lock_guard<std::mutex> guard(FLock);
            connection->Received.insert(connection->Received.end(), chunk.begin(), chunk.begin() + got);
            if (!connection->Broken) {
                size_t consumed = 0;
                bool malformed = false;
                fresh = SplitMqttFrames(connection->Received.data() + connection->Framed,
                                        connection->Received.size() - connection->Framed, &consumed, &malformed);
                connection->Framed += consumed;
                connection->Broken = malformed;
                connection->Frames.insert(connection->Frames.end(), fresh.begin(), fresh.end());
            }
            handler = FHandler;
        }
        FChanged.notify_all();
        if (!handler)
            continue;
        tHandlingBroker = this;
        tHandlingConnection = connection;
        bool stop = false;
        for (const auto& frame : fresh) {
            try {
                handler(frame, *this);
            } catch (const std::exception& error) {
                ADD_FAILURE() << "FakeBroker frame handler raised: " << error.what();
            } catch (...) {
                ADD_FAILURE() << "FakeBroker frame handler raised";
            }
            std::lock_guard<std::mutex> guard(FLock);
            if ((stop = connection->Stop))
                break;
        }
        tHandlingBroker = nullptr;
        tHandlingConnection = nullptr;
        if (stop)
            break;
    }
    {
        std::lock_guard<std::mutex> guard(FLock);
        connection->Ended = true;
    }
    FChanged.notify_all();
}

void FakeBroker::OnFrame(FrameHandler handler)
{
    std::lock_guard<std::mutex> guard(FLock);
    FHandler = std::move(handler);
}

void FakeBroker::OnPeerClose(std::function<void(int, FakeBroker&)> handler)
{
    std::lock_guard<std::mutex> guard(FLock);
    FCloseHandler = std::move(handler);
}

int FakeBroker::HandlingConnection() const
{
    return tHandlingBroker == this && tHandlingConnection ? static_cast<int>(tHandlingConnection->Index) : -1;
}

FakeBroker::TConnection* FakeBroker::Find(int conn) const
{
    if (conn < 0) {
        if (tHandlingBroker == this)
            return tHandlingConnection;
        return FConnections.empty() ? nullptr : FConnections.back().get();
    }
    return static_cast<size_t>(conn) < FConnections.size() ? FConnections[conn].get() : nullptr;
}

FakeBroker::TConnection* FakeBroker::Resolve(int conn) const
{
    std::lock_guard<std::mutex> guard(FLock);
    return Find(conn);
}

template <class Pred>
bool FakeBroker::WaitUntil(int timeoutMs, Pred pred)
{
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

size_t FakeBroker::ConnectionCount() const
{
    std::lock_guard<std::mutex> guard(FLock);
    return FConnections.size();
}

bool FakeBroker::WaitForConnections(size_t count, int timeoutMs)
{
    return WaitUntil(timeoutMs, [&] { return FConnections.size() >= count; });
}

std::vector<uint8_t> FakeBroker::Received(int conn) const
{
    std::lock_guard<std::mutex> guard(FLock);
    TConnection* connection = Find(conn);
    return connection ? connection->Received : std::vector<uint8_t>{};
}

bool FakeBroker::WaitForBytes(size_t count, int timeoutMs, int conn)
{
    return WaitUntil(timeoutMs, [&] {
        TConnection* connection = Find(conn);
        return connection && connection->Received.size() >= count;
    });
}

std::vector<std::vector<uint8_t>> FakeBroker::Frames(int conn) const
{
    std::lock_guard<std::mutex> guard(FLock);
    TConnection* connection = Find(conn);
    return connection ? connection->Frames : std::vector<std::vector<uint8_t>>{};
}

bool FakeBroker::WaitForFrames(size_t count, int timeoutMs, int conn)
{
    return WaitUntil(timeoutMs, [&] {
        TConnection* connection = Find(conn);
        return connection && connection->Frames.size() >= count;
    });
}

bool FakeBroker::FramingBroken(int conn) const
{
    std::lock_guard<std::mutex> guard(FLock);
    TConnection* connection = Find(conn);
    return connection && connection->Broken;
}

bool FakeBroker::PeerClosed(int conn) const
{
    std::lock_guard<std::mutex> guard(FLock);
    TConnection* connection = Find(conn);
    return connection && connection->PeerClosed;
}

bool FakeBroker::WaitForPeerClose(int timeoutMs, int conn)
{
    return WaitUntil(timeoutMs, [&] {
        TConnection* connection = Find(conn);
        return connection && connection->PeerClosed;
    });
}

bool FakeBroker::SendOn(TConnection* connection, const uint8_t* data, size_t size)
{
    if (!connection)
        return false;
    std::lock_guard<std::mutex> guard(connection->SendLock);
    // Bounded, so a client that never reads cannot hang a test for ever.
    const auto deadline = TClock::now() + std::chrono::seconds(10);
    size_t done = 0;
    while (done < size) {
        if (connection->Fd < 0)
            return false;
        ssize_t sent = ::send(connection->Fd, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
        if (left <= 0)
            return false;
        pollfd entry{connection->Fd, POLLOUT, 0};
        ::poll(&entry, 1, static_cast<int>(left));
    }
    return true;
}

bool FakeBroker::Send(const std::vector<uint8_t>& bytes, int conn)
{
    return SendOn(Resolve(conn), bytes.data(), bytes.size());
}

bool FakeBroker::SendInPieces(const std::vector<uint8_t>& bytes, const std::vector<size_t>& pieceSizes, int gapMs,
                              int conn)
{
    TConnection* connection = Resolve(conn);
    size_t pos = 0;
    for (size_t piece : pieceSizes) {
        if (pos >= bytes.size())
            break;
        size_t size = std::min(piece, bytes.size() - pos);
        if (pos > 0 && gapMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        if (!SendOn(connection, bytes.data() + pos, size))
            return false;
        pos += size;
    }
    if (pos < bytes.size()) {
        if (pos > 0 && gapMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        return SendOn(connection, bytes.data() + pos, bytes.size() - pos);
    }
    return true;
}

bool FakeBroker::SendSlowly(const std::vector<uint8_t>& bytes, size_t pieceSize, int gapMs, int conn)
{
    if (pieceSize == 0)
        pieceSize = 1;
    std::vector<size_t> pieces((bytes.size() + pieceSize - 1) / pieceSize, pieceSize);
    return SendInPieces(bytes, pieces, gapMs, conn);
}

void FakeBroker::CloseConnection(int conn)
{
    TConnection* connection = Resolve(conn);
    if (!connection)
        return;
    std::lock_guard<std::mutex> guard(connection->SendLock);
    if (connection->Fd >= 0)
        ::shutdown(connection->Fd, SHUT_WR);
}

void FakeBroker::ResetConnection(int conn)
{
    TConnection* connection = Resolve(conn);
    if (!connection)
        return;
    {
        std::lock_guard<std::mutex> guard(FLock);
        connection->Stop = true;
    }
    FChanged.notify_all();
    Wake(connection->Wake);
    // The reader must be out of poll() before its descriptor goes; when the
    // reset comes from a handler, the reader is this thread and stops after it.
    connection->JoinReader();
    std::lock_guard<std::mutex> guard(connection->SendLock);
    if (connection->Fd >= 0) {
        linger abortive{1, 0};
        ::setsockopt(connection->Fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        ::close(connection->Fd);
        connection->Fd = -1;
    }
}

void FakeBroker::StopReading(int conn)
{
    TConnection* connection = Resolve(conn);
    if (!connection)
        return;
    std::unique_lock<std::mutex> lock(FLock);
    connection->Reading = false;
    Wake(connection->Wake);
    if (tHandlingConnection == connection)
        return;   // the reader itself: it pauses after the handler
    FChanged.wait(lock, [connection] { return connection->Paused || connection->Ended || connection->Stop; });
}

void FakeBroker::ResumeReading(int conn)
{
    TConnection* connection = Resolve(conn);
    if (!connection)
        return;
    {
        std::lock_guard<std::mutex> guard(FLock);
        connection->Reading = true;
    }
    FChanged.notify_all();
}

int FakeBroker::UnusedPort()
{
    int port = 0;
    int fd = MakeLoopbackListener(1, 0, port);
    ::close(fd);
    return port;
}

bool FakeBroker::HasIPv6Loopback()
{
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

// ---- FullBacklogListener --------------------------------------------------------

FullBacklogListener::FullBacklogListener()
{
    FListener = MakeLoopbackListener(0, 0, FPort);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(FPort));
    // Connect until one connect stays pending: from then on the listener
    // drops every SYN. A loopback handshake that can complete does so within
    // microseconds, so a second of silence means the SYN was dropped.
    for (int attempt = 0; attempt < 8 && !FReady; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            break;
        FFillers.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            continue;
        if (errno != EINPROGRESS)
            break;
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, 1000) == 0)
            FReady = true;
    }
}

FullBacklogListener::~FullBacklogListener()
{
    for (int fd : FFillers)
        ::close(fd);
    if (FListener >= 0)
        ::close(FListener);
}
