#include "platform/UdpSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

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

int TUdpSocket::SendToMany(const std::string* texts, std::size_t count, const sockaddr_in& destination,
                           std::size_t& sent) const
{
    // At most this many per call: the system takes no more than UIO_MAXIOV.
    constexpr std::size_t kPerCall = 256;
    sent = 0;
    std::vector<iovec> pieces(std::min(count, kPerCall));
    std::vector<mmsghdr> messages(pieces.size());
    while (sent < count) {
        const std::size_t batch = std::min(count - sent, kPerCall);
        for (std::size_t i = 0; i < batch; ++i) {
            const std::string& text = texts[sent + i];
            pieces[i] = iovec{const_cast<char*>(text.data()), text.size()};
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&destination);
            messages[i].msg_hdr.msg_namelen = sizeof destination;
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int done = ::sendmmsg(Fd.load(), messages.data(), static_cast<unsigned>(batch), 0);
        if (done < 0)
            return errno;
        sent += static_cast<std::size_t>(done);
    }
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
