#include "mqtt/engine/FrameAssembler.h"

#include <cstring>

#include "mqtt/codec/WirePrimitives.h"
#include "platform/Error.h"

TFrameAssembler::TFrameAssembler(const std::string& clientID)
    : ClientID(clientID)
{
}

void TFrameAssembler::EnsureFreeSpace(int64_t count)
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

void TFrameAssembler::Append(const uint8_t* bytes, int64_t count)
{
    EnsureFreeSpace(count);
    if (count > 0)
        std::memcpy(FStorage.get() + FHeld, bytes, static_cast<size_t>(count));
    FHeld += count;
}

void TFrameAssembler::Release()
{
    FStorage.reset();
    FCapacity = 0;
    FHeld = 0;
}

void TFrameAssembler::CutFrames(const TStoreFrame& store, const TLog& log, const TFrameStored& stored)
{
    while (FHeld > 0) {
        uint8_t* storage = FStorage.get();
        // The held length never exceeds the capacity, whose type is the
        // reader's integer; only the first five bytes matter here.
        const int available = FHeld > 5 ? 5 : static_cast<int>(FHeld);
        if (!IsRemainLengthComplete(storage, available)) {
            log("TMQTTClientReaderThread: remain-length data has not yet received [" + ClientID + "]");
            return;
        }
        int fieldLength = 0;
        const int32_t value = DecodeRemainLength(storage + 1, fieldLength);
        const int64_t frameSize = 1 + static_cast<int64_t>(fieldLength) + value;
        if (frameSize > FHeld)
            return;

        const int entries = store(storage, static_cast<int32_t>(frameSize));
        log("TMQTTClientReaderThread: store frame to ReceiveQueue, entries = " + std::to_string(entries)
            + " size = " + std::to_string(FCapacity) + " ptr = " + std::to_string(FHeld));
        if (stored)
            stored();

        if (frameSize < FHeld) {
            log("TMQTTClientReaderThread: more than one frame data exists, packing the buffer data [" + ClientID
                + "]");
            std::memmove(storage, storage + frameSize, static_cast<size_t>(FHeld - frameSize));
        }
        FHeld -= frameSize;
    }
}
