#include "mqtt/engine/FrameWriter.h"

#include "mqtt/engine/SessionObserver.h"
#include "platform/ClientSocket.h"
#include "platform/NamedSync.h"

namespace {

// Holds the write mutex for one frame; a failed release is raised only when
// nothing else is on its way out.
class TWriteLock {
public:
    explicit TWriteLock(TNamedMutex& mutex) : FMutex(mutex)
    {
        LockNamedMutex(FMutex, TFrameWriter::kWriteMutexTimeoutMs);
    }
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

} // namespace

TFrameWriter::TFrameWriter(TClientSocket& socket, TNamedMutex& writeMutex, TSessionObserver* observer)
    : Socket(socket)
    , WriteMutex(writeMutex)
    , Observer(observer)
{
}

void TFrameWriter::WriteFrame(const uint8_t* frame, int32_t length)
{
    TWriteLock lock(WriteMutex);
    if (Socket.Active() && length > 0) {
        if (!frame)
            throw Exception("parameter is null");
        TSocketStream stream(Socket, kWriteTimeoutMs);
        WriteInPieces(stream, frame, length, kPieceSize);
        if (Observer)
            Observer->OnFrame(TFrameDirection::Sent, frame, length);
    }
    lock.Release();
}

int32_t TFrameWriter::WriteAckFrame(const uint8_t* frame, int32_t length, const std::function<bool()>& stopping)
{
    TWriteLock lock(WriteMutex);
    if (stopping())
        throw Exception("terminated or socket closed");
    TSocketStream stream(Socket, kWriteTimeoutMs);
    // The whole frame in one write; should the write stop short, the rest
    // follows, so the broker never holds half an acknowledgement.
    const int32_t written = WriteInPieces(stream, frame, length, length);
    if (Observer)
        Observer->OnFrame(TFrameDirection::Sent, frame, length);
    lock.Release();
    return written;
}
