#include "platform/ProxyHop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

#include <openssl/evp.h>

#include "platform/SystemError.h"
#include "platform/ByteLink.h"
#include "platform/HttpHead.h"

namespace {

std::string Bracketed(const std::string& host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// The descriptor's raw exchanges, each until the deadline; -ETIMEDOUT on
// time-out, -ECANCELED, -ECONNRESET when the proxy ended the connection, -errno.
int SendAll(int fd, const uint8_t* data, size_t size, const TDeadline& deadline, int cancel)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return -errno;
        if (const int waited = AwaitEvent(fd, POLLOUT, deadline, cancel); waited < 0)
            return waited;
    }
    return 0;
}

// Up to size bytes (flags: MSG_PEEK to look only); at least one.
int ReceiveSome(int fd, uint8_t* data, size_t size, int flags, const TDeadline& deadline, int cancel)
{
    for (;;) {
        const ssize_t got = ::recv(fd, data, size, flags | MSG_DONTWAIT);
        if (got > 0)
            return static_cast<int>(got);
        if (got == 0)
            return -ECONNRESET;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -errno;
        if (const int waited = AwaitEvent(fd, POLLIN, deadline, cancel); waited < 0)
            return waited;
    }
}

// Exactly size bytes.
int ReceiveExactly(int fd, uint8_t* data, size_t size, const TDeadline& deadline, int cancel)
{
    while (size > 0) {
        const int got = ReceiveSome(fd, data, size, 0, deadline, cancel);
        if (got < 0)
            return got;
        data += got;
        size -= static_cast<size_t>(got);
    }
    return 0;
}

class TProxyExchange {
public:
    TProxyExchange(int fd, const TProxyConfig& proxy, const TDeadline& deadline, int cancel, int timeoutMs,
                   TStepFailure& failure)
        : Fd(fd), Proxy(proxy), Deadline(deadline), Cancel(cancel), TimeoutMs(timeoutMs), Failure(failure)
    {
    }

    bool Http(const std::string& host, int port);
    bool Socks5(const std::string& host, int port);

private:
    // A failed exchange (a negative result of the helpers above).
    bool Broken(int result)
    {
        const int code = -result;
        std::string reason = SystemErrorText(code);
        TOpenFailure kind = TOpenFailure::Network;
        if (code == ETIMEDOUT) {
            kind = TOpenFailure::TimedOut;
            reason = "no answer within " + std::to_string(TimeoutMs) + " ms";
        } else if (code == ECANCELED) {
            Failure = {TOpenFailure::Cancelled, false, "cancelled by the user", SocketErrorMessage("Proxy", code, reason)};
            return false;
        } else if (code == ECONNRESET) {
            reason = "the proxy ended the connection";
        }
        Failure = {kind, kind == TOpenFailure::Network, "proxy " + ProxyPlace(Proxy) + ": " + reason,
                   SocketErrorMessage("Proxy", code, reason)};
        return false;
    }
    bool Refused(const std::string& failure, int code, const std::string& reason)
    {
        Failure = {TOpenFailure::ProxyRefused, false, failure, SocketErrorMessage("Proxy", code, reason)};
        return false;
    }
    // Bytes in a string: g++ 12 at -O3 takes appends to a byte vector for overflows.
    bool Send(const std::string& bytes)
    {
        const int result =
            SendAll(Fd, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), Deadline, Cancel);
        return result == 0 || Broken(result);
    }
    bool Receive(uint8_t* data, size_t size)
    {
        const int result = ReceiveExactly(Fd, data, size, Deadline, Cancel);
        return result == 0 || Broken(result);
    }

    int Fd;
    const TProxyConfig& Proxy;
    const TDeadline& Deadline;
    int Cancel;
    int TimeoutMs;
    TStepFailure& Failure;
};

bool TProxyExchange::Http(const std::string& host, int port)
{
    const std::string place = Bracketed(host) + ":" + std::to_string(port);
    std::string request = "CONNECT " + place + " HTTP/1.1\r\nHost: " + place + "\r\n";
    if (!Proxy.User.empty()) {
        const std::string credentials = Proxy.User + ":" + Proxy.Password;
        std::string encoded(4 * ((credentials.size() + 2) / 3), '\0');
        encoded.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                                           reinterpret_cast<const unsigned char*>(credentials.data()),
                                                           static_cast<int>(credentials.size()))));
        request += "Proxy-Authorization: Basic " + encoded + "\r\n";
    }
    request += "\r\n";
    if (!Send(request))
        return false;
    // The answer's head is looked at before it is taken, and no byte behind
    // it is taken: the broker's first bytes stay in the socket. Bytes that
    // hold no end of the head yet are taken at once, so that the next wait
    // waits for new ones.
    std::string kept;
    std::vector<uint8_t> seen(kMaxHttpHeadBytes + 1);
    size_t headLength = 0;
    while (headLength == 0) {
        const int got = ReceiveSome(Fd, seen.data(), seen.size() - kept.size(), MSG_PEEK, Deadline, Cancel);
        if (got < 0)
            return Broken(got);
        const std::string joined = kept + std::string(reinterpret_cast<const char*>(seen.data()), static_cast<size_t>(got));
        headLength = HttpHeadLength(joined);
        const size_t take = headLength > 0 ? headLength - kept.size() : static_cast<size_t>(got);
        if (!Receive(seen.data(), take))
            return false;
        kept.append(reinterpret_cast<const char*>(seen.data()), take);
        if (headLength == 0 && kept.size() >= kMaxHttpHeadBytes)
            return Refused("HTTP proxy answered with a head longer than " + std::to_string(kMaxHttpHeadBytes) + " bytes",
                           EMSGSIZE, "the answer's head is too long");
    }
    THttpHead head;
    std::string problem;
    if (!ParseHttpHead(kept, head, problem))
        return Refused("HTTP proxy: " + problem, EPROTO, problem);
    if (head.Status / 100 != 2) {
        const std::string reason = head.StatusLine.size() > 13 ? head.StatusLine.substr(13) : head.StatusLine;
        return Refused("HTTP proxy refused: " + head.StatusLine, head.Status, reason);
    }
    return true;
}

