#include "support/SlowRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

bool SendAll(int fd, const char* data, ssize_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= sent;
    }
    return true;
}

} // namespace

TSlowRelay::TSlowRelay(int targetPort, const TPace& pace) : FTargetPort(targetPort), FPace(pace)
{
    FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Inherited by the accepted connection, before its window is first announced.
    ::setsockopt(FListener, SOL_SOCKET, SO_RCVBUF, &FPace.ReceiveBuffer, sizeof FPace.ReceiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(FListener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(FListener, 1) != 0 ||
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("slow relay: no listener");
    FPort = ntohs(address.sin_port);
    FStop = ::eventfd(0, EFD_CLOEXEC);
    FThread = std::thread([this] { Run(); });
}

TSlowRelay::~TSlowRelay()
{
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(FStop, &one, sizeof one);
    FThread.join();
    ::close(FStop);
    ::close(FListener);
}

void TSlowRelay::Run()
{
    pollfd first[2] = {{FListener, POLLIN, 0}, {FStop, POLLIN, 0}};
    if (::poll(first, 2, -1) <= 0 || first[1].revents != 0)
        return;
    const int client = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    const int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(FTargetPort));
    if (client >= 0 && ::connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::vector<char> buffer(static_cast<size_t>(std::max(FPace.Chunk, 65536)));
        auto nextRead = TClock::now();
        bool clientOpen = true;
        for (;;) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextRead - TClock::now()).count();
            const bool paced = clientOpen && wait > 0;
            pollfd entries[3] = {{target, POLLIN, 0}, {FStop, POLLIN, 0}, {client, short(paced || !clientOpen ? 0 : POLLIN), 0}};
            if (::poll(entries, 3, paced ? static_cast<int>(wait) : -1) < 0 || entries[1].revents != 0)
                break;
            if (entries[0].revents != 0) {
                const ssize_t got = ::recv(target, buffer.data(), buffer.size(), 0);
                if (got <= 0 || !SendAll(client, buffer.data(), got))
                    break;
            }
            if (entries[2].revents != 0) {
                const ssize_t got = ::recv(client, buffer.data(), static_cast<size_t>(FPace.Chunk), 0);
                if (got <= 0) {
                    clientOpen = false;
                    ::shutdown(target, SHUT_WR);
                } else if (!SendAll(target, buffer.data(), got)) {
                    break;
                }
                nextRead = TClock::now() + std::chrono::milliseconds(FPace.GapMs);
            }
        }
    }
    if (client >= 0)
        ::close(client);
    ::close(target);
}
