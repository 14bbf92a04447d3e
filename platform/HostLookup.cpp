#include "platform/HostLookup.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Deadline.h"

namespace {

// What the lookup's thread and its waiter share; the last of the two frees it.
struct TPendingLookup {
    TPendingLookup() : Done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~TPendingLookup()
    {
        if (Done >= 0)
            ::close(Done);
    }
    const int Done;   // readable once the answer is in
    std::mutex Lock;
    bool Answered = false;
    TLookupResult Result;
};

int Resolve(const std::string& host, const std::string& port, int flags, std::vector<TResolvedAddress>& found,
            int& systemError)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;   // "::1" and names with AAAA records work as well as IPv4
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int code = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (code != 0) {
        systemError = code == EAI_SYSTEM ? errno : 0;
        return code;
    }
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        TResolvedAddress address{a->ai_family, a->ai_socktype, a->ai_protocol, {}, a->ai_addrlen};
        std::memcpy(&address.Address, a->ai_addr, a->ai_addrlen);
        found.push_back(address);
    }
    ::freeaddrinfo(list);
    return 0;
}

} // namespace

int SystemResolve(const std::string& host, const std::string& port, std::vector<TResolvedAddress>& found,
                  int& systemError)
{
    return Resolve(host, port, 0, found, systemError);
}

TLookupResult LookupHost(const std::string& host, int port, const TDeadline& deadline, int cancelHandle,
                         const THostResolver& resolver)
{
    const std::string service = std::to_string(port);
    TLookupResult result;
    // An address literal needs no resolver (and no thread).
    if (Resolve(host, service, AI_NUMERICHOST, result.Addresses, result.SystemError) == 0)
        return result;
    result.SystemError = 0;

    auto askHere = [&] {
        // Unbounded, as getaddrinfo() itself would be.
        result.Code = resolver ? resolver(host, service, result.Addresses, result.SystemError)
                               : SystemResolve(host, service, result.Addresses, result.SystemError);
        return result;
    };
    auto pending = std::make_shared<TPendingLookup>();
    if (pending->Done < 0)
        return askHere();   // no handle to wait on
    // The name servers may never answer: the question goes to a thread of its
    // own, and this one waits no longer than the connect may take.
    try {
        std::thread([pending, resolver, host, service] {
            TLookupResult answer;
            answer.Code = resolver ? resolver(host, service, answer.Addresses, answer.SystemError)
                                   : SystemResolve(host, service, answer.Addresses, answer.SystemError);
            std::lock_guard<std::mutex> guard(pending->Lock);
            pending->Result = std::move(answer);
            pending->Answered = true;
            const uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(pending->Done, &one, sizeof one);
        }).detach();
    } catch (const std::system_error&) {
        return askHere();   // no thread to be had
    }

    switch (PollUntil(pending->Done, POLLIN, deadline, cancelHandle)) {
    case TPollEnd::Cancelled:
        result.End = TLookupResult::Cancelled;
        return result;
    case TPollEnd::TimedOut:
        result.End = TLookupResult::TimedOut;
        return result;
    case TPollEnd::Ready:
        break;
    }
    std::lock_guard<std::mutex> guard(pending->Lock);
    if (!pending->Answered) {
        result.End = TLookupResult::TimedOut;
        return result;
    }
    return std::move(pending->Result);
}
