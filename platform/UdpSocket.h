#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>

// A thin IPv4 UDP sending socket. Every operation returns 0 or the error number
// (errno), leaving the wording of failures to the caller. The descriptor is
// atomic so that sends from several threads may run beside a close.
class TUdpSocket {
public:
    TUdpSocket() = default;
    ~TUdpSocket();                      // closes a socket still open
    TUdpSocket(const TUdpSocket&) = delete;
    TUdpSocket& operator=(const TUdpSocket&) = delete;

    int Open();                         // a new datagram socket (closes any earlier one)
    int SetBroadcast(bool enabled);     // SO_BROADCAST as a 4-byte integer
    int SendTo(const void* data, std::size_t size, const sockaddr_in& destination) const;
    int Close();                        // the socket is gone afterwards even on failure
    bool IsOpen() const { return Fd.load() >= 0; }

private:
    std::atomic<int> Fd{-1};
};
