#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "mqtt/codec/MQTTPacket.h"

class TEventSink;
class TNamedMutex;
class TSessionObserver;

// The receive queue of one client: packets keyed by "<type>_<message id>",
// kept in the order they were stored. Three threads use it (reader, event
// handler, console), so every operation runs under the named mutex
// "MQTTPacketQueueMutex" + client identifier, waited for at most 100 ms.
//
// A newer packet replaces an older one with the same key, except PUBLISH
// packets: every received publication is kept, in arrival order, so that
// none is lost while an earlier one is still being handled.
//
// The PUBLISH packets waiting here (the backlog) are bounded by count and by
// the bytes of their frames. Once the backlog is full, BacklogFull() tells the
// reader to read no further, so TCP pushes back on the broker, and a Store of
// a PUBLISH that does not fit waits until a take makes room: so the bound
// holds also for the frames of a read already in hand, and nothing received is
// ever dropped. A single frame larger than the bound is taken when nothing
// waits. Other packets never wait and do not count.
class TMQTTPacketQueue {
public:
    // observer (may be none) learns the count after every change; sink (may be
    // none) gets the line that says the backlog is full.
    explicit TMQTTPacketQueue(const std::string& clientID, TSessionObserver* observer = nullptr,
        TEventSink* sink = nullptr);
    ~TMQTTPacketQueue();

    TMQTTPacketQueue(const TMQTTPacketQueue&) = delete;
    TMQTTPacketQueue& operator=(const TMQTTPacketQueue&) = delete;

    int Count();
    // The oldest packet with exactly that key; leaves `packet` untouched when none.
    bool TakeByKey(int32_t messageType, int32_t messageID, std::unique_ptr<TMQTTPacket>& packet);
    // The oldest packet of that type (0 = any type); leaves `packet` untouched when none.
    bool TakeFirst(int32_t messageType, std::unique_ptr<TMQTTPacket>& packet);
    // The oldest packet that `wanted` accepts (called under the queue's lock:
    // keep it quick, and read only what the constructor set: the type, the
    // identifier, the frame); leaves `packet` untouched when none.
    bool TakeFirstMatching(const std::function<bool(const TMQTTPacket&)>& wanted,
        std::unique_ptr<TMQTTPacket>& packet);
    // Takes the packet over (moves it out of `packet`) only when it is stored;
    // returns the number of stored packets afterwards. A PUBLISH that does not
    // fit into the backlog waits here for room; meant for the reader alone.
    // beforeWaiting (if any) is called, outside every lock, before that wait:
    // a reader that signals its frames later must signal them now, or nobody
    // would come to make room.
    int Store(std::unique_ptr<TMQTTPacket>& packet, const std::function<void()>& beforeWaiting = {});

    // ---- the backlog bound ----
    // By default at most 1,000 PUBLISH packets or 64 MiB of their frames wait
    // beside the one the event handler has in hand. A received packet costs
    // about 800 bytes however small its message, so 1,000 keep a connection's
    // read-ahead under a megabyte (the same for 2,000 messages in a burst as
    // for 200,000, and for each of a hundred connections); they are still
    // about a hundred seconds of reports at the default pause. 64 MiB stays
    // well below the 250 MB the reader reserves for a single frame.
    static constexpr int kBacklogPackets = 1000;
    static constexpr int64_t kBacklogBytes = int64_t{64} * 1024 * 1024;

    // True while the backlog is full: the reader reads nothing more until the
    // room notification comes.
    bool BacklogFull();
    // Called (outside every lock, on the thread that took) when a take or a
    // lifted bound has drained the backlog to half after it was full; a store
    // that had to wait for room likewise goes on only then. It may come before the
    // reader begins to wait, so the reader's wait must remember it (an eventfd,
    // or a flag under a lock).
    void SetRoomNotify(std::function<void()> notify);
    // PUBLISH packets waiting and the bytes of their frames.
    int BacklogCount();
    int64_t BacklogBytes();
    // Other limits (tests, or a caller that knows its memory); at least 1 each.
    void SetBacklogLimits(int packets, int64_t bytes);
    // While a QoS 2 flow waits for its PUBREL, the PUBREL may sit behind
    // messages the broker sent before it: the bound is raised to twice the
    // limits, so reading goes on until the PUBREL gets through. At that ceiling
    // the reader stops all the same; the wait then gives up, and the PUBREL is
    // answered when it comes.
    void SetPubrelWait(bool waiting);
    // Nobody drains the backlog any more (the event-handler thread ends):
    // from now on nothing waits for room.
    void LiftBound();

    static std::string MakeKey(int32_t messageType, int32_t messageID);
    static std::string MutexName(const std::string& clientID);

private:
    struct TEntry {
        std::string Key;
        std::unique_ptr<TMQTTPacket> Packet;
    };

    void Lock();
    void Unlock();

    void Changed(int count);
    bool TakeFirstIf(const std::function<bool(const TEntry&)>& matches, std::unique_ptr<TMQTTPacket>& packet);

    // Under FBacklogLock.
    bool FullLocked() const;
    bool FitsLocked(int64_t frameSize) const;
    // Drained to half the bound (or lifted, or empty): reading goes on.
    bool DrainedLocked() const;
    // Waits until a PUBLISH of that size fits and counts it in.
    void ReserveRoom(int64_t frameSize, const std::function<void()>& beforeWaiting);
    // Counts a PUBLISH out (taken, or not stored after all).
    void ReleaseRoom(int64_t frameSize);
    // Changes the bound under its lock; makes room known when it made some.
    void Rebound(const std::function<void()>& change);
    void ReportFull(int packets, int64_t bytes);

    const std::string FClientID;
    TSessionObserver* const FObserver;
    TEventSink* const FSink;
    std::list<TEntry> FEntries;
    std::unique_ptr<TNamedMutex> FMutex;

    // The backlog: taken after the named mutex when both are held.
    std::mutex FBacklogLock;
    std::condition_variable FRoom;
    std::function<void()> FRoomNotify;
    int FPacketLimit = kBacklogPackets;
    int64_t FByteLimit = kBacklogBytes;
    int FPackets = 0;
    int64_t FBytes = 0;
    bool FPubrelWait = false;
    bool FLifted = false;
    bool FFullSeen = false;     // full since the last room notification
    int FWaiting = 0;           // stores waiting for room
    bool FFullReported = false; // the line was sent; again only after draining below half
};
