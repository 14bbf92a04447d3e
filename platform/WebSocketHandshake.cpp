#include "platform/WebSocketHandshake.h"

#include <algorithm>
#include <cerrno>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/SystemError.h"
#include "platform/Error.h"

namespace {

constexpr std::string_view kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::string Base64(const unsigned char* data, int size)
{
    std::string text(static_cast<std::size_t>(4 * ((size + 2) / 3)), '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data, size);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// Fields the handshake writes itself.
bool IsHandshakeField(std::string_view name)
{
    for (std::string_view own : {"Upgrade", "Connection", "Sec-WebSocket-Key", "Sec-WebSocket-Version",
                                 "Sec-WebSocket-Protocol", "Sec-WebSocket-Extensions", "Content-Length",
                                 "Transfer-Encoding"})
        if (SameAscii(name, own))
            return true;
    return false;
}

std::string HostField(const std::string& host, int port, bool secured)
{
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return port == (secured ? 443 : 80) ? name : name + ":" + std::to_string(port);
}

TStepFailure UpgradeFailure(const std::string& reason, int code, TOpenFailure kind)
{
    return {kind, kind == TOpenFailure::Network, "WebSocket upgrade failed: " + reason,
            SocketErrorMessage("WebSocket", code, reason)};
}

// A wait or a read of the exchange that ended it: its time-out, a cancel, the connection's end.
TStepFailure Broken(int result, int timeoutMs)
{
    if (result == -ECANCELED)
        return {TOpenFailure::Cancelled, false, "cancelled by the user",
                SocketErrorMessage("WebSocket", ECANCELED, SystemErrorText(ECANCELED))};
    if (result == -ETIMEDOUT)
        return UpgradeFailure("no answer within " + std::to_string(timeoutMs) + " ms", ETIMEDOUT, TOpenFailure::TimedOut);
    return UpgradeFailure("the connection ended before the answer", ECONNRESET, TOpenFailure::Network);
}

}  // namespace

std::string WebSocketKey()
{
    unsigned char nonce[16];
    if (RAND_bytes(nonce, sizeof nonce) != 1)
        throw Exception(SocketErrorMessage("WebSocket", EIO, "no random bytes for the handshake key"));
    return Base64(nonce, sizeof nonce);
}

std::string WebSocketAccept(std::string_view key)
{
    const std::string joined = std::string(key) + std::string(kAcceptGuid);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(joined.data(), joined.size(), digest, &size, EVP_sha1(), nullptr);
    return Base64(digest, static_cast<int>(size));
}

bool ParseHeaderLines(std::string_view text, std::vector<std::string>& lines, std::string& problem)
{
    lines.clear();
    std::string_view rest = text;
    while (!rest.empty()) {
        std::size_t end = rest.size();
        std::size_t next = end;
        const std::size_t newline = rest.find('\n');
        const std::size_t escaped = rest.find("\\n");
        if (newline != std::string_view::npos && (escaped == std::string_view::npos || newline < escaped)) {
            end = newline;
            next = newline + 1;
        } else if (escaped != std::string_view::npos) {
            end = escaped;
            next = escaped + 2;
        }
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(next);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        line = TrimBlanks(line);
        if (line.empty())
            continue;
        const std::size_t colon = line.find(':');
        bool valid = colon != std::string_view::npos && IsHttpToken(line.substr(0, colon));
        for (char c : line)
            valid = valid && (static_cast<unsigned char>(c) >= 0x20 || c == '\t') && c != 0x7f;
        if (!valid) {
            problem = "header line is not \"Name: value\": " + std::string(line);
            return false;
        }
        const std::string_view name = line.substr(0, colon);
        if (IsHandshakeField(name)) {
            problem = "header set by the handshake itself: " + std::string(name);
            return false;
        }
        lines.push_back(std::string(name) + ": " + std::string(TrimBlanks(line.substr(colon + 1))));
    }
    return true;
}

std::string WebSocketUpgradeRequest(const TWebSocketConfig& config, const std::string& host, int port, bool secured,
                                    std::string_view key)
{
    std::string path = config.Path.empty() ? std::string("/") : config.Path;
    if (path.front() != '/')
        path.insert(path.begin(), '/');
    std::string encoded;
    for (char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f)
            throw Exception(SocketErrorMessage("WebSocket", EINVAL, "the path holds blanks or control characters"));
        // Beyond ASCII: percent-encoded, as a request line must be.
        static const char hex[] = "0123456789ABCDEF";
        if (byte >= 0x80)
            encoded += {'%', hex[byte >> 4], hex[byte & 15]};
        else
            encoded += c;
    }
    path = encoded;
    bool ownHost = false;
    for (const std::string& line : config.Headers)
        ownHost = ownHost || SameAscii(std::string_view(line).substr(0, line.find(':')), "Host");
    std::string request = "GET " + path + " HTTP/1.1\r\n";
    if (!ownHost)
        request += "Host: " + HostField(host, port, secured) + "\r\n";
    request += "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ";
    request += key;
    request += "\r\nSec-WebSocket-Version: 13\r\n";
    if (!config.Subprotocol.empty())
        request += "Sec-WebSocket-Protocol: " + config.Subprotocol + "\r\n";
    for (const std::string& line : config.Headers)
        request += line + "\r\n";
    return request + "\r\n";
}

std::string CheckWebSocketAnswer(const THttpHead& head, std::string_view key, std::string_view offeredSubprotocol)
{
    if (head.Status != 101)
        return "WebSocket upgrade refused: " + head.StatusLine;
    if (!head.FieldHasToken("Upgrade", "websocket"))
        return "WebSocket upgrade failed: the answer lacks \"Upgrade: websocket\"";
    if (!head.FieldHasToken("Connection", "upgrade"))
        return "WebSocket upgrade failed: the answer lacks \"Connection: Upgrade\"";
    const std::string* accept = head.Field("Sec-WebSocket-Accept");
    if (!accept || *accept != WebSocketAccept(key))
        return "WebSocket upgrade failed: Sec-WebSocket-Accept does not match the key";
    if (head.Field("Sec-WebSocket-Extensions"))
        return "WebSocket upgrade failed: the broker chose an extension that was not offered";
    if (const std::string* chosen = head.Field("Sec-WebSocket-Protocol"); chosen && *chosen != offeredSubprotocol)
        return "WebSocket upgrade failed: the broker chose the subprotocol \"" + *chosen + "\", which was not offered";
    return {};
}

bool UpgradeToWebSocket(TByteLink& link, int fd, const TWebSocketConfig& config, const std::string& host, int port,
                        bool secured, const TDeadline& deadline, int cancel, int timeoutMs,
                        std::vector<uint8_t>& rest, TStepFailure& failure)
{
    std::string request;
    std::string key;
    try {
        key = WebSocketKey();
        request = WebSocketUpgradeRequest(config, host, port, secured, key);
        const int sent = WriteAll(link, fd, reinterpret_cast<const uint8_t*>(request.data()),
                                  static_cast<int>(request.size()), deadline, cancel);
        if (sent < 0) {
            failure = Broken(sent, timeoutMs);
            return false;
        }
    } catch (const Exception& e) {
        failure = {TOpenFailure::Network, true, "WebSocket upgrade failed: " + e.Message(), e.Message()};
        return false;
    }
    // The answer's head is read in pieces: what follows it is the broker's
    // first WebSocket bytes and is kept.
    std::string answer;
    std::size_t headLength = 0;
    uint8_t piece[4096];
    while ((headLength = HttpHeadLength(answer)) == 0) {
        if (answer.size() > kMaxHttpHeadBytes) {
            failure = UpgradeFailure("the answer's head exceeds " + std::to_string(kMaxHttpHeadBytes) + " bytes",
                                     EMSGSIZE, TOpenFailure::WebSocketRefused);
            return false;
        }
        int got = 0;
        try {
            got = ReadSome(link, fd, piece, sizeof piece, deadline, cancel);
        } catch (const Exception& e) {
            failure = {TOpenFailure::Network, true, "WebSocket upgrade failed: " + e.Message(), e.Message()};
            return false;
        }
        if (got < 0) {
            failure = Broken(got, timeoutMs);
            return false;
        }
        answer.append(reinterpret_cast<const char*>(piece), static_cast<std::size_t>(got));
    }
    THttpHead head;
    std::string problem;
    if (!ParseHttpHead(std::string_view(answer).substr(0, headLength), head, problem)) {
        failure = UpgradeFailure(problem, EPROTO, TOpenFailure::WebSocketRefused);
        return false;
    }
    const std::string refusal = CheckWebSocketAnswer(head, key, config.Subprotocol);
    if (!refusal.empty()) {
        const bool refused = head.Status != 101;
        const std::string reason = refused ? head.StatusLine.substr(std::min<std::size_t>(13, head.StatusLine.size()))
                                           : refusal.substr(refusal.find(": ") + 2);
        failure = {TOpenFailure::WebSocketRefused, false, refusal,
                   SocketErrorMessage("WebSocket", refused ? head.Status : EPROTO, reason)};
        return false;
    }
    rest.assign(answer.begin() + static_cast<std::ptrdiff_t>(headLength), answer.end());
    return true;
}