// The words of RFC 1928 for a SOCKS5 reply code.
std::string Socks5ReplyText(int code)
{
    static const char* const texts[] = {"succeeded",
                                        "general SOCKS server failure",
                                        "connection not allowed by ruleset",
                                        "network unreachable",
                                        "host unreachable",
                                        "connection refused",
                                        "TTL expired",
                                        "command not supported",
                                        "address type not supported"};
    return code >= 0 && code < static_cast<int>(std::size(texts)) ? texts[code] : "unknown reply";
}

bool TProxyExchange::Socks5(const std::string& host, int port)
{
    constexpr uint8_t kVersion = 5, kNoAuthentication = 0, kUserPassword = 2, kNoMethod = 0xFF;
    const bool withUser = !Proxy.User.empty();
    if (Proxy.User.size() > 255 || Proxy.Password.size() > 255)
        return Refused("SOCKS5 proxy: the user name and the password may have at most 255 bytes each", EINVAL,
                       "user name or password too long");
    std::string greeting{char(kVersion), 1, char(kNoAuthentication)};
    if (withUser)
        greeting = {char(kVersion), 2, char(kNoAuthentication), char(kUserPassword)};
    uint8_t choice[2];
    if (!Send(greeting) || !Receive(choice, sizeof choice))
        return false;
    if (choice[0] != kVersion)
        return Refused("SOCKS5 proxy: the answer is not SOCKS5", EPROTO, "not a SOCKS5 answer");
    if (choice[1] == kNoMethod || (choice[1] != kNoAuthentication && !(withUser && choice[1] == kUserPassword)))
        return Refused(withUser ? "SOCKS5 proxy refused: it takes none of the offered methods"
                                : "SOCKS5 proxy refused: it asks for a user name and password",
                       EACCES, "no acceptable authentication method");
    if (choice[1] == kUserPassword) {
        const std::string login = std::string{1, char(Proxy.User.size())} + Proxy.User +
                                  char(Proxy.Password.size()) + Proxy.Password;
        uint8_t verdict[2];
        if (!Send(login) || !Receive(verdict, sizeof verdict))
            return false;
        if (verdict[1] != 0)
            return Refused("SOCKS5 proxy refused the user name or password", EACCES, "user name or password refused");
    }
    // CONNECT to an address, or to the name for the proxy to resolve.
    std::string request{char(kVersion), 1, 0};
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        request += char(1);
        request.append(reinterpret_cast<const char*>(&v4), 4);
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        request += char(4);
        request.append(reinterpret_cast<const char*>(&v6), 16);
    } else {
        if (host.empty() || host.size() > 255)
            return Refused("SOCKS5 proxy: the host name must have 1 to 255 bytes", EINVAL, "host name length");
        request += char(3);
        request += char(host.size());
        request += host;
    }
    request += char(port >> 8);
    request += char(port & 0xFF);
    uint8_t reply[5];
    if (!Send(request) || !Receive(reply, sizeof reply))
        return false;
    if (reply[0] != kVersion)
        return Refused("SOCKS5 proxy: the answer is not SOCKS5", EPROTO, "not a SOCKS5 answer");
    if (reply[1] != 0) {
        const std::string text = Socks5ReplyText(reply[1]);
        return Refused("SOCKS5 proxy refused: " + text + " (reply " + std::to_string(reply[1]) + ")", reply[1], text);
    }
    // The bound address that closes the reply: its length by its type.
    size_t left = 0;
    if (reply[3] == 1)
        left = 4 - 1 + 2;
    else if (reply[3] == 4)
        left = 16 - 1 + 2;
    else if (reply[3] == 3)
        left = reply[4] + 2u;
    else
        return Refused("SOCKS5 proxy: the answer's address type is unknown", EPROTO, "unknown address type");
    std::vector<uint8_t> bound(left);
    return Receive(bound.data(), bound.size());
}

}  // namespace

std::string ProxyPlace(const TProxyConfig& proxy)
{
    return Bracketed(proxy.Host) + ":" + std::to_string(proxy.Port);
}

bool ProxyTunnel(int fd, const TProxyConfig& proxy, const std::string& host, int port, const TDeadline& deadline,
                 int cancel, int timeoutMs, TStepFailure& failure)
{
    TProxyExchange exchange(fd, proxy, deadline, cancel, timeoutMs, failure);
    switch (proxy.Kind) {
    case TProxyKind::HttpConnect:
        return exchange.Http(host, port);
    case TProxyKind::Socks5:
        return exchange.Socks5(host, port);
    case TProxyKind::None:
        break;
    }
    return true;
}
