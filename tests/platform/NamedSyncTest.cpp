#include "platform/NamedSync.h"

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Runs fn on another thread and returns its result.
template <class Fn>
auto OnOtherThread(Fn fn)
{
    return std::async(std::launch::async, fn).get();
}

// ---- named mutex ---------------------------------------------------------------

TEST(NamedMutex, HandlesOfOneNameReachOneMutex)
{
    auto first = TNamedMutex::CreateOrOpen("NamedMutexShared");
    auto second = TNamedMutex::CreateOrOpen("NamedMutexShared");
    auto other = TNamedMutex::CreateOrOpen("NamedMutexOther");
    ASSERT_TRUE(first && second && other);

    ASSERT_EQ(first->Wait(0), TWaitResult::Acquired);
    EXPECT_EQ(OnOtherThread([&] { return second->Wait(0); }), TWaitResult::Timeout);
    EXPECT_EQ(OnOtherThread([&] { return first->Wait(0); }), TWaitResult::Timeout);
    // A different name is a different mutex.
    EXPECT_EQ(OnOtherThread([&] {
                  TWaitResult result = other->Wait(0);
                  other->Release();
                  return result;
              }),
              TWaitResult::Acquired);

    // Released through the other handle of the same name: same owner thread.
    EXPECT_TRUE(second->Release());
    EXPECT_EQ(OnOtherThread([&] {
                  TWaitResult result = second->Wait(0);
                  second->Release();
                  return result;
              }),
              TWaitResult::Acquired);
}

TEST(NamedMutex, ReleaseByNonOwnerFails)
{
    auto mutex = TNamedMutex::CreateOrOpen("NamedMutexNonOwner");
    ASSERT_TRUE(mutex);
    EXPECT_FALSE(mutex->Release()) << "nobody owns it";
    ASSERT_EQ(mutex->Wait(0), TWaitResult::Acquired);
    EXPECT_FALSE(OnOtherThread([&] { return mutex->Release(); }));
    EXPECT_TRUE(mutex->Release());
    EXPECT_FALSE(mutex->Release());
}

TEST(NamedMutex, RecursiveForOwnerNeedsOneReleasePerWait)
{
    auto mutex = TNamedMutex::CreateOrOpen("NamedMutexRecursive");
    ASSERT_TRUE(mutex);
    ASSERT_EQ(mutex->Wait(0), TWaitResult::Acquired);
    ASSERT_EQ(mutex->Wait(100), TWaitResult::Acquired);
    ASSERT_EQ(mutex->Wait(-1), TWaitResult::Acquired);
    auto tryFromOther = [&] {
        return OnOtherThread([&] {
            TWaitResult result = mutex->Wait(0);
            if (result == TWaitResult::Acquired)
                mutex->Release();
            return result;
        });
    };
    EXPECT_TRUE(mutex->Release());
    EXPECT_TRUE(mutex->Release());
    EXPECT_EQ(tryFromOther(), TWaitResult::Timeout) << "still held once";
    EXPECT_TRUE(mutex->Release());
    EXPECT_EQ(tryFromOther(), TWaitResult::Acquired);
    EXPECT_FALSE(mutex->Release());
}

TEST(NamedMutex, TimedWaitTimesOutWhileHeldAndAcquiresAfterRelease)
{
    auto mutex = TNamedMutex::CreateOrOpen("NamedMutexTimed");
    ASSERT_TRUE(mutex);
    std::promise<void> acquired, release;
    std::thread holder([&] {
        auto handle = TNamedMutex::CreateOrOpen("NamedMutexTimed");
        ASSERT_EQ(handle->Wait(-1), TWaitResult::Acquired);
        acquired.set_value();
        release.get_future().wait();
        EXPECT_TRUE(handle->Release());
    });
    acquired.get_future().wait();

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mutex->Wait(60), TWaitResult::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 55ms) << "a timed wait returned early";
    EXPECT_EQ(mutex->Wait(0), TWaitResult::Timeout);

    // A waiter without limit gets it as soon as the holder lets go.
    auto waiter = std::async(std::launch::async, [&] {
        TWaitResult result = mutex->Wait(-1);
        if (result == TWaitResult::Acquired)
            mutex->Release();
        return result;
    });
    release.set_value();
    EXPECT_EQ(waiter.get(), TWaitResult::Acquired);
    holder.join();
}

