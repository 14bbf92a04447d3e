#include "mqtt/engine/PacketQueue.h"

#include <algorithm>

#include "mqtt/codec/MessageTypes.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/Error.h"
#include "platform/NamedSync.h"

namespace {

constexpr int kLockTimeoutMs = 100;

} // namespace

TMQTTPacketQueue::TMQTTPacketQueue(const std::string& clientID, TSessionObserver* observer)
    : FClientID(clientID)
    , FObserver(observer)
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

bool TMQTTPacketQueue::BacklogFull()
{
    return false;   // not bounded yet
}

void TMQTTPacketQueue::SetRoomNotify(std::function<void()> notify)
{
    FRoomNotify = std::move(notify);
}

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
    Lock();
    bool found = false;
    auto it = std::find_if(FEntries.begin(), FEntries.end(), [&](const TEntry& e) { return e.Key == key; });
    if (it != FEntries.end()) {
        packet = std::move(it->Packet);
        FEntries.erase(it);
        found = true;
    }
    const int count = static_cast<int>(FEntries.size());
    Unlock();
    if (found)
        Changed(count);
    return found;
}

bool TMQTTPacketQueue::TakeFirst(int32_t messageType, std::unique_ptr<TMQTTPacket>& packet)
{
    Lock();
    bool found = false;
    auto it = messageType == 0
        ? FEntries.begin()
        : std::find_if(FEntries.begin(), FEntries.end(),
              [&](const TEntry& e) { return e.Packet->MessageType == messageType; });
    if (it != FEntries.end()) {
        packet = std::move(it->Packet);
        FEntries.erase(it);
        found = true;
    }
    const int count = static_cast<int>(FEntries.size());
    Unlock();
    if (found)
        Changed(count);
    return found;
}

int TMQTTPacketQueue::Store(std::unique_ptr<TMQTTPacket>& packet)
{
    if (!packet)
        throw Exception("parameter is null");
    if (!packet->FrameData)
        throw Exception("frame data error");

    const bool keepAll = packet->MessageType == MessageType::PUBLISH;
    std::string key = MakeKey(packet->MessageType, packet->MessageID);

    // The new entry is made before the lock, so nothing under the lock can
    // fail after the packet has been moved in.
    std::list<TEntry> fresh;
    fresh.push_back(TEntry{std::move(key), nullptr});

    Lock();
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
