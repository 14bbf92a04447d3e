#include "mqtt/engine/PacketQueue.h"

#include <algorithm>

#include "diag/EventSink.h"
#include "diag/EventSources.h"
#include "mqtt/codec/MessageTypes.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/Error.h"
#include "platform/NamedSync.h"

namespace {

constexpr int kLockTimeoutMs = 100;

bool IsPublish(const TMQTTPacket& packet)
{
    return packet.MessageType == MessageType::PUBLISH;
}

} // namespace

TMQTTPacketQueue::TMQTTPacketQueue(const std::string& clientID, TSessionObserver* observer, TEventSink* sink)
    : FClientID(clientID)
    , FObserver(observer)
    , FSink(sink)
{
    const std::string name = MutexName(clientID);
    FMutex = TNamedMutex::CreateOrOpen(name);
    if (!FMutex)
        throw Exception("could not create mutex, " + name);
}

// Runs when no thread uses the queue any more (the client stops its threads
// first), so it takes no lock.
TMQTTPacketQueue::~TMQTTPacketQueue()
{
    while (!FEntries.empty())
        FEntries.pop_front();
}

std::string TMQTTPacketQueue::MakeKey(int32_t messageType, int32_t messageID)
{
    return std::to_string(messageType) + "_" + std::to_string(messageID);
}

std::string TMQTTPacketQueue::MutexName(const std::string& clientID)
{
    return "MQTTPacketQueueMutex" + clientID;
}

// ---- the backlog bound ----------------------------------------------------

bool TMQTTPacketQueue::FullLocked() const
{
    const int factor = FPubrelWait ? 2 : 1;
    return !FLifted && (FPackets >= FPacketLimit * factor || FBytes >= FByteLimit * factor);
}

bool TMQTTPacketQueue::FitsLocked(int64_t frameSize) const
{
    const int factor = FPubrelWait ? 2 : 1;
    return FLifted || FPackets == 0
        || (FPackets < FPacketLimit * factor && FBytes + frameSize <= FByteLimit * factor);
}

bool TMQTTPacketQueue::DrainedLocked() const
{
    const int factor = FPubrelWait ? 2 : 1;
    return FLifted || FPackets == 0
        || (int64_t{FPackets} * 2 <= int64_t{FPacketLimit} * factor && FBytes * 2 <= FByteLimit * factor);
}

void TMQTTPacketQueue::ReportFull(int packets, int64_t bytes)
{
    if (!FSink)
        return;
    // The packet is stored all the same: a line that cannot be sent must not change that.
    try {
        FSink->SendEventMsg("receive backlog full: " + std::to_string(packets) + " messages, "
                + std::to_string(bytes) + " bytes waiting, reading paused [" + FClientID + "]",
            SourceUnit, 0, 0);
    } catch (...) {
    }
}

void TMQTTPacketQueue::ReserveRoom(int64_t frameSize, const std::function<void()>& beforeWaiting)
{
    std::unique_lock<std::mutex> lock(FBacklogLock);
    bool told = !beforeWaiting;
    auto reportOnce = [&] {
        FFullSeen = true;
        if (FFullReported)
            return;
        FFullReported = true;
        const int packets = FPackets;
        const int64_t bytes = FBytes;
        lock.unlock();
        ReportFull(packets, bytes);
        lock.lock();
    };
    // Once it had to wait, a store goes on only when the backlog has drained to
    // half, so that reading resumes for a run of frames rather than for each take.
    bool waited = false;
    while (!FitsLocked(frameSize) || (waited && !DrainedLocked())) {
        if (!told) {
            told = true;
            lock.unlock();
            beforeWaiting();
            lock.lock();
            continue;
        }
        if (!FFullReported) {
            reportOnce();
            continue;
        }
        FFullSeen = true;
        waited = true;
        ++FWaiting;
        FRoom.wait(lock);
        --FWaiting;
    }
    ++FPackets;
    FBytes += frameSize;
    if (FullLocked())
        reportOnce();
}

void TMQTTPacketQueue::ReleaseRoom(int64_t frameSize)
{
    std::function<void()> notify;
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(FBacklogLock);
        --FPackets;
        FBytes -= frameSize;
        // The reader is woken once the backlog has drained to half, not by
        // every take: at the bound that would be a pair of thread switches
        // for each message.
        const bool drained = DrainedLocked();
        if (FFullSeen && drained) {
            FFullSeen = false;
            notify = FRoomNotify;
        }
        wake = FWaiting > 0 && drained;
        // One line per episode: a backlog that hovers at the bound is still one;
        // the episode ends when it has drained below half.
        if (FPackets * 2 < FPacketLimit && FBytes * 2 < FByteLimit)
            FFullReported = false;
    }
    if (wake)
        FRoom.notify_all();
    if (notify)
        notify();
}

void TMQTTPacketQueue::Rebound(const std::function<void()>& change)
{
    std::function<void()> notify;
    {
        std::lock_guard<std::mutex> guard(FBacklogLock);
        change();
        if (FFullSeen && DrainedLocked()) {
            FFullSeen = false;
            notify = FRoomNotify;
        }
    }
    FRoom.notify_all();
    if (notify)
        notify();
}

