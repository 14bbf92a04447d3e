#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "diag/EventSink.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/engine/PacketQueue.h"
#include "platform/Error.h"
#include "platform/NamedSync.h"

namespace {

std::atomic<int> gPacketsFreed{0};

// A packet that counts its own destruction, to see what the queue frees.
class TCountedPacket : public TMQTTPacket {
public:
    using TMQTTPacket::TMQTTPacket;
    ~TCountedPacket() override { ++gPacketsFreed; }
};

std::unique_ptr<TMQTTPacket> MakePacket(std::vector<uint8_t> frame)
{
    return std::make_unique<TCountedPacket>(frame.data(), static_cast<int32_t>(frame.size()));
}

// PUBLISH QoS 0, topic "t", one payload byte.
std::unique_ptr<TMQTTPacket> Publish0(uint8_t payload)
{
    return MakePacket({0x30, 0x04, 0x00, 0x01, 't', payload});
}

// PUBLISH QoS 1, topic "t", identifier id, one payload byte.
std::unique_ptr<TMQTTPacket> Publish1(uint8_t id, uint8_t payload)
{
    return MakePacket({0x32, 0x06, 0x00, 0x01, 't', 0x00, id, payload});
}

std::unique_ptr<TMQTTPacket> Connack(uint8_t code) { return MakePacket({0x20, 0x02, 0x00, code}); }
std::unique_ptr<TMQTTPacket> Suback(uint8_t id, uint8_t qos) { return MakePacket({0x90, 0x03, 0x00, id, qos}); }
std::unique_ptr<TMQTTPacket> Puback(uint8_t id) { return MakePacket({0x40, 0x02, 0x00, id}); }

uint8_t LastByte(const TMQTTPacket& p) { return p.FrameData[p.FrameSize - 1]; }

std::string UniqueID(const std::string& stem)
{
    static std::atomic<int> n{0};
    return "pq-" + stem + "-" + std::to_string(++n);
}

void StoreOrFail(TMQTTPacketQueue& q, std::unique_ptr<TMQTTPacket> p)
{
    q.Store(p);
    ASSERT_EQ(p, nullptr);
}

} // namespace

TEST(PacketQueue, PublishesWithOneKeyAreAllKeptInArrivalOrder)
{
    TMQTTPacketQueue q(UniqueID("pub0"));
    for (uint8_t b : {'a', 'b', 'c'})
        StoreOrFail(q, Publish0(b));
    EXPECT_EQ(q.Count(), 3);

    std::unique_ptr<TMQTTPacket> p;
    for (uint8_t expected : {'a', 'b', 'c'}) {
        ASSERT_TRUE(q.TakeFirst(3, p));
        EXPECT_EQ(LastByte(*p), expected);
    }
    EXPECT_FALSE(q.TakeFirst(3, p));
}

TEST(PacketQueue, TakeByKeyTakesTheOldestPublishWithThatKey)
{
    TMQTTPacketQueue q(UniqueID("pub1"));
    StoreOrFail(q, Publish1(5, 'x'));
    StoreOrFail(q, Publish1(6, 'y'));
    StoreOrFail(q, Publish1(5, 'z'));

    std::unique_ptr<TMQTTPacket> p;
    ASSERT_TRUE(q.TakeByKey(3, 5, p));
    EXPECT_EQ(LastByte(*p), 'x');
    ASSERT_TRUE(q.TakeByKey(3, 5, p));
    EXPECT_EQ(LastByte(*p), 'z');
    EXPECT_FALSE(q.TakeByKey(3, 5, p));
    EXPECT_EQ(q.Count(), 1);
}

TEST(PacketQueue, OtherTypesKeepOnePacketPerKeyTheNewest)
{
    TMQTTPacketQueue q(UniqueID("connack"));
    const int freedBefore = gPacketsFreed;
    auto first = Connack(0);
    EXPECT_EQ(q.Store(first), 1);
    auto second = Connack(5);
    EXPECT_EQ(q.Store(second), 1);   // replaced: the count stays
    EXPECT_EQ(gPacketsFreed - freedBefore, 1) << "the replaced packet is freed at once";

    std::unique_ptr<TMQTTPacket> p;
    ASSERT_TRUE(q.TakeFirst(2, p));
    EXPECT_EQ(LastByte(*p), 5);
    EXPECT_EQ(q.Count(), 0);
}

