// The reader's framing: an arbitrary byte stream in arbitrary read sizes goes
// through TFrameAssembler and TMQTTPacket as the reader thread feeds them:
// each read fills at most what the assembler's read plan offers. The frames
// stored are checked against framing worked out here from the whole stream,
// the log lines against the buffer's state, and the buffer's bookkeeping and
// read plan after every read.
//
// Input: byte 0 the reservation (its low six bits, 0..63 bytes) and, in its
// top two bits, the size from which a frame is read into a buffer of its own
// (none, 2, 16 or 300 bytes); byte 1 the number k of read sizes (1..8), k
// bytes of read sizes (0 stands for a full read of 2000 bytes), then the
// stream; the read sizes are used in turn.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/engine/FrameAssembler.h"
#include "platform/Error.h"

namespace {

using TBytes = std::vector<uint8_t>;

const std::string kClientID = "fuzz";
const std::string kStorePrefix = "TMQTTClientReaderThread: store frame to ReceiveQueue, entries = ";
const std::string kPackingLine =
    "TMQTTClientReaderThread: more than one frame data exists, packing the buffer data [" + kClientID + "]";
const std::string kNotYetLine =
    "TMQTTClientReaderThread: remain-length data has not yet received [" + kClientID + "]";
constexpr int kReadChunkSize = 2000;

// The frames of the whole stream, cut from its start; LengthError when the
// stream goes on with a length field of more than four bytes.
struct TFraming {
    std::vector<TBytes> Frames;
    bool LengthError = false;
};

TFraming Frame(const uint8_t* s, size_t n)
{
    TFraming f;
    size_t at = 0;
    while (n - at >= 2) {
        int64_t remain = 0, multiplier = 1;
        int count = 0;
        bool complete = false;
        while (at + 1 + count < n) {
            const uint8_t b = s[at + 1 + count++];
            remain += (b & 0x7F) * multiplier;
            multiplier *= 128;
            if (!(b & 0x80)) {
                complete = true;
                break;
            }
            if (count == 4) {
                f.LengthError = true;
                return f;
            }
        }
        if (!complete)
            return f;
        const size_t size = 1 + count + static_cast<size_t>(remain);
        if (n - at < size)
            return f;
        f.Frames.emplace_back(s + at, s + at + size);
        at += size;
    }
    return f;
}

// Whether the held bytes can tell the length of their first frame.
bool LengthKnown(const uint8_t* held, int64_t n)
{
    for (int i = 1; i <= 4; ++i) {
        if (n <= i)
            return false;
        if (!(held[i] & 0x80) || i == 4)
            return true;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 2)
        return 0;
    const int64_t reservation = input[0] % 64;
    const int64_t directSizes[4] = {TFrameAssembler::kDirectFrameMin, 2, 16, 300};
    const int64_t directFrameMin = directSizes[input[0] / 64];
    const size_t sizeCount = input[1] % 8 + 1;
    if (size < 2 + sizeCount)
        return 0;
    std::vector<int> readSizes;
    for (size_t i = 0; i < sizeCount; ++i)
        readSizes.push_back(input[2 + i] == 0 ? kReadChunkSize : input[2 + i]);
    const uint8_t* stream = input + 2 + sizeCount;
    const size_t streamSize = size - 2 - sizeCount;
    const TFraming expected = Frame(stream, streamSize);

    TFrameAssembler buffer(kClientID, directFrameMin);
    buffer.EnsureFreeSpace(reservation);
    FUZZ_CHECK(buffer.Capacity() == reservation && buffer.Held() == 0);

    std::vector<TBytes> stored;
    std::vector<std::string> lines;
    int64_t frameSize = 0;        // of the frame being stored
    int64_t heldAtStore = 0;
    int signals = 0;
    int64_t consumed = 0;         // bytes of the frames stored
    const TFrameAssembler::TStoreFrame store = [&](const uint8_t* frame, int32_t n, std::unique_ptr<uint8_t[]>& owned) {
        if (owned) {
            // A long frame, whole in its own buffer; the buffer holds nothing before it.
            FUZZ_CHECK(frame == owned.get() && n == buffer.DirectFrameSize() && n == buffer.DirectFrameFilled());
            FUZZ_CHECK(n >= directFrameMin);
        } else {
            // The frame is the start of the held bytes and lies wholly inside them.
            FUZZ_CHECK(frame == buffer.Data());
            FUZZ_CHECK(n >= 2 && n <= buffer.Buffered() && buffer.DirectFrameSize() == 0);
        }
        frameSize = n;
        heldAtStore = buffer.Held();
        // As in the reader: a long frame's buffer is taken over, not copied; a bad frame raises.
        TMQTTPacket packet = owned ? TMQTTPacket(std::move(owned), n) : TMQTTPacket(frame, n);
        FUZZ_CHECK((packet.FrameData.get() == frame) == (frame != buffer.Data()));
        packet.AnalyzePacket();
        stored.emplace_back(frame, frame + n);
        consumed += n;
        return static_cast<int>(stored.size());
    };
    const TFrameAssembler::TLog log = [&](const std::string& line) {
        if (line.rfind(kStorePrefix, 0) == 0) {
            FUZZ_CHECK(line == kStorePrefix + std::to_string(stored.size()) + " size = "
                    + std::to_string(buffer.Capacity()) + " ptr = " + std::to_string(heldAtStore));
            FUZZ_CHECK(buffer.Held() == heldAtStore);
        } else if (line == kPackingLine) {
            // Only right after a store line and the signal, when bytes follow the frame.
            FUZZ_CHECK(!lines.empty() && lines.back().rfind(kStorePrefix, 0) == 0);
            FUZZ_CHECK(signals == static_cast<int>(stored.size()));
            FUZZ_CHECK(frameSize < heldAtStore);
        } else {
            FUZZ_CHECK(line == kNotYetLine);
            FUZZ_CHECK(buffer.DirectFrameSize() == 0 && !LengthKnown(buffer.Data(), buffer.Buffered()));
        }
        lines.push_back(line);
    };
    const TFrameAssembler::TFrameStored signal = [&] {
        ++signals;
        // One signal per frame, after its store line.
        FUZZ_CHECK(signals == static_cast<int>(stored.size()));
        FUZZ_CHECK(!lines.empty() && lines.back().rfind(kStorePrefix, 0) == 0);
    };

    size_t fed = 0;
    size_t reads = 0;
    bool failed = false;
    std::string failure;
    while (fed < streamSize && !failed) {
        const int64_t capacityBefore = buffer.Capacity(), heldBefore = buffer.Held();
        try {
            const auto areas = buffer.PrepareRead();
            const int64_t plan = areas[0].Size + areas[1].Size;
            // Whole chunks of 2000 bytes, at least one, and a long frame's rest first.
            FUZZ_CHECK(plan >= kReadChunkSize && plan % kReadChunkSize == 0);
            if (buffer.DirectFrameSize() > 0)
                FUZZ_CHECK(areas[0].Size == buffer.DirectFrameSize() - buffer.DirectFrameFilled()
                    && areas[1].Size < kReadChunkSize);
            else
                FUZZ_CHECK(areas[1].Size == 0 && areas[0].Data == buffer.Data() + buffer.Buffered());
            const size_t count = std::min<size_t>(
                {static_cast<size_t>(readSizes[reads++ % readSizes.size()]), static_cast<size_t>(plan), streamSize - fed});
            const size_t first = std::min<size_t>(count, static_cast<size_t>(areas[0].Size));
            std::copy(stream + fed, stream + fed + first, areas[0].Data);
            std::copy(stream + fed + first, stream + fed + count, areas[1].Data);
            buffer.Commit(static_cast<int64_t>(count));
            fed += count;
            // Grown to exactly what is held, never shrunk, the bytes kept.
            FUZZ_CHECK(buffer.Capacity() == std::max<int64_t>(capacityBefore, heldBefore + count));
            FUZZ_CHECK(buffer.Held() == heldBefore + static_cast<int64_t>(count));
            buffer.CutFrames(store, log, signal);
        } catch (const Exception& e) {
            // The reader reports it and closes the connection: nothing more is read.
            failed = true;
            failure = e.Message();
        }
        FUZZ_CHECK(buffer.Held() >= 0 && buffer.Held() <= buffer.Capacity());
        FUZZ_CHECK(buffer.Capacity() >= reservation);
        FUZZ_CHECK(consumed + buffer.Held() == static_cast<int64_t>(fed));
        // The buffer's bytes are the stream's bytes behind the last stored
        // frame (behind the part of a long frame read so far).
        const int64_t direct = buffer.DirectFrameFilled();
        FUZZ_CHECK(std::equal(buffer.Data(), buffer.Data() + buffer.Buffered(), stream + consumed + direct));
        if (buffer.DirectFrameSize() > 0) {
            FUZZ_CHECK(buffer.DirectFrameSize() >= directFrameMin && direct <= buffer.DirectFrameSize());
            // Complete only when its store failed; the bytes behind it come with its last read.
            FUZZ_CHECK(failed || (buffer.Buffered() == 0 && direct < buffer.DirectFrameSize()));
        }
        if (!failed) {
            // After a pass without error no complete frame is left waiting.
            FUZZ_CHECK(Frame(buffer.Data(), static_cast<size_t>(buffer.Buffered())).Frames.empty());
            FUZZ_CHECK(signals == static_cast<int>(stored.size()));
        }
    }

    // The frames stored are the stream's frames, in order, up to any error.
    FUZZ_CHECK(stored.size() <= expected.Frames.size());
    for (size_t i = 0; i < stored.size(); ++i)
        FUZZ_CHECK(stored[i] == expected.Frames[i]);
    if (!failed) {
        FUZZ_CHECK(fed == streamSize);
        FUZZ_CHECK(stored.size() == expected.Frames.size());
        FUZZ_CHECK(!expected.LengthError);
    } else if (failure == "RemainLength decode error") {
        FUZZ_CHECK(expected.LengthError && stored.size() == expected.Frames.size());
    } else {
        // The packet refused the next frame of the stream.
        FUZZ_CHECK(stored.size() < expected.Frames.size());
        bool refused = false;
        try {
            const TBytes& next = expected.Frames[stored.size()];
            TMQTTPacket packet(next.data(), static_cast<int32_t>(next.size()));
        } catch (const Exception& e) {
            refused = e.Message() == failure;
        }
        FUZZ_CHECK(refused);
    }

    buffer.Release();
    FUZZ_CHECK(buffer.Capacity() == 0 && buffer.Held() == 0 && buffer.Data() == nullptr);
    return 0;
}
