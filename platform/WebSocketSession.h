#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/ByteLink.h"

struct wslay_event_context;

// The WebSocket layer of a client connection, after the upgrade: MQTT bytes
// go out in binary messages and come in from binary messages, whatever their
// boundaries (a frame may span messages and a message may hold several
// frames). The framing, masking, ping answers and the close handshake are
// wslay's; this class ties it to the byte link below (clear or TLS) in the
// link's non-blocking style, so the socket keeps its time-outs, its partial
// writes and its close from any thread.
//
// Not thread-safe: the socket calls it under its own lock, and the link it
// is given is used only inside each call.
class TWebSocketSession {
public:
    // rest: the bytes the broker sent behind its upgrade answer.
    explicit TWebSocketSession(std::vector<uint8_t> rest = {});
    ~TWebSocketSession();
    TWebSocketSession(const TWebSocketSession&) = delete;
    TWebSocketSession& operator=(const TWebSocketSession&) = delete;

    // The largest message written; a corked frame's pieces gather up to it.
    static constexpr int kMessageBytes = 1024 * 1024;

    // Takes at most count MQTT bytes. gather (while the socket is corked):
    // the bytes wait for more to fill one message, and Flush() sends them.
    // > 0: bytes taken (they may still be on their way: HasPendingWrite).
    // 0: nothing taken now because earlier bytes are still going out; wait
    // holds the link's event. moved: bytes went to the link meanwhile.
    // Raises the link's failure, and "Write エラー 107, ..." once the close
    // handshake has begun.
    int Write(TByteLink& link, const uint8_t* data, int count, bool gather, short& wait, bool& moved);
    // Sends what is gathered and queued; true when all of it went to the link.
    bool Flush(TByteLink& link, short& wait, bool& moved);
    // Bytes taken that have not all gone to the link: a message started on
    // the wire is finished before anything else goes out.
    bool HasPendingWrite() const;

    // Reads at most count MQTT bytes of what the link has now. 0: nothing
    // yet (wait holds the link's event; a ping, a partial WebSocket header),
    // or the broker closed: its close frame (answered), or the end of the
    // link's stream (peerClosed). Raises the link's failure, or "Read エラー
    // <code>, <reason>" when the broker broke the WebSocket protocol (a text
    // message, a masked frame, ...) after answering it with a close frame.
    int Read(TByteLink& link, uint8_t* buffer, int count, short& wait, bool& peerClosed);
    // Bytes read and not yet delivered, the broker's close or a failure: a
    // reader must call Read() before it polls the link. Like a socket at its
    // end, a closed session stays readable.
    bool HasBufferedData() const;

    // Our close: a close frame (1000) if it fits now, never waiting. Later
    // writes raise.
    void Shutdown(TByteLink& link);

    // The broker's close frame, in words ("WebSocket close 1001 going away:
    // restarting"); empty while none came.
    const std::string& PeerClose() const { return FPeerClose; }

    // wslay's callbacks.
    struct TCallbacks;

private:
    void Pump(TByteLink& link, short& wait, bool& moved);
    void QueueMessage(const uint8_t* data, std::size_t size);
    void QueueGathered();
    void RaiseStored();

    wslay_event_context* FContext = nullptr;
    // Bytes wslay has framed and masked, not yet taken by the link, from
    // FOutStart on.
    std::vector<uint8_t> FOut;
    std::size_t FOutStart = 0;
    std::vector<uint8_t> FGather;
    // Received MQTT bytes not yet delivered, from FInStart on.
    std::vector<uint8_t> FIn;
    std::size_t FInStart = 0;
    // The read in progress: where payload goes, how much room is left.
    uint8_t* FReadTo = nullptr;
    int FReadRoom = 0;
    int FDelivered = 0;
    int FReadBudget = 0;
    // The link during a call, for the callbacks.
    TByteLink* FLink = nullptr;
    short FWait = 0;
    // Bytes read from the link that wslay has not taken yet, from
    // FAheadStart to FAheadEnd; at first those behind the upgrade answer.
    std::vector<uint8_t> FAhead;
    std::size_t FAheadStart = 0;
    std::size_t FAheadEnd = 0;
    bool FDataFrame = false;       // the frame being received carries message data
    bool FLinkEnded = false;       // the link's stream ended
    bool FShutdown = false;
    std::string FPeerClose;
    std::string FProtocolError;    // why we closed: the broker broke the protocol
    std::exception_ptr FReadFailure;
    std::exception_ptr FWriteFailure;
};

// The words RFC 6455 gives a close code ("going away"), or "".
const char* WebSocketCloseName(int code);
