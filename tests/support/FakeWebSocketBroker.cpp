#include "support/FakeWebSocketBroker.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

namespace {

// The accept value of RFC 6455, made here rather than by the code under test.
std::string AcceptFor(const std::string& key)
{
    const std::string joined = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(joined.data(), joined.size(), digest, &size, EVP_sha1(), nullptr);
    unsigned char text[64] = {};
    EVP_EncodeBlock(text, digest, static_cast<int>(size));
    return reinterpret_cast<char*>(text);
}

bool ReadExactly(int fd, uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

TFakeWebSocketBroker::TFakeWebSocketBroker(std::string refusal) : FRefusal(std::move(refusal))
{
    FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(FListener, 1);
    ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    FThread = std::thread([this] { Run(); });
}

TFakeWebSocketBroker::~TFakeWebSocketBroker()
{
    ::shutdown(FListener, SHUT_RDWR);
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (FConnection >= 0)
            ::shutdown(FConnection, SHUT_RDWR);   // ends the reading thread's wait
    }
    FThread.join();
    ::close(FListener);
    if (FConnection >= 0)
        ::close(FConnection);
}

void TFakeWebSocketBroker::Run()
{
    pollfd entry{FListener, POLLIN, 0};
    if (::poll(&entry, 1, 10000) <= 0)
        return;
    const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    std::string request;
    char c = 0;
    while (request.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1)
        request += c;
    std::string answer = FRefusal.empty() ? std::string() : FRefusal + "\r\nContent-Length: 0\r\n\r\n";
    if (answer.empty()) {
        const size_t at = request.find("Sec-WebSocket-Key: ");
        const std::string key = at == std::string::npos ? "" : request.substr(at + 19, request.find("\r\n", at) - at - 19);
        answer = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Accept: " + AcceptFor(key) + "\r\n\r\n";
    }
    ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    {
        std::lock_guard<std::mutex> guard(FLock);
        FRequest = request;
        FConnection = fd;
        FUpgraded = FRefusal.empty();
    }
    FChanged.notify_all();
    if (!FRefusal.empty())
        return;
    for (;;) {
        uint8_t head[2];
        if (!ReadExactly(fd, head, 2))
            break;
        TFrame frame;
        frame.Fin = (head[0] & 0x80) != 0;
        frame.Opcode = head[0] & 0x0F;
        frame.Masked = (head[1] & 0x80) != 0;
        uint64_t size = head[1] & 0x7F;
        uint8_t extended[8];
        const int extra = size == 126 ? 2 : size == 127 ? 8 : 0;
        if (extra > 0) {
            if (!ReadExactly(fd, extended, static_cast<size_t>(extra)))
                break;
            size = 0;
            for (int i = 0; i < extra; ++i)
                size = (size << 8) | extended[i];
        }
        uint8_t mask[4] = {};
        if ((frame.Masked && !ReadExactly(fd, mask, 4)))
            break;
        frame.Payload.resize(size);
        if (!ReadExactly(fd, frame.Payload.data(), frame.Payload.size()))
            break;
        for (size_t i = 0; i < frame.Payload.size(); ++i)
            frame.Payload[i] ^= mask[i % 4];
        std::lock_guard<std::mutex> guard(FLock);
        FFrames.push_back(std::move(frame));
        FChanged.notify_all();
    }
}

std::vector<uint8_t> TFakeWebSocketBroker::Frame(uint8_t opcode, const std::vector<uint8_t>& payload, bool fin)
{
    std::vector<uint8_t> frame{static_cast<uint8_t>((fin ? 0x80 : 0) | opcode)};
    if (payload.size() < 126) {
        frame.push_back(static_cast<uint8_t>(payload.size()));
    } else {
        frame.push_back(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.push_back(static_cast<uint8_t>(static_cast<uint64_t>(payload.size()) >> shift));
    }
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::vector<uint8_t> TFakeWebSocketBroker::CloseFrame(uint16_t code, const std::string& reason)
{
    std::vector<uint8_t> payload{static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code & 0xFF)};
    payload.insert(payload.end(), reason.begin(), reason.end());
    return Frame(8, payload);
}

bool TFakeWebSocketBroker::Send(const std::vector<uint8_t>& bytes, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(FLock);
    if (!FChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return FUpgraded; }))
        return false;
    return ::send(FConnection, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void TFakeWebSocketBroker::Close()
{
    std::lock_guard<std::mutex> guard(FLock);
    if (FConnection >= 0)
        ::shutdown(FConnection, SHUT_WR);
}

bool TFakeWebSocketBroker::WaitFor(const std::function<bool(const std::vector<TFrame>&)>& pred, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(FLock);
    return FChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return pred(FFrames); });
}

std::vector<uint8_t> TFakeWebSocketBroker::Data()
{
    std::lock_guard<std::mutex> guard(FLock);
    std::vector<uint8_t> data;
    for (const TFrame& frame : FFrames)
        if (frame.Opcode == 0 || frame.Opcode == 2)
            data.insert(data.end(), frame.Payload.begin(), frame.Payload.end());
    return data;
}

std::string TFakeWebSocketBroker::Request()
{
    std::unique_lock<std::mutex> guard(FLock);
    FChanged.wait_for(guard, std::chrono::seconds(5), [&] { return !FRequest.empty(); });
    return FRequest;
}
