#pragma once

#include <cstdint>
#include <functional>

#include "platform/Error.h"

class TClientSocket;
class TNamedMutex;
class TSessionObserver;

// Every whole frame a client writes goes through here, under the client's write
// mutex, so that a console frame and an acknowledgement never interleave on the
// wire. Used by the console's thread (SendFrame) and the event-handler thread.
class TFrameWriter {
public:
    TFrameWriter(TClientSocket& socket, TNamedMutex& writeMutex, TSessionObserver* observer);

    // A console frame, in pieces of at most 2000 bytes, each within 1000 ms.
    // Writes nothing on a socket that is no longer active. Raises
    // "WaitForSingleObject() timeout", "WaitForSingleObject() failed",
    // "Socket Write Error", "ReleaseMutex() failed" or the socket's own error.
    void WriteFrame(const uint8_t* frame, int32_t length);

    // An acknowledgement, whole. Raises "terminated or socket closed" when
    // stopping() says so once the mutex is held, and the errors above.
    // Returns the bytes written.
    int32_t WriteAckFrame(const uint8_t* frame, int32_t length, const std::function<bool()>& stopping);

    static constexpr int kPieceSize = 2000;
    static constexpr int kWriteTimeoutMs = 1000;
    static constexpr int kWriteMutexTimeoutMs = 100;

private:
    TClientSocket& Socket;
    TNamedMutex& WriteMutex;
    TSessionObserver* const Observer;
};

// Writes length bytes in pieces of at most pieceSize; a short write is
// followed by a write of the rest. Raises "Socket Write Error" when a write
// transfers nothing within the stream's time-out. Returns the bytes written.
template <class TStream>
int32_t WriteInPieces(TStream& stream, const uint8_t* data, int32_t length, int32_t pieceSize)
{
    int32_t sent = 0;
    int32_t left = length;
    while (left > 0) {
        const int32_t piece = left > pieceSize ? pieceSize : left;
        const int written = stream.Write(data + sent, piece);
        if (written <= 0)
            throw Exception("Socket Write Error");
        left -= written;
        sent += written;
    }
    return sent;
}
