#include "platform/WebSocketSession.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>

#include <openssl/rand.h>
#include <wslay/wslay.h>

#include "platform/SystemError.h"
#include "platform/CodePage.h"
#include "platform/Error.h"

namespace {

// What one Read() takes from the link at most, so that a long stream does not
// hold the socket's lock (and the writers behind it) for long.
constexpr int kReadBudget = 256 * 1024;
// wslay asks for at most 4 KiB at a time; the link is read in larger steps
// (one system call per 4 KiB would cost more than the copy).
constexpr std::size_t kReadAhead = 64 * 1024;
// What wslay may frame ahead of the link: one whole message with its header.
constexpr std::size_t kOutLimit = TWebSocketSession::kMessageBytes + 16;

constexpr uint16_t kNormalClosure = 1000;
constexpr uint16_t kUnsupportedData = 1003;

std::string CloseText(uint16_t code, const uint8_t* reason, std::size_t length)
{
    if (code == 0)
        return "WebSocket close without a status code";
    std::string text = "WebSocket close " + std::to_string(code);
    if (const char* name = WebSocketCloseName(code); *name)
        text += std::string(" ") + name;
    if (length > 0) {
        // Valid UTF-8 (wslay checked it); control characters would break a log line.
        std::string words(reinterpret_cast<const char*>(reason), length);
        std::replace_if(words.begin(), words.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
        text += ": " + CodePage::UTF8ToSystem(words);
    }
    return text;
}

}  // namespace

const char* WebSocketCloseName(int code)
{
    switch (code) {
    case 1000: return "normal closure";
    case 1001: return "going away";
    case 1002: return "protocol error";
    case 1003: return "unsupported data";
    case 1007: return "invalid frame payload data";
    case 1008: return "policy violation";
    case 1009: return "message too big";
    case 1010: return "mandatory extension";
    case 1011: return "internal error";
    case 1012: return "service restart";
    case 1013: return "try again later";
    case 1014: return "bad gateway";
    default: return "";
    }
}

// The C callbacks of wslay; nothing may be raised through them, so failures
// of the link are kept and raised once wslay has returned.
struct TWebSocketSession::TCallbacks {
    static TWebSocketSession& Of(void* user) { return *static_cast<TWebSocketSession*>(user); }

    static ssize_t Receive(wslay_event_context* context, uint8_t* buffer, size_t length, int, void* user)
    {
        TWebSocketSession& s = Of(user);
        if (s.FAheadStart == s.FAheadEnd && s.FReadRoom > 0 && s.FReadBudget > 0 && s.FLink) {
            if (s.FAhead.size() < kReadAhead)
                s.FAhead.resize(kReadAhead);
            s.FAheadStart = s.FAheadEnd = 0;
            int got = 0;
            bool ended = false;
            try {
                got = s.FLink->Read(s.FAhead.data(), static_cast<int>(s.FAhead.size()), s.FWait, ended);
            } catch (...) {
                s.FReadFailure = std::current_exception();
                wslay_event_set_error(context, WSLAY_ERR_CALLBACK_FAILURE);
                return -1;
            }
            s.FAheadEnd = static_cast<std::size_t>(got);
            s.FReadBudget -= got;
            if (got == 0 && ended) {
                s.FLinkEnded = true;
                wslay_event_set_error(context, WSLAY_ERR_CALLBACK_FAILURE);
                return -1;
            }
        }
        // The bytes read ahead (at first those behind the upgrade answer).
        if (s.FAheadStart < s.FAheadEnd) {
            const std::size_t n = std::min(length, s.FAheadEnd - s.FAheadStart);
            std::memcpy(buffer, s.FAhead.data() + s.FAheadStart, n);
            s.FAheadStart += n;
            return static_cast<ssize_t>(n);
        }
        wslay_event_set_error(context, WSLAY_ERR_WOULDBLOCK);
        return -1;
    }

    static ssize_t Send(wslay_event_context* context, const uint8_t* data, size_t length, int, void* user)
    {
        TWebSocketSession& s = Of(user);
        const std::size_t held = s.FOut.size() - s.FOutStart;
        if (held >= kOutLimit) {
            wslay_event_set_error(context, WSLAY_ERR_WOULDBLOCK);
            return -1;
        }
        const std::size_t n = std::min(length, kOutLimit - held);
        s.FOut.insert(s.FOut.end(), data, data + n);
        return static_cast<ssize_t>(n);
    }

    static int MaskKey(wslay_event_context*, uint8_t* buffer, size_t length, void*)
    {
        return RAND_bytes(buffer, static_cast<int>(length)) == 1 ? 0 : -1;
    }

