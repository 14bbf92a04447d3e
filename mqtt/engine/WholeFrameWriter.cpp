#include "mqtt/engine/WholeFrameWriter.h"

#include <algorithm>
#include <chrono>

#include "diag/EventSink.h"
#include "diag/EventSources.h"
#include "mqtt/codec/MessageTypes.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/ClientSocket.h"
#include "platform/NamedSync.h"

namespace {

using TClock = std::chrono::steady_clock;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch()).count();
}

constexpr int64_t kNsPerMs = 1000000;

// Releases the write mutex on the way out; a failed release is raised only
// when nothing else is on its way out.
class TWriteLock {
public:
    explicit TWriteLock(TNamedMutex& mutex) : FMutex(mutex) {}
    ~TWriteLock()
    {
        if (!FReleased)
            FMutex.Release();
    }
    TWriteLock(const TWriteLock&) = delete;
    TWriteLock& operator=(const TWriteLock&) = delete;

    void Release()
    {
        FReleased = true;
        if (!FMutex.Release())
            throw Exception("ReleaseMutex() failed");
    }

private:
    TNamedMutex& FMutex;
    bool FReleased = false;
};

// Marks the frame in progress for the waiters, and corks a frame of several
// pieces so that they leave in full segments; both end with the frame.
class TFrameInProgress {
public:
    TFrameInProgress(std::atomic<bool>& writing, TClientSocket& socket, bool cork)
        : FWriting(writing), FSocket(socket), FCork(cork)
    {
        FWriting = true;
        if (FCork)
            FSocket.SetCork(true);
    }
    ~TFrameInProgress()
    {
        if (FCork)
            FSocket.SetCork(false);
        FWriting = false;
    }
    TFrameInProgress(const TFrameInProgress&) = delete;
    TFrameInProgress& operator=(const TFrameInProgress&) = delete;

private:
    std::atomic<bool>& FWriting;
    TClientSocket& FSocket;
    const bool FCork;
};

} // namespace

TWholeFrameWriter::TWholeFrameWriter(TClientSocket& socket, TNamedMutex& writeMutex, const std::string& clientID,
    TEventSink& sink, TSessionObserver* observer)
    : Socket(socket)
    , WriteMutex(writeMutex)
    , ClientID(clientID)
    , Sink(sink)
    , Observer(observer)
{
}

void TWholeFrameWriter::Lock()
{
    const int64_t start = NowNs();
    for (;;) {
        // 100 ms in any case; while a frame is being written, until its bytes
        // have not moved for the stall time (its writer gives up then too).
        int64_t deadline = start + kWriteMutexTimeoutMs * kNsPerMs;
        if (FWriting)
            deadline = std::max(deadline, Socket.LastWriteActivity() + FStallMs * kNsPerMs);
        const int64_t left = deadline - NowNs();
        if (left <= 0)
            throw Exception("WaitForSingleObject() timeout");
        switch (WriteMutex.Wait(static_cast<int>((left + kNsPerMs - 1) / kNsPerMs))) {
        case TWaitResult::Acquired:
            return;
        case TWaitResult::Failed:
            throw Exception("WaitForSingleObject() failed");
        case TWaitResult::Timeout:
            break;   // look again whether the frame in front moved meanwhile
        }
    }
}

void TWholeFrameWriter::CloseHalfWritten(const std::string& reason)
{
    try {
        Sink.SendEventMsg("*ERROR* frame half written, closing the connection [" + ClientID + "]", SourceUnit, 0, 0);
    } catch (...) {
        // The close matters more than the line.
    }
    bool closedHere = false;
    try {
        closedHere = Socket.Close();
    } catch (...) {
        closedHere = true;   // the notification failed; the socket is closed all the same
    }
    if (closedHere && Observer)
        Observer->OnConnectionLost(reason);
}

int32_t TWholeFrameWriter::WriteWhole(const uint8_t* frame, int32_t length, int32_t pieceSize)
{
    TSocketStream stream(Socket, FStallMs);
    int32_t written = 0;
    try {
        TFrameInProgress inProgress(FWriting, Socket, length > pieceSize);
        WriteInPieces(stream, frame, length, pieceSize, &written);
        // Under TLS the corked pieces' last record is still to go.
        if (!stream.Flush())
            throw Exception("Socket Write Error");
    } catch (const std::exception& e) {
        // A frame whose every byte is out is written, whatever became of the
        // connection after its last byte (the broker hanging up after a
        // DISCONNECT, the reader closing the socket then).
        const bool heldBack = Socket.WriteHeldBack();
        if (written != length || heldBack) {
            // Still under the mutex: nobody can write behind the half frame. A
            // TLS record held back counts as written: it goes out with the next
            // write of anybody, and the frame's rest would never follow it.
            if (written > 0 || heldBack)
                CloseHalfWritten(e.what());
            throw;
        }
    }
    if (Observer)
        Observer->OnFrame(TFrameDirection::Sent, frame, length);
    return written;
}

bool TWholeFrameWriter::WriteFrame(const uint8_t* frame, int32_t length)
{
    Lock();
    TWriteLock lock(WriteMutex);
    const bool active = Socket.Active();
    if (active && length > 0) {
        if (!frame)
            throw Exception("parameter is null");
        WriteWhole(frame, length, kPieceSize);
        if (frame[0] >> 4 == MessageType::DISCONNECT)
            FDisconnectSent = true;
    }
    lock.Release();
    return active || length <= 0;
}

bool TWholeFrameWriter::WriteAckFrame(const uint8_t* frame, int32_t length, const std::function<bool()>& stopping)
{
    Lock();
    TWriteLock lock(WriteMutex);
    // Looked at under the mutex: a DISCONNECT is either out already or goes
    // after this frame.
    const bool ended = FDisconnectSent || stopping();
    // The whole frame in one write; should the write stop short, the rest
    // follows, so the broker never holds half an acknowledgement.
    if (!ended)
        WriteWhole(frame, length, length);
    lock.Release();
    return !ended;
}