TEST(PacketQueue, AReplacingStoreGoesToTheEnd)
{
    TMQTTPacketQueue q(UniqueID("order"));
    StoreOrFail(q, Suback(1, 0));   // A, 9_1
    StoreOrFail(q, Puback(2));      // B, 4_2
    StoreOrFail(q, Suback(1, 2));   // A2, 9_1
    ASSERT_EQ(q.Count(), 2);

    std::unique_ptr<TMQTTPacket> p;
    ASSERT_TRUE(q.TakeFirst(0, p));
    EXPECT_EQ(p->MessageType, 4);
    ASSERT_TRUE(q.TakeFirst(0, p));
    EXPECT_EQ(p->MessageType, 9);
    EXPECT_EQ(LastByte(*p), 2);
}

TEST(PacketQueue, KeysAreWholeDecimalTexts)
{
    EXPECT_EQ(TMQTTPacketQueue::MakeKey(9, 17), "9_17");
    // 1_30 and 13_0 look alike without the separator; they must not meet.
    EXPECT_NE(TMQTTPacketQueue::MakeKey(1, 30), TMQTTPacketQueue::MakeKey(13, 0));

    TMQTTPacketQueue q(UniqueID("keys"));
    StoreOrFail(q, Puback(8));
    std::unique_ptr<TMQTTPacket> p;
    EXPECT_FALSE(q.TakeByKey(4, 7, p));
    EXPECT_FALSE(q.TakeByKey(5, 8, p));
    EXPECT_TRUE(q.TakeByKey(4, 8, p));
}

TEST(PacketQueue, AMissLeavesTheOutPacketAndTheQueueAlone)
{
    struct TCase {
        const char* Name;
        std::function<bool(TMQTTPacketQueue&, std::unique_ptr<TMQTTPacket>&)> Take;
        bool StorePublish;
    };
    const std::vector<TCase> cases = {
        {"TakeFirst(0) on empty", [](auto& q, auto& p) { return q.TakeFirst(0, p); }, false},
        {"TakeFirst(3) on empty", [](auto& q, auto& p) { return q.TakeFirst(3, p); }, false},
        {"TakeFirst(5) with only PUBLISH", [](auto& q, auto& p) { return q.TakeFirst(5, p); }, true},
        {"TakeByKey(6,1) with only PUBLISH", [](auto& q, auto& p) { return q.TakeByKey(6, 1, p); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TMQTTPacketQueue q(UniqueID("miss"));
        if (c.StorePublish) {
            StoreOrFail(q, Publish1(1, 'a'));
            StoreOrFail(q, Publish0('b'));
        }
        auto sentinel = Puback(99);
        TMQTTPacket* before = sentinel.get();
        EXPECT_FALSE(c.Take(q, sentinel));
        EXPECT_EQ(sentinel.get(), before);
        EXPECT_EQ(q.Count(), c.StorePublish ? 2 : 0);
    }
}

TEST(PacketQueue, StoreRefusesBadInputAndKeepsThePacketWithTheCaller)
{
    TMQTTPacketQueue q(UniqueID("bad"));
    StoreOrFail(q, Puback(1));

    std::unique_ptr<TMQTTPacket> none;
    try {
        q.Store(none);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "parameter is null");
    }

    auto empty = Puback(2);
    empty->FrameData.reset();
    try {
        q.Store(empty);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "frame data error");
    }
    EXPECT_NE(empty, nullptr);
    EXPECT_EQ(q.Count(), 1);
}

TEST(PacketQueue, DestroyFreesEveryStoredPacket)
{
    const int before = gPacketsFreed;
    {
        TMQTTPacketQueue q(UniqueID("destroy"));
        StoreOrFail(q, Publish0('a'));
        StoreOrFail(q, Publish0('b'));
        StoreOrFail(q, Connack(0));
        EXPECT_EQ(gPacketsFreed - before, 0);
    }
    EXPECT_EQ(gPacketsFreed - before, 3);
}

