#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

// The reader's receive buffer and framing: bytes read from the socket go
// behind the held bytes, and every complete MQTT frame at the start is handed
// on and removed, so the held bytes always begin at a frame boundary. Used by
// one thread only.
//
// Reads follow a plan (PrepareRead, then Commit with what the read gave):
// 2000 bytes while the first frame's size is unknown, and once it is known,
// the rest of that frame at once, rounded up to whole 2000-byte chunks so that
// the bytes behind a frame are the same as with reads of 2000 bytes. A long
// frame (DirectFrameMin bytes or more) is read straight into a buffer of its
// own, which the store may take over, so its bytes are copied by the kernel
// and by nobody else; the receive buffer then keeps only what follows it.
//
// The log lines count as if every byte went through the receive buffer: the
// store line's "size" is the capacity that buffer would have had (the
// reservation, grown to exactly what was held) and "ptr" the bytes held.
class TFrameAssembler {
public:
    // Makes the packet of one frame and stores it; returns the number of
    // entries after storing. The bytes are valid only during the call. owned
    // holds them (owned.get() == frame) when the frame was read into a buffer
    // of its own: the store may take it over; otherwise it is empty.
    using TStoreFrame =
        std::function<int(const uint8_t* frame, int32_t frameSize, std::unique_ptr<uint8_t[]>& owned)>;
    using TLog = std::function<void(const std::string& message)>;
    // Called after the store line of each frame (the frame-arrival signal).
    using TFrameStored = std::function<void()>;

    struct TReadArea {
        uint8_t* Data = nullptr;
        int64_t Size = 0;
    };

    static constexpr int64_t kReadChunkSize = 2000;
    static constexpr int64_t kDirectFrameMin = 64 * 1024;

    explicit TFrameAssembler(const std::string& clientID, int64_t directFrameMin = kDirectFrameMin);

    // Makes sure that at least count bytes are free behind the held bytes.
    // Grows to exactly what is needed with realloc and never clears, so a
    // large reservation costs address space, not resident memory.
    // Raises "Out of memory".
    void EnsureFreeSpace(int64_t count);
    // Where the next read goes, filled in order: the first area, then the
    // second (empty unless a long frame is being read into its own buffer).
    // Raises "Out of memory".
    std::array<TReadArea, 2> PrepareRead();
    // The read after PrepareRead delivered count bytes (at most both areas).
    void Commit(int64_t count);
    // Cuts every complete frame out of the held bytes, in order. Whatever the
    // callbacks, the remaining-length decoding or the store raise goes to the
    // caller; the held bytes are then left as they are.
    void CutFrames(const TStoreFrame& store, const TLog& log, const TFrameStored& stored = {});
    // Frees the storage; capacity and held length become 0.
    void Release();

    int64_t Capacity() const { return FCapacity; }
    // Bytes received and not yet stored, a long frame's included.
    int64_t Held() const { return FHeld + FDirectFilled; }
    // The receive buffer: Buffered() bytes from Data(). While a long frame is
    // read into its own buffer, these are only the bytes that follow it.
    const uint8_t* Data() const { return FStorage.get(); }
    int64_t Buffered() const { return FHeld; }
    // The long frame being read into its own buffer: its size and the bytes
    // it holds so far (0 and 0 when there is none).
    int64_t DirectFrameSize() const { return FDirectSize; }
    int64_t DirectFrameFilled() const { return FDirectFilled; }

private:
    struct TFreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };

    void Reserve(int64_t bytes);
    int64_t FirstFrameSize() const;
    void StartDirectFrame(int64_t frameSize);
    void StoreFrame(const uint8_t* frame, int64_t frameSize, int64_t heldBefore, std::unique_ptr<uint8_t[]>& owned,
        const TStoreFrame& store, const TLog& log, const TFrameStored& stored);

    const std::string ClientID;
    const int64_t DirectFrameMin;
    std::unique_ptr<uint8_t, TFreeDeleter> FStorage;
    int64_t FAllocated = 0;   // bytes of FStorage
    int64_t FCapacity = 0;    // as the log lines show it
    int64_t FHeld = 0;        // bytes in FStorage
    std::unique_ptr<uint8_t[]> FDirect;
    int64_t FDirectSize = 0;
    int64_t FDirectFilled = 0;
};
