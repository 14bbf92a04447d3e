#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

// The reader's receive buffer and framing: bytes read from the socket are
// appended behind the held bytes, and every complete MQTT frame at the start
// of the buffer is handed on and removed, so the held bytes always begin at
// a frame boundary. Used by one thread only.
class TFrameAssembler {
public:
    // Makes the packet of one frame and stores it; returns the number of
    // entries after storing. The bytes are valid only during the call.
    using TStoreFrame = std::function<int(const uint8_t* frame, int32_t frameSize)>;
    using TLog = std::function<void(const std::string& message)>;
    // Called after the store line of each frame (the frame-arrival signal).
    using TFrameStored = std::function<void()>;

    explicit TFrameAssembler(const std::string& clientID);

    // Makes sure that at least count bytes are free behind the held bytes.
    // Grows to exactly what is needed with realloc and never clears, so a
    // large reservation costs address space, not resident memory.
    // Raises "Out of memory".
    void EnsureFreeSpace(int64_t count);
    // Appends count bytes behind the held bytes, growing as EnsureFreeSpace.
    void Append(const uint8_t* bytes, int64_t count);
    // Cuts every complete frame out of the held bytes, in order. Whatever the
    // callbacks, the remaining-length decoding or the store raise goes to the
    // caller; the held bytes are then left as they are.
    void CutFrames(const TStoreFrame& store, const TLog& log, const TFrameStored& stored = {});
    // Frees the storage; capacity and held length become 0.
    void Release();

    int64_t Capacity() const { return FCapacity; }
    int64_t Held() const { return FHeld; }
    const uint8_t* Data() const { return FStorage.get(); }

private:
    struct TFreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };

    const std::string ClientID;
    std::unique_ptr<uint8_t, TFreeDeleter> FStorage;
    int64_t FCapacity = 0;
    int64_t FHeld = 0;
};
