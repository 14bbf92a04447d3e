#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Error.h"

class TClientSocket;
class TEventSink;
class TNamedMutex;
class TSessionObserver;

// Every whole frame a client writes goes through here, under the client's write
// mutex, so that a console frame and an acknowledgement never interleave on the
// wire. Used by the console's thread (SendFrame) and the event-handler thread.
//
// A write gives up only when none of its bytes moved for the write stall
// time (settable, 10 s at first): no byte taken by the connection, none
// acknowledged by the broker and no probe of its closed receive window
// answered, so a broker that reads slowly or in bursts is never given up while
// it reads. A writer that finds the mutex held waits 100 ms, and longer while
// the frame in front of it makes progress: it gives up ("WaitForSingleObject()
// timeout") only once that frame's bytes have not moved for the stall time,
// so an acknowledgement goes out right after a long frame instead of ending
// the connection.
//
// A frame that fails after part of it went out (under TLS also one whose
// first record is held back, half sent) leaves the broker reading every
// later byte as the rest of it: the connection is then closed, with the line
// "*ERROR* frame half written, closing the connection [" + client identifier + "]",
// before the mutex is released, and the error goes on to the caller.
class TWholeFrameWriter {
public:
    TWholeFrameWriter(TClientSocket& socket, TNamedMutex& writeMutex, const std::string& clientID, TEventSink& sink,
        TSessionObserver* observer);

    // A console frame, in pieces of at most 2000 bytes; a write times out when
    // no byte moved for the stall time. Writes nothing on a socket that is no
    // longer active, and then returns false. Raises "WaitForSingleObject()
    // timeout", "WaitForSingleObject() failed", "Socket Write Error",
    // "ReleaseMutex() failed" or the socket's own error.
    bool WriteFrame(const uint8_t* frame, int32_t length);

    // An acknowledgement, whole. Writes nothing and returns false when the
    // connection has ended for it: stopping() says so once the mutex is held,
    // or our DISCONNECT went out (nothing may follow it on the wire, and a
    // broker that closed after reading it answers late bytes with a reset).
    // Raises the errors above.
    bool WriteAckFrame(const uint8_t* frame, int32_t length, const std::function<bool()>& stopping);

    // A whole DISCONNECT of the console went out on this connection.
    bool DisconnectSent() const { return FDisconnectSent; }

    // How long the bytes of a write may stand still before it gives up, from
    // now on; any thread.
    void SetWriteStall(int ms) { FStallMs = ms; }
    int WriteStall() const { return FStallMs; }

    static constexpr int kPieceSize = 2000;
    static constexpr int kWriteStallMs = 10000;
    static constexpr int kWriteMutexTimeoutMs = 100;

private:
    void Lock();
    int32_t WriteWhole(const uint8_t* frame, int32_t length, int32_t pieceSize);
    void CloseHalfWritten(const std::string& reason);

    TClientSocket& Socket;
    TNamedMutex& WriteMutex;
    const std::string ClientID;
    TEventSink& Sink;
    TSessionObserver* const Observer;
    // Set while the holder of the mutex writes a frame: only then may a waiter
    // wait beyond kWriteMutexTimeoutMs.
    std::atomic<bool> FWriting{false};
    std::atomic<int> FStallMs{kWriteStallMs};
    std::atomic<bool> FDisconnectSent{false};
};

// Writes length bytes in pieces of at most pieceSize; a short write is
// followed by a write of the rest. Raises "Socket Write Error" when a write
// transfers nothing within the stream's time-out. Returns the bytes written;
// *written (if given) follows them as they go, also when a write raises.
template <class TStream>
int32_t WriteInPieces(TStream& stream, const uint8_t* data, int32_t length, int32_t pieceSize,
    int32_t* written = nullptr)
{
    int32_t sent = 0;
    int32_t left = length;
    while (left > 0) {
        const int32_t piece = left > pieceSize ? pieceSize : left;
        const int count = stream.Write(data + sent, piece);
        if (count <= 0)
            throw Exception("Socket Write Error");
        left -= count;
        sent += count;
        if (written)
            *written = sent;
    }
    return sent;
}
