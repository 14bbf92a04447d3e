#include "mqtt/engine/ClientReaderThread.h"

#include <cstring>
#include <new>

#include "diag/AppEventMsg.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/WirePrimitives.h"
#include "mqtt/engine/FrameSignal.h"
#include "mqtt/engine/PacketQueue.h"
#include "platform/ClientSocket.h"
#include "platform/Error.h"

namespace {

const char* const kSource = "MQTT_Unit";

} // namespace

TMQTTClientReaderThread::TMQTTClientReaderThread(TClientSocket& socket, TMQTTPacketQueue& receiveQueue,
    const std::string& frameEventName, const std::string& clientID, int32_t bufferSize)
    : Socket(socket)
    , ReceiveQueue(receiveQueue)
    , FrameEventName(frameEventName)
    , ClientID(clientID)
    , BufferSize(bufferSize)
{
}

// The client stops the thread before freeing it; this only guards against
// an owner that did not, since the body uses this object's fields.
TMQTTClientReaderThread::~TMQTTClientReaderThread()
{
    Terminate();
    WaitFor();
}

void TMQTTClientReaderThread::EnsureFreeSpace(int64_t count)
{
    const int64_t free = FCapacity - FHeld;
    if (free >= count)
        return;
    const int64_t capacity = FHeld + count;
    void* grown = std::realloc(FStorage.get(), static_cast<size_t>(capacity));
    if (!grown)
        throw Exception("Out of memory");
    (void)FStorage.release();
    FStorage.reset(static_cast<uint8_t*>(grown));
    FCapacity = capacity;
}

void TMQTTClientReaderThread::AppendToBuffer(const uint8_t* bytes, int64_t count)
{
    EnsureFreeSpace(count);
    std::memcpy(FStorage.get() + FHeld, bytes, static_cast<size_t>(count));
    FHeld += count;
}

void TMQTTClientReaderThread::ReleaseBuffer()
{
    FStorage.reset();
    FCapacity = 0;
    FHeld = 0;
}

void TMQTTClientReaderThread::Log(const std::string& message)
{
    SendEventMsg(message, kSource, 0, 0);
}

void TMQTTClientReaderThread::ReportAndClose(const std::string& message)
{
    // The close must happen even when the report itself fails.
    try {
        Log("TMQTTClientReaderThread:*EXCEPTIN* " + message + "[" + ClientID + "]");
    } catch (...) {
    }
    try {
        Socket.Close();
    } catch (...) {
    }
}

void TMQTTClientReaderThread::CutFrames()
{
    while (FHeld > 0) {
        uint8_t* storage = FStorage.get();
        if (!IsRemainLengthComplete(storage, static_cast<int>(FHeld))) {
            Log("TMQTTClientReaderThread: remain-length data has not yet received [" + ClientID + "]");
            return;
        }
        int fieldLength = 0;
        const int32_t value = DecodeRemainLength(storage + 1, fieldLength);
        const int64_t frameSize = 1 + static_cast<int64_t>(fieldLength) + value;
        if (frameSize > FHeld)
            return;

        auto packet = std::make_unique<TMQTTPacket>(storage, static_cast<int32_t>(frameSize));
        const int entries = ReceiveQueue.Store(packet);
        Log("TMQTTClientReaderThread: store frame to ReceiveQueue, entries = " + std::to_string(entries)
            + " size = " + std::to_string(FCapacity) + " ptr = " + std::to_string(FHeld));
        SignalNamedEvent(FrameEventName);

        if (frameSize < FHeld) {
            Log("TMQTTClientReaderThread: more than one frame data exists, packing the buffer data [" + ClientID + "]");
            std::memmove(storage, storage + frameSize, static_cast<size_t>(FHeld - frameSize));
        }
        FHeld -= frameSize;
    }
}

void TMQTTClientReaderThread::Execute()
{
    try {
        EnsureFreeSpace(BufferSize);
    } catch (const std::exception& e) {
        // Without a buffer nobody would read the socket: end the connection
        // rather than leave it open and deaf.
        ReportAndClose(e.what());
        ReleaseBuffer();
        return;
    }

    try {
        TSocketStream stream(Socket, kStreamTimeoutMs);
        uint8_t chunk[kReadChunkSize];
        while (!Terminated() && Socket.Active()) {
            try {
                if (!Socket.WaitForData(kIdleWaitMs))
                    continue;
                if (Terminated() || !Socket.Active())
                    break;
                const int count = stream.Read(chunk, kReadChunkSize);
                if (count == 0) {
                    // Readable but nothing to read: the broker closed its end.
                    if (stream.PeerClosed())
                        Socket.Close();
                    continue;
                }
                AppendToBuffer(chunk, count);
                CutFrames();
            } catch (const std::exception& e) {
                ReportAndClose(e.what());
            } catch (...) {
                ReportAndClose("unknown error");
            }
        }
    } catch (const std::exception& e) {
        ReportAndClose(e.what());
    }
    ReleaseBuffer();
}