    static void FrameStart(wslay_event_context* context, const wslay_event_on_frame_recv_start_arg* arg, void* user)
    {
        TWebSocketSession& s = Of(user);
        s.FDataFrame = false;
        if (arg->opcode == WSLAY_BINARY_FRAME || arg->opcode == WSLAY_CONTINUATION_FRAME) {
            // A continuation continues a binary message: a text one was refused at its start.
            s.FDataFrame = true;
        } else if (arg->opcode == WSLAY_TEXT_FRAME) {
            s.FProtocolError = "the broker sent a text message (MQTT travels in binary messages)";
            static const char reason[] = "MQTT needs binary messages";
            wslay_event_queue_close(context, kUnsupportedData, reinterpret_cast<const uint8_t*>(reason),
                                    sizeof reason - 1);
            wslay_event_shutdown_read(context);
        }
    }

    static void FrameChunk(wslay_event_context*, const wslay_event_on_frame_recv_chunk_arg* arg, void* user)
    {
        TWebSocketSession& s = Of(user);
        if (!s.FDataFrame || !s.FProtocolError.empty())
            return;
        std::size_t direct = std::min<std::size_t>(arg->data_length, static_cast<std::size_t>(s.FReadRoom));
        if (direct > 0) {
            std::memcpy(s.FReadTo, arg->data, direct);
            s.FReadTo += direct;
            s.FReadRoom -= static_cast<int>(direct);
            s.FDelivered += static_cast<int>(direct);
        }
        s.FIn.insert(s.FIn.end(), arg->data + direct, arg->data + arg->data_length);
    }