TEST(PacketQueue, AMutexHeldElsewhereMakesEveryOperationTimeOut)
{
    const std::string id = UniqueID("held");
    TMQTTPacketQueue q(id);
    StoreOrFail(q, Puback(1));

    std::promise<void> held, release;
    std::thread holder([&] {
        auto m = TNamedMutex::CreateOrOpen(TMQTTPacketQueue::MutexName(id));
        ASSERT_EQ(m->Wait(1000), TWaitResult::Acquired);
        held.set_value();
        release.get_future().wait();
        m->Release();
    });
    held.get_future().wait();

    std::unique_ptr<TMQTTPacket> p;
    auto fresh = Puback(2);
    auto publish = Publish0('p');
    const std::vector<std::pair<const char*, std::function<void()>>> ops = {
        {"Count", [&] { q.Count(); }},
        {"Store", [&] { q.Store(fresh); }},
        {"Store PUBLISH", [&] { q.Store(publish); }},
        {"TakeFirst", [&] { q.TakeFirst(0, p); }},
        {"TakeByKey", [&] { q.TakeByKey(4, 1, p); }},
    };
    for (const auto& [name, op] : ops) {
        SCOPED_TRACE(name);
        try {
            op();
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "WaitForSingleObject() timeout");
        }
    }
    EXPECT_NE(fresh, nullptr) << "a refused store leaves the packet with the caller";
    EXPECT_NE(publish, nullptr);
    EXPECT_EQ(q.BacklogCount(), 0) << "a refused PUBLISH takes no room";
    release.set_value();
    holder.join();
    EXPECT_EQ(q.Count(), 1);
}

TEST(PacketQueue, QueuesOfOneClientIdentifierShareTheMutex)
{
    const std::string id = UniqueID("shared");
    TMQTTPacketQueue a(id);
    TMQTTPacketQueue b(id);
    auto m = TNamedMutex::CreateOrOpen(TMQTTPacketQueue::MutexName(id));
    std::promise<void> held, release;
    std::thread holder([&] {
        m->Wait(1000);
        held.set_value();
        release.get_future().wait();
        m->Release();
    });
    held.get_future().wait();
    EXPECT_THROW(a.Count(), Exception);
    EXPECT_THROW(b.Count(), Exception);
    release.set_value();
    holder.join();
    EXPECT_EQ(a.Count(), 0);
}

TEST(PacketQueue, ConcurrentStoresAndTakesLoseNoPublish)
{
    TMQTTPacketQueue q(UniqueID("race"));
    constexpr int kProducers = 2;
    constexpr int kPerProducer = 300;
    std::vector<std::thread> producers;
    for (int t = 0; t < kProducers; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kPerProducer; ++i) {
                // Identifier = producer, payload = sequence number (low byte).
                auto p = Publish1(static_cast<uint8_t>(t + 1), static_cast<uint8_t>(i));
                for (;;) {
                    try {
                        q.Store(p);
                        break;
                    } catch (const Exception&) {
                        // a lock time-out under load; the packet is still ours
                    }
                }
            }
        });
    }
    std::vector<int> next(kProducers, 0);
    int taken = 0;
    while (taken < kProducers * kPerProducer) {
        std::unique_ptr<TMQTTPacket> p;
        bool got = false;
        try {
            got = q.TakeFirst(3, p);
        } catch (const Exception&) {
        }
        if (!got) {
            std::this_thread::yield();
            continue;
        }
        const int producer = p->MessageID - 1;
        ASSERT_EQ(LastByte(*p), static_cast<uint8_t>(next[producer])) << "out of order or lost";
        ++next[producer];
        ++taken;
    }
    for (auto& t : producers)
        t.join();
    EXPECT_EQ(q.Count(), 0);
}

// ---- the backlog bound --------------------------------------------------------

namespace {

// Keeps the lines a queue sends.
class TLineSink : public TEventSink {
public:
    void SendEventMsg(const std::string& message, const std::string& source, int, int) override
    {
        std::lock_guard<std::mutex> guard(FLock);
        FLines.push_back(source + " | " + message);
    }
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> guard(FLock);
        return FLines;
    }

private:
    std::mutex FLock;
    std::vector<std::string> FLines;
};

// PUBLISH QoS 0 of exactly `size` bytes (at least 5).
std::unique_ptr<TMQTTPacket> PublishOfSize(int size)
{
    std::vector<uint8_t> frame = {0x30, static_cast<uint8_t>(size - 2), 0x00, 0x01, 't'};
    frame.resize(static_cast<size_t>(size), 'x');
    return MakePacket(frame);
}

} // namespace

