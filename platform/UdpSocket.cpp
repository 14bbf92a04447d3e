#include "platform/UdpSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

TUdpSocket::~TUdpSocket()
{
    Close();
}

int TUdpSocket::Open()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    const int old = Fd.exchange(fd);
    if (old >= 0)
        ::close(old);
    return 0;
}

int TUdpSocket::SetBroadcast(bool enabled)
{
    const int32_t value = enabled ? 1 : 0;
    if (::setsockopt(Fd.load(), SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0)
        return errno;
    return 0;
}

int TUdpSocket::SendTo(const void* data, std::size_t size, const sockaddr_in& destination) const
{
    const ssize_t sent = ::sendto(Fd.load(), data, size, 0,
                                  reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent < 0)
        return errno;
    return 0;
}

int TUdpSocket::Close()
{
    const int fd = Fd.exchange(-1);
    if (fd < 0)
        return 0;
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    if (::close(fd) != 0)
        return errno;
    return 0;
}