TEST(NamedMutex, OwnerThreadEndingAbandonsItToTheNextWaiter)
{
    auto mutex = TNamedMutex::CreateOrOpen("NamedMutexAbandoned");
    ASSERT_TRUE(mutex);
    std::promise<void> acquired;
    auto waiter = std::async(std::launch::async, [&] {
        acquired.get_future().wait();
        TWaitResult result = mutex->Wait(-1);   // only the owner's end can free it
        // Now owned here: nobody else gets it. Ends without releasing.
        TWaitResult other = OnOtherThread([&] { return mutex->Wait(0); });
        return std::make_pair(result, other);
    });
    std::thread([&] {
        ASSERT_EQ(mutex->Wait(0), TWaitResult::Acquired);
        acquired.set_value();
    }).join();
    auto [result, other] = waiter.get();
    EXPECT_EQ(result, TWaitResult::Acquired);
    EXPECT_EQ(other, TWaitResult::Timeout);
    // The waiter's thread has ended while owning it, too.
    EXPECT_EQ(mutex->Wait(0), TWaitResult::Acquired);
    EXPECT_TRUE(mutex->Release());
}

TEST(NamedMutex, LastHandleClosedMakesTheNextOpenNew)
{
    std::promise<void> acquired, done;
    std::thread holder([&] {
        auto handle = TNamedMutex::CreateOrOpen("NamedMutexLifetime");
        ASSERT_EQ(handle->Wait(0), TWaitResult::Acquired);
        handle.reset();   // closing the handle does not release, but it was the last one
        acquired.set_value();
        done.get_future().wait();
    });
    acquired.get_future().wait();
    auto fresh = TNamedMutex::CreateOrOpen("NamedMutexLifetime");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->Wait(0), TWaitResult::Acquired) << "a new object, owned by nobody";
    EXPECT_TRUE(fresh->Release());
    done.set_value();
    holder.join();
}

TEST(NamedMutex, ExcludesConcurrentWriters)
{
    // Many threads, each with its own handle, increment a plain counter only
    // under the mutex; a lost update shows a failure of exclusion.
    constexpr int kThreads = 4, kRounds = 2000;
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            auto mutex = TNamedMutex::CreateOrOpen("NamedMutexCounter");
            for (int i = 0; i < kRounds; ++i) {
                ASSERT_EQ(mutex->Wait(-1), TWaitResult::Acquired);
                ++counter;
                ASSERT_TRUE(mutex->Release());
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, kThreads * kRounds);
}

// ---- named event ---------------------------------------------------------------

TEST(NamedEvent, OneSignalReleasesEveryCurrentWaiter)
{
    constexpr int kWaiters = 3;
    std::latch counted(kWaiters);
    std::vector<std::future<bool>> waiters;
    for (int i = 0; i < kWaiters; ++i)
        waiters.push_back(std::async(std::launch::async, [&] {
            auto event = TNamedEvent::CreateOrOpen("NamedEventBroadcast");
            uint64_t start = event->SignalCount();
            counted.count_down();
            return event->WaitForSignalAfter(start, 10000);
        }));
    auto event = TNamedEvent::CreateOrOpen("NamedEventBroadcast");
    counted.wait();
    event->Set();
    for (auto& waiter : waiters)
        EXPECT_TRUE(waiter.get());
    EXPECT_EQ(event->SignalCount(), 1u);
}

struct EventWaitCase {
    const char* name;
    bool signalBeforeCount;   // a Set() before the waiter takes its count
    bool signalAfterCount;    // a Set() after the count, before the wait
    int timeoutMs;
    bool expected;
};

class NamedEventWait : public ::testing::TestWithParam<EventWaitCase> {};