// Full by count or by bytes of the waiting PUBLISH packets; other packets do
// not count, and a frame larger than the bound is taken when nothing waits.
TEST(PacketQueue, TheBacklogIsFullAtItsCountOrItsBytes)
{
    struct TCase {
        const char* Name;
        int Packets;
        int64_t Bytes;
        std::vector<std::function<std::unique_ptr<TMQTTPacket>()>> Stored;
        bool Full;
    };
    const auto small = [] { return PublishOfSize(6); };
    const std::vector<TCase> cases = {
        {"below the count", 3, 1000, {small, small}, false},
        {"at the count", 3, 1000, {small, small, small}, true},
        {"below the bytes", 100, 12, {small}, false},
        {"at the bytes", 100, 12, {small, small}, true},
        {"one frame larger than the bound", 100, 5, {small}, true},
        {"other packets", 1, 5, {[] { return Connack(0); }, [] { return Suback(1, 0); }}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TMQTTPacketQueue q(UniqueID("bound"));
        q.SetBacklogLimits(c.Packets, c.Bytes);
        for (const auto& make : c.Stored)
            StoreOrFail(q, make());
        EXPECT_EQ(q.BacklogFull(), c.Full);
    }
}

// A PUBLISH that does not fit waits for room, so the bound holds for every
// frame the reader has in hand. The room notification comes once per full
// backlog; the raised bound of a PUBREL wait and a lifted bound make room too.
TEST(PacketQueue, AStoreWaitsForRoomThatATakeOrTheBoundMakes)
{
    TLineSink sink;
    const std::string id = UniqueID("room");
    TMQTTPacketQueue q(id, nullptr, &sink);
    q.SetBacklogLimits(2, 1000);
    std::atomic<int> notified{0};
    q.SetRoomNotify([&] { ++notified; });
    StoreOrFail(q, Publish0('a'));
    StoreOrFail(q, Publish0('b'));
    ASSERT_TRUE(q.BacklogFull());

    // A store about to wait says so first (the reader signals its frames then), once.
    std::atomic<int> told{0};
    auto third = std::async(std::launch::async, [&] {
        auto packet = Publish0('c');
        q.Store(packet, [&] { ++told; });
    });
    // Cannot end early on a busy machine, only late: a store that did not wait fails it.
    EXPECT_EQ(third.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout) << "stored beyond the bound";
    std::unique_ptr<TMQTTPacket> p;
    ASSERT_TRUE(q.TakeFirst(3, p));
    third.get();
    EXPECT_EQ(told, 1);
    EXPECT_EQ(LastByte(*p), 'a');
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(q.BacklogCount(), 2);
    EXPECT_TRUE(q.BacklogFull());

    // Twice the bound while a PUBREL wait runs.
    q.SetPubrelWait(true);
    EXPECT_EQ(notified, 2);
    auto fits = Publish0('d');
    q.Store(fits, [&] { ++told; });
    EXPECT_EQ(told, 1) << "a store that fits does not wait";
    EXPECT_FALSE(q.BacklogFull());
    StoreOrFail(q, Publish0('e'));
    EXPECT_TRUE(q.BacklogFull());
    q.SetPubrelWait(false);
    EXPECT_EQ(notified, 2) << "still full";

    // Nobody drains any more: nothing waits.
    q.LiftBound();
    EXPECT_EQ(notified, 3);
    StoreOrFail(q, Publish0('f'));
    EXPECT_FALSE(q.BacklogFull());
    EXPECT_EQ(q.BacklogCount(), 5);

    const std::string line = "MQTT_Unit | receive backlog full: 2 messages, 12 bytes waiting, reading paused [" + id + "]";
    EXPECT_EQ(sink.Lines(), std::vector<std::string>{line}) << "one line while the backlog stayed full";
}

// Reading resumes once the backlog has drained to half, not after every take:
// at the bound, each message would otherwise cost the reader a wake-up.
TEST(PacketQueue, AFullBacklogLetsReadingGoOnOnceDrainedToHalf)
{
    TMQTTPacketQueue q(UniqueID("half"));
    q.SetBacklogLimits(4, 1000);
    std::atomic<int> notified{0};
    q.SetRoomNotify([&] { ++notified; });
    for (char c : {'a', 'b', 'c', 'd'})
        StoreOrFail(q, Publish0(c));
    ASSERT_TRUE(q.BacklogFull());
    std::unique_ptr<TMQTTPacket> p;
    ASSERT_TRUE(q.TakeFirst(3, p));
    EXPECT_EQ(notified, 0) << "woken above half";
    ASSERT_TRUE(q.TakeFirst(3, p));
    EXPECT_EQ(notified, 1);
    ASSERT_TRUE(q.TakeFirst(3, p));
    EXPECT_EQ(notified, 1) << "once per full backlog";
}
