#include "support/UdpCapture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void Fail(const char* what)
{
    throw std::runtime_error(std::string("UdpCapture: ") + what + ": " + std::strerror(errno));
}

} // namespace

UdpCapture::UdpCapture()
{
    Socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (Socket < 0)
        Fail("socket");
    // Bursts from several threads must not overflow the default buffer.
    const int size = 8 * 1024 * 1024;
    if (::setsockopt(Socket, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(Socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(Socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(Socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(Socket);
        Fail("bind");
    }
    BoundPort = ntohs(address.sin_port);
    StopEvent = ::eventfd(0, EFD_CLOEXEC);
    if (StopEvent < 0) {
        ::close(Socket);
        Fail("eventfd");
    }
    Collector = std::thread([this] { Run(); });
}

UdpCapture::~UdpCapture()
{
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(StopEvent, &one, sizeof one);
    Collector.join();
    ::close(StopEvent);
    ::close(Socket);
}

void UdpCapture::Run()
{
    std::vector<char> buffer(65536);
    pollfd fds[2] = {{Socket, POLLIN, 0}, {StopEvent, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        // Drain everything that is waiting before polling again.
        for (;;) {
            const ssize_t size = ::recv(Socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (size < 0)
                break;
            {
                std::lock_guard lock(Lock);
                Received.emplace_back(buffer.data(), static_cast<std::size_t>(size));
            }
            Arrived.notify_all();
        }
    }
}

bool UdpCapture::WaitFor(const std::function<bool(const std::vector<std::string>&)>& predicate, int timeoutMs)
{
    std::unique_lock lock(Lock);
    return Arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return predicate(Received); });
}

bool UdpCapture::WaitForCount(std::size_t count, int timeoutMs)
{
    return WaitFor([count](const std::vector<std::string>& all) { return all.size() >= count; }, timeoutMs);
}

bool UdpCapture::WaitForMessage(const std::string& text, int timeoutMs)
{
    return WaitFor(
        [&text](const std::vector<std::string>& all) {
            for (const std::string& datagram : all)
                if (Field(datagram, 7).find(text) != std::string::npos)
                    return true;
            return false;
        },
        timeoutMs);
}

std::vector<std::string> UdpCapture::Datagrams() const
{
    std::lock_guard lock(Lock);
    return Received;
}

std::vector<std::string> UdpCapture::Messages() const
{
    std::vector<std::string> messages;
    for (const std::string& datagram : Datagrams())
        messages.push_back(Field(datagram, 7));
    return messages;
}

std::vector<std::string> UdpCapture::Sources() const
{
    std::vector<std::string> sources;
    for (const std::string& datagram : Datagrams())
        sources.push_back(Field(datagram, 4));
    return sources;
}

std::size_t UdpCapture::Count() const
{
    std::lock_guard lock(Lock);
    return Received.size();
}

void UdpCapture::Clear()
{
    std::lock_guard lock(Lock);
    Received.clear();
}

std::string UdpCapture::Field(const std::string& datagram, int number)
{
    if (number < 1 || number > 7)
        return "";
    std::size_t start = 0;
    for (int i = 1; i < number; ++i) {
        const std::size_t colon = datagram.find(':', start);
        if (colon == std::string::npos)
            return "";
        start = colon + 1;
    }
    if (number == 7)
        return datagram.substr(start);
    const std::size_t end = datagram.find(':', start);
    if (end == std::string::npos)
        return "";
    return datagram.substr(start, end - start);
}
