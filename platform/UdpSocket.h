#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <string>

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
    // Each of the count texts as one datagram, in order, handed to the system
    // together (sendmmsg). 0 when all went; else the error number of the first
    // that did not, with `sent` saying how many went before it.
    int SendToMany(const std::string* texts, std::size_t count, const sockaddr_in& destination,
                   std::size_t& sent) const;
    int Close();                        // the socket is gone afterwards even on failure
    bool IsOpen() const { return Fd.load() >= 0; }

private:
    std::atomic<int> Fd{-1};
};
