#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "mqtt/codec/MQTTPacket.h"

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
class TMQTTPacketQueue {
public:
    // observer (may be none) learns the count after every change.
    explicit TMQTTPacketQueue(const std::string& clientID, TSessionObserver* observer = nullptr);
    ~TMQTTPacketQueue();

    TMQTTPacketQueue(const TMQTTPacketQueue&) = delete;
    TMQTTPacketQueue& operator=(const TMQTTPacketQueue&) = delete;

    int Count();
    // The oldest packet with exactly that key; leaves `packet` untouched when none.
    bool TakeByKey(int32_t messageType, int32_t messageID, std::unique_ptr<TMQTTPacket>& packet);
    // The oldest packet of that type (0 = any type); leaves `packet` untouched when none.
    bool TakeFirst(int32_t messageType, std::unique_ptr<TMQTTPacket>& packet);
    // Takes the packet over (moves it out of `packet`) only when it is stored;
    // returns the number of stored packets afterwards.
    int Store(std::unique_ptr<TMQTTPacket>& packet);

    // The backlog of received packets is bounded: while BacklogFull() the reader
    // reads nothing more, so TCP pushes back on the broker. The notification is
    // called (outside the lock) when a take makes room again.
    bool BacklogFull();
    void SetRoomNotify(std::function<void()> notify);

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

    const std::string FClientID;
    TSessionObserver* const FObserver;
    std::list<TEntry> FEntries;
    std::unique_ptr<TNamedMutex> FMutex;
    std::function<void()> FRoomNotify;
};
