#include "mqtt/engine/FrameAssembler.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "mqtt/codec/WirePrimitives.h"
#include "platform/Error.h"

namespace {

int64_t WholeChunks(int64_t bytes)
{
    const int64_t chunk = TFrameAssembler::kReadChunkSize;
    return (bytes + chunk - 1) / chunk * chunk;
}

} // namespace

TFrameAssembler::TFrameAssembler(const std::string& clientID, int64_t directFrameMin)
    : ClientID(clientID)
    , DirectFrameMin(directFrameMin)
{
}

void TFrameAssembler::Reserve(int64_t bytes)
{
    if (FAllocated >= bytes)
        return;
    void* grown = std::realloc(FStorage.get(), static_cast<size_t>(bytes));
    if (!grown)
        throw Exception("Out of memory");
    (void)FStorage.release();
    FStorage.reset(static_cast<uint8_t*>(grown));
    FAllocated = bytes;
}

void TFrameAssembler::EnsureFreeSpace(int64_t count)
{
    if (FCapacity - Held() >= count)
        return;
    Reserve(FHeld + count);
    FCapacity = Held() + count;
}

int64_t TFrameAssembler::FirstFrameSize() const
{
    const uint8_t* storage = FStorage.get();
    const int available = FHeld > 5 ? 5 : static_cast<int>(FHeld);
    if (!storage || !IsRemainLengthComplete(storage, available))
        return -1;
    try {
        int fieldLength = 0;
        const int32_t value = DecodeRemainLength(storage + 1, fieldLength);
        return 1 + static_cast<int64_t>(fieldLength) + value;
    } catch (const Exception&) {
        return -1;   // CutFrames reports it
    }
}

std::array<TFrameAssembler::TReadArea, 2> TFrameAssembler::PrepareRead()
{
    std::array<TReadArea, 2> areas{};
    if (FDirect) {
        const int64_t rest = FDirectSize - FDirectFilled;
        const int64_t behind = WholeChunks(rest) - rest;
        Reserve(FHeld + behind);
        areas[0] = {FDirect.get() + FDirectFilled, rest};
        areas[1] = {FStorage.get() + FHeld, behind};
        return areas;
    }
    int64_t count = kReadChunkSize;
    const int64_t frameSize = FirstFrameSize();
    if (frameSize > FHeld)
        count = std::max(count, WholeChunks(frameSize - FHeld));
    Reserve(FHeld + count);
    areas[0] = {FStorage.get() + FHeld, count};
    return areas;
}

void TFrameAssembler::Commit(int64_t count)
{
    if (FDirect) {
        const int64_t intoFrame = std::min(count, FDirectSize - FDirectFilled);
        FDirectFilled += intoFrame;
        count -= intoFrame;
    }
    FHeld += count;
    // The receive buffer of a reader that copied every byte would have grown
    // to what it holds now.
    FCapacity = std::max(FCapacity, Held());
}

void TFrameAssembler::Release()
{
    FStorage.reset();
    FAllocated = 0;
    FCapacity = 0;
    FHeld = 0;
    FDirect.reset();
    FDirectSize = 0;
    FDirectFilled = 0;
}

void TFrameAssembler::StartDirectFrame(int64_t frameSize)
{
    // What is held so far is the start of this frame and nothing else.
    try {
        FDirect = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(frameSize));
    } catch (const std::bad_alloc&) {
        throw Exception("Out of memory");
    }
    if (FHeld > 0)
        std::memcpy(FDirect.get(), FStorage.get(), static_cast<size_t>(FHeld));
    FDirectSize = frameSize;
    FDirectFilled = FHeld;
    FHeld = 0;
}

void TFrameAssembler::StoreFrame(const uint8_t* frame, int64_t frameSize, int64_t heldBefore,
    std::unique_ptr<uint8_t[]>& owned, const TStoreFrame& store, const TLog& log, const TFrameStored& stored)
{
    const int entries = store(frame, static_cast<int32_t>(frameSize), owned);
    log("TMQTTClientReaderThread: store frame to ReceiveQueue, entries = " + std::to_string(entries)
        + " size = " + std::to_string(FCapacity) + " ptr = " + std::to_string(heldBefore));
    if (stored)
        stored();
}

void TFrameAssembler::CutFrames(const TStoreFrame& store, const TLog& log, const TFrameStored& stored)
{
    const std::string packingLine =
        "TMQTTClientReaderThread: more than one frame data exists, packing the buffer data [" + ClientID + "]";
    if (FDirect) {
        if (FDirectFilled < FDirectSize)
            return;
        // The bytes read behind the frame already lie at the start of the
        // receive buffer: nothing is moved, but the line comes as before.
        try {
            StoreFrame(FDirect.get(), FDirectSize, Held(), FDirect, store, log, stored);
        } catch (...) {
            if (!FDirect) {   // taken over, then refused: the frame is gone
                FDirectSize = 0;
                FDirectFilled = 0;
            }
            throw;
        }
        FDirect.reset();
        FDirectSize = 0;
        FDirectFilled = 0;
        if (FHeld > 0)
            log(packingLine);
    }
    std::unique_ptr<uint8_t[]> notOwned;
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
        if (frameSize > FHeld) {
            if (frameSize >= DirectFrameMin)
                StartDirectFrame(frameSize);
            return;
        }

        StoreFrame(storage, frameSize, FHeld, notOwned, store, log, stored);
        if (frameSize < FHeld) {
            log(packingLine);
            std::memmove(storage, storage + frameSize, static_cast<size_t>(FHeld - frameSize));
        }
        FHeld -= frameSize;
    }
}