TEST_P(NamedEventWait, OnlySignalsAfterTheCountEndTheWait)
{
    const EventWaitCase& c = GetParam();
    auto event = TNamedEvent::CreateOrOpen(std::string("NamedEventWait") + c.name);
    ASSERT_TRUE(event);
    if (c.signalBeforeCount)
        event->Set();
    uint64_t start = event->SignalCount();
    if (c.signalAfterCount)   // from another thread, before this one waits: not lost
        std::thread([&] { TNamedEvent::CreateOrOpen(event->Name())->Set(); }).join();
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(event->WaitForSignalAfter(start, c.timeoutMs), c.expected);
    if (!c.expected && c.timeoutMs > 0) {
        EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(c.timeoutMs - 5));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, NamedEventWait,
                         ::testing::Values(EventWaitCase{"NoSignal", false, false, 50, false},
                                           EventWaitCase{"EarlierSignal", true, false, 50, false},
                                           EventWaitCase{"SignalBetweenCountAndWait", false, true, 5000, true},
                                           EventWaitCase{"ZeroNoSignal", false, false, 0, false},
                                           EventWaitCase{"ZeroEarlierSignal", true, false, 0, false},
                                           EventWaitCase{"ZeroSignalAfterCount", false, true, 0, true},
                                           EventWaitCase{"UnlimitedSignalAfterCount", true, true, -1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NamedEvent, NegativeTimeOutWaitsForASignal)
{
    auto event = TNamedEvent::CreateOrOpen("NamedEventUnlimited");
    uint64_t start = event->SignalCount();
    auto waiter = std::async(std::launch::async, [&] { return event->WaitForSignalAfter(start, -1); });
    EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout) << "returned without a signal";
    event->Set();
    EXPECT_TRUE(waiter.get());
}

TEST(NamedEvent, DifferentNamesDoNotSeeEachOther)
{
    auto a = TNamedEvent::CreateOrOpen("NamedEventA");
    auto b = TNamedEvent::CreateOrOpen("NamedEventB");
    auto mutexOfSameName = TNamedMutex::CreateOrOpen("NamedEventA");
    ASSERT_TRUE(a && b && mutexOfSameName);
    uint64_t startB = b->SignalCount();
    a->Set();
    EXPECT_FALSE(b->WaitForSignalAfter(startB, 0));
    EXPECT_EQ(a->SignalCount(), 1u);
    EXPECT_EQ(mutexOfSameName->Wait(0), TWaitResult::Acquired);
    EXPECT_TRUE(mutexOfSameName->Release());
}

TEST(NamedEvent, SignalsAreForgottenWhenTheLastHandleCloses)
{
    {
        auto event = TNamedEvent::CreateOrOpen("NamedEventLifetime");
        event->Set();
        auto second = TNamedEvent::CreateOrOpen("NamedEventLifetime");
        EXPECT_EQ(second->SignalCount(), 1u) << "open handles share the event";
    }
    auto event = TNamedEvent::CreateOrOpen("NamedEventLifetime");
    EXPECT_EQ(event->SignalCount(), 0u);
}

TEST(NamedEvent, WaiterLoopSeesEverySignalBurst)
{
    // A producer signals after each item; the consumer takes its count before
    // looking at the items, so it never sleeps through a signal.
    constexpr int kItems = 500;
    std::atomic<int> produced{0};
    auto event = TNamedEvent::CreateOrOpen("NamedEventLoop");
    std::thread producer([&] {
        auto handle = TNamedEvent::CreateOrOpen("NamedEventLoop");
        for (int i = 0; i < kItems; ++i) {
            produced.fetch_add(1);
            handle->Set();
        }
    });
    int seen = 0;
    while (seen < kItems) {
        uint64_t start = event->SignalCount();
        seen = produced.load();
        if (seen < kItems) {
            ASSERT_TRUE(event->WaitForSignalAfter(start, 5000)) << "lost wake-up at " << seen;
        }
    }
    producer.join();
}

} // namespace