    static void Message(wslay_event_context*, const wslay_event_on_msg_recv_arg* arg, void* user)
    {
        TWebSocketSession& s = Of(user);
        if (arg->opcode != WSLAY_CONNECTION_CLOSE)
            return;   // pings are answered by wslay, pongs need nothing
        const std::size_t length = arg->msg_length >= 2 ? arg->msg_length - 2 : 0;
        s.FPeerClose = CloseText(arg->status_code, length > 0 ? arg->msg + 2 : nullptr, length);
    }
};

TWebSocketSession::TWebSocketSession(std::vector<uint8_t> rest) : FAhead(std::move(rest)), FAheadEnd(FAhead.size())
{
    wslay_event_callbacks callbacks{};
    callbacks.recv_callback = &TCallbacks::Receive;
    callbacks.send_callback = &TCallbacks::Send;
    callbacks.genmask_callback = &TCallbacks::MaskKey;
    callbacks.on_frame_recv_start_callback = &TCallbacks::FrameStart;
    callbacks.on_frame_recv_chunk_callback = &TCallbacks::FrameChunk;
    callbacks.on_msg_recv_callback = &TCallbacks::Message;
    if (wslay_event_context_client_init(&FContext, &callbacks, this) != 0)
        throw Exception(SocketErrorMessage("WebSocket", ENOMEM, SystemErrorText(ENOMEM)));
    // Data is handed on as it arrives, never held until its message is whole.
    wslay_event_config_set_no_buffering(FContext, 1);
    wslay_event_config_set_max_recv_msg_length(FContext, UINT64_MAX >> 1);
}

TWebSocketSession::~TWebSocketSession()
{
    wslay_event_context_free(FContext);
}

void TWebSocketSession::QueueMessage(const uint8_t* data, std::size_t size)
{
    wslay_event_msg message{WSLAY_BINARY_FRAME, data, size};
    const int result = wslay_event_queue_msg(FContext, &message);
    if (result == WSLAY_ERR_NO_MORE_MSG)
        throw Exception(SocketErrorMessage("Write", ENOTCONN, SystemErrorText(ENOTCONN)));
    if (result != 0)
        throw Exception(SocketErrorMessage("Write", ENOMEM, SystemErrorText(ENOMEM)));
}

void TWebSocketSession::QueueGathered()
{
    if (FGather.empty())
        return;
    QueueMessage(FGather.data(), FGather.size());
    FGather.clear();
}

void TWebSocketSession::Pump(TByteLink& link, short& wait, bool& moved)
{
    for (;;) {
        while (FOutStart < FOut.size()) {
            int sent = 0;
            try {
                sent = link.Write(FOut.data() + FOutStart, static_cast<int>(FOut.size() - FOutStart), wait);
            } catch (...) {
                FWriteFailure = std::current_exception();
                throw;
            }
            if (sent == 0)
                return;
            moved = true;
            FOutStart += static_cast<std::size_t>(sent);
        }
        FOut.clear();
        FOutStart = 0;
        if (!wslay_event_want_write(FContext))
            return;
        if (wslay_event_send(FContext) != 0)
            throw Exception(SocketErrorMessage("Write", EPROTO, "WebSocket framing failed"));
        if (FOut.empty())
            return;
    }
}

int TWebSocketSession::Write(TByteLink& link, const uint8_t* data, int count, bool gather, short& wait, bool& moved)
{
    wait = POLLOUT;
    if (FWriteFailure)
        std::rethrow_exception(FWriteFailure);
    if (FShutdown || wslay_event_get_close_sent(FContext) || !FPeerClose.empty())
        throw Exception(SocketErrorMessage("Write", ENOTCONN, SystemErrorText(ENOTCONN)));
    if (count <= 0)
        return 0;
    Pump(link, wait, moved);
    if (FOutStart < FOut.size() || wslay_event_want_write(FContext))
        return 0;   // earlier bytes first
    if (gather) {
        const int taken = std::min(count, kMessageBytes - static_cast<int>(FGather.size()));
        FGather.insert(FGather.end(), data, data + taken);
        moved = true;
        if (static_cast<int>(FGather.size()) == kMessageBytes) {
            QueueGathered();
            Pump(link, wait, moved);
        }
        return taken;
    }
    QueueGathered();
    const int taken = std::min(count, kMessageBytes);
    QueueMessage(data, static_cast<std::size_t>(taken));
    moved = true;
    Pump(link, wait, moved);
    return taken;
}

bool TWebSocketSession::Flush(TByteLink& link, short& wait, bool& moved)
{
    wait = POLLOUT;
    if (FWriteFailure)
        std::rethrow_exception(FWriteFailure);
    QueueGathered();
    Pump(link, wait, moved);
    return !HasPendingWrite();
}

bool TWebSocketSession::HasPendingWrite() const
{
    // Once the close handshake has begun, what wslay still wants to send is
    // its close frame: the data before it went out (or never will).
    const bool closing = !FPeerClose.empty() || wslay_event_get_close_sent(FContext);
    return !FGather.empty() || FOutStart < FOut.size() || (wslay_event_want_write(FContext) && !closing);
}

int TWebSocketSession::Read(TByteLink& link, uint8_t* buffer, int count, short& wait, bool& peerClosed)
{
    wait = POLLIN;
    if (count <= 0)
        return 0;
    if (FInStart < FIn.size()) {
        const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(count), FIn.size() - FInStart));
        std::memcpy(buffer, FIn.data() + FInStart, static_cast<std::size_t>(n));
        FInStart += static_cast<std::size_t>(n);
        if (FInStart == FIn.size()) {
            FIn.clear();
            FInStart = 0;
        }
        return n;
    }
    if (FReadFailure)
        std::rethrow_exception(FReadFailure);
    if (FProtocolError.empty() && FPeerClose.empty() && !FLinkEnded) {
        FLink = &link;
        FReadTo = buffer;
        FReadRoom = count;
        FDelivered = 0;
        FReadBudget = kReadBudget;
        FWait = POLLIN;
        const int result = wslay_event_recv(FContext);
        FLink = nullptr;
        FReadTo = nullptr;
        FReadRoom = 0;
        // The link's event after its last read; one that delivered bytes
        // names none, and the next wait is for more.
        wait = FWait != 0 ? FWait : POLLIN;
        if (result != 0 && result != WSLAY_ERR_CALLBACK_FAILURE && FProtocolError.empty())
            FProtocolError = "out of memory for the broker's WebSocket frames";
        // Set off by a frame wslay refused (a masked frame, a bad opcode or close code, ...).
        if (!wslay_event_get_read_enabled(FContext) && FProtocolError.empty() && FPeerClose.empty() && !FLinkEnded &&
            !FReadFailure)
            FProtocolError = "the broker broke the WebSocket protocol";
        // The answers wslay queued (a pong, the close frame) go now if they can;
        // a failure here is met again by the next write.
        if (!FLinkEnded && !FReadFailure && wslay_event_want_write(FContext)) {
            try {
                short ignoredWait = 0;
                bool ignoredMove = false;
                Pump(link, ignoredWait, ignoredMove);
            } catch (...) {
            }
        }
        if (FDelivered > 0)
            return FDelivered;
    }
    if (FReadFailure)
        std::rethrow_exception(FReadFailure);
    if (!FProtocolError.empty()) {
        std::string reason = FProtocolError;
        if (const int sent = wslay_event_get_close_sent(FContext) ? wslay_event_get_status_code_sent(FContext) : 0)
            reason += " (closed with " + std::to_string(sent) + ")";
        throw Exception(SocketErrorMessage("Read", EPROTO, reason));
    }
    if (!FPeerClose.empty() || FLinkEnded)
        peerClosed = true;
    return 0;
}

bool TWebSocketSession::HasBufferedData() const
{
    return FInStart < FIn.size() || FAheadStart < FAheadEnd || FReadFailure || !FProtocolError.empty() ||
           FLinkEnded || !FPeerClose.empty();
}

void TWebSocketSession::Shutdown(TByteLink& link)
{
    if (FShutdown)
        return;
    FShutdown = true;
    if (FWriteFailure || FLinkEnded)
        return;
    try {
        if (!wslay_event_get_close_sent(FContext))
            wslay_event_queue_close(FContext, kNormalClosure, nullptr, 0);
        short wait = 0;
        bool moved = false;
        Pump(link, wait, moved);
    } catch (...) {
        // The connection goes down anyway.
    }
}