bool TMQTTPacketQueue::BacklogFull()
{
    std::lock_guard<std::mutex> guard(FBacklogLock);
    const bool full = FullLocked();
    FFullSeen = FFullSeen || full;
    return full;
}

void TMQTTPacketQueue::SetRoomNotify(std::function<void()> notify)
{
    std::lock_guard<std::mutex> guard(FBacklogLock);
    FRoomNotify = std::move(notify);
}

int TMQTTPacketQueue::BacklogCount()
{
    std::lock_guard<std::mutex> guard(FBacklogLock);
    return FPackets;
}

int64_t TMQTTPacketQueue::BacklogBytes()
{
    std::lock_guard<std::mutex> guard(FBacklogLock);
    return FBytes;
}

void TMQTTPacketQueue::SetBacklogLimits(int packets, int64_t bytes)
{
    {
        std::lock_guard<std::mutex> guard(FBacklogLock);
        FPacketLimit = std::max(packets, 1);
        FByteLimit = std::max<int64_t>(bytes, 1);
    }
    FRoom.notify_all();
}

void TMQTTPacketQueue::SetPubrelWait(bool waiting)
{
    Rebound([&] { FPubrelWait = waiting; });
}

void TMQTTPacketQueue::LiftBound()
{
    Rebound([&] { FLifted = true; });
}

// ---- the entry list -------------------------------------------------------

// Outside the lock: an observer never holds up the other users of the queue.
void TMQTTPacketQueue::Changed(int count)
{
    if (FObserver)
        FObserver->OnQueueCount(count);
}

void TMQTTPacketQueue::Lock()
{
    LockNamedMutex(*FMutex, kLockTimeoutMs);
}

void TMQTTPacketQueue::Unlock()
{
    if (!FMutex->Release())
        throw Exception("ReleaseMutex() failed");
}

int TMQTTPacketQueue::Count()
{
    Lock();
    const int count = static_cast<int>(FEntries.size());
    Unlock();
    return count;
}

bool TMQTTPacketQueue::TakeByKey(int32_t messageType, int32_t messageID, std::unique_ptr<TMQTTPacket>& packet)
{
    const std::string key = MakeKey(messageType, messageID);
    return TakeFirstIf([&](const TEntry& e) { return e.Key == key; }, packet);
}

bool TMQTTPacketQueue::TakeFirst(int32_t messageType, std::unique_ptr<TMQTTPacket>& packet)
{
    return TakeFirstIf(
        [&](const TEntry& e) { return messageType == 0 || e.Packet->MessageType == messageType; }, packet);
}

bool TMQTTPacketQueue::TakeFirstMatching(const std::function<bool(const TMQTTPacket&)>& wanted,
    std::unique_ptr<TMQTTPacket>& packet)
{
    return TakeFirstIf([&](const TEntry& e) { return wanted(*e.Packet); }, packet);
}

bool TMQTTPacketQueue::TakeFirstIf(const std::function<bool(const TEntry&)>& matches,
    std::unique_ptr<TMQTTPacket>& packet)
{
    Lock();
    std::unique_ptr<TMQTTPacket> taken;
    auto it = std::find_if(FEntries.begin(), FEntries.end(), matches);
    if (it != FEntries.end()) {
        taken = std::move(it->Packet);
        FEntries.erase(it);
    }
    const int count = static_cast<int>(FEntries.size());
    Unlock();
    if (!taken)
        return false;
    const bool publish = IsPublish(*taken);
    const int64_t size = taken->FrameSize;
    packet = std::move(taken);
    if (publish)
        ReleaseRoom(size);
    Changed(count);
    return true;
}

int TMQTTPacketQueue::Store(std::unique_ptr<TMQTTPacket>& packet, const std::function<void()>& beforeWaiting)
{
    if (!packet)
        throw Exception("parameter is null");
    if (!packet->FrameData)
        throw Exception("frame data error");

    const bool keepAll = IsPublish(*packet);
    const int64_t size = packet->FrameSize;
    std::string key = MakeKey(packet->MessageType, packet->MessageID);

    // The new entry is made before the lock, so nothing under the lock can
    // fail after the packet has been moved in.
    std::list<TEntry> fresh;
    fresh.push_back(TEntry{std::move(key), nullptr});

    if (keepAll)
        ReserveRoom(size, beforeWaiting);
    try {
        Lock();
    } catch (...) {
        if (keepAll)
            ReleaseRoom(size);
        throw;
    }
    std::unique_ptr<TMQTTPacket> replaced;
    if (!keepAll) {
        auto it = std::find_if(FEntries.begin(), FEntries.end(),
            [&](const TEntry& e) { return e.Key == fresh.front().Key; });
        if (it != FEntries.end()) {
            replaced = std::move(it->Packet);
            FEntries.erase(it);
        }
    }
    fresh.front().Packet = std::move(packet);
    FEntries.splice(FEntries.end(), fresh);
    const int count = static_cast<int>(FEntries.size());
    replaced.reset();
    Unlock();
    Changed(count);
    return count;
}
