#pragma once

#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

class TDeadline;

// One address a host name stands for, ready for socket() and connect().
struct TResolvedAddress {
    int Family = 0;
    int SockType = 0;
    int Protocol = 0;
    sockaddr_storage Address{};
    socklen_t Length = 0;
};

// Turns a host name and a numeric port into TCP addresses, as getaddrinfo()
// does and with its answer: 0, or an EAI_* code (EAI_SYSTEM with the errno in
// systemError). It may block for as long as the system's resolver takes; the
// lookup below runs it on a thread of its own. Tests put in one that never
// answers.
using THostResolver =
    std::function<int(const std::string& host, const std::string& port, std::vector<TResolvedAddress>& found,
                      int& systemError)>;

// getaddrinfo(), any address family, TCP.
int SystemResolve(const std::string& host, const std::string& port, std::vector<TResolvedAddress>& found,
                  int& systemError);

struct TLookupResult {
    enum TEnd { Answered, TimedOut, Cancelled } End = Answered;
    int Code = 0;          // Answered: the resolver's answer
    int SystemError = 0;   // with EAI_SYSTEM
    std::vector<TResolvedAddress> Addresses;
};

// Looks the host up, waiting at most until the deadline and no longer than
// until the cancel handle (an eventfd, -1: none) turns readable. A dotted or
// IPv6 address is taken as it is, without the resolver. An empty resolver is
// the system's. A lookup given up goes on on its own thread and is forgotten
// when it ends.
TLookupResult LookupHost(const std::string& host, int port, const TDeadline& deadline, int cancelHandle,
                         const THostResolver& resolver = {});
