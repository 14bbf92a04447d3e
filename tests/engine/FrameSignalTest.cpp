#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "mqtt/engine/FrameSignal.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string EventName(const std::string& stem)
{
    static std::atomic<int> n{0};
    return "MQTT_FRAME_RECVsig-" + stem + "-" + std::to_string(++n);
}

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Signals until the future is ready: for waits whose start cannot be seen
// from outside. Returns whether it became ready within the limit.
template <class T>
bool SignalUntilReady(const std::string& name, std::future<T>& f, int limitMs = 5000)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (Clock::now() < deadline) {
        SignalNamedEvent(name);
        if (f.wait_for(std::chrono::milliseconds(5)) == std::future_status::ready)
            return true;
    }
    return false;
}

} // namespace

TEST(FrameSignal, OneSignalReleasesEveryCurrentWaiter)
{
    const std::string name = EventName("all");
    TFrameWait first(name);
    TFrameWait second(name);
    auto a = std::async(std::launch::async, [&] { return first.Wait(10000); });
    auto b = std::async(std::launch::async, [&] { return second.Wait(10000); });
    SignalNamedEvent(name);
    EXPECT_TRUE(a.get());
    EXPECT_TRUE(b.get());
}

TEST(FrameSignal, WaitNamedEventEndsOnASignal)
{
    const std::string name = EventName("plain");
    const auto start = Clock::now();
    auto waiter = std::async(std::launch::async, [&] { return WaitNamedEvent(name, 10000); });
    ASSERT_TRUE(SignalUntilReady(name, waiter));
    EXPECT_TRUE(waiter.get());
    EXPECT_LT(MsSince(start), 9000);
}

TEST(FrameSignal, ASignalBeforeTheWaitBeganDoesNotEndIt)
{
    const std::string name = EventName("before");
    SignalNamedEvent(name);
    const auto start = Clock::now();
    EXPECT_FALSE(WaitNamedEvent(name, 100));
    EXPECT_GE(MsSince(start), 90);

    TFrameWait held(name);   // keeps the event open across the signal
    SignalNamedEvent(name);
    EXPECT_FALSE(WaitNamedEvent(name, 50));
}

TEST(FrameSignal, ZeroTimeOutOnlyLooks)
{
    const std::string name = EventName("zero");
    const auto start = Clock::now();
    EXPECT_FALSE(WaitNamedEvent(name, 0));
    TFrameWait w(name);
    EXPECT_FALSE(w.Wait(0));
    EXPECT_LT(MsSince(start), 1000);
    SignalNamedEvent(name);
    EXPECT_TRUE(w.Wait(0));
}

TEST(FrameSignal, NegativeTimeOutWaitsForASignalOnly)
{
    const std::string name = EventName("forever");
    TFrameWait w(name);
    auto waiter = std::async(std::launch::async, [&] { return w.Wait(-1); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    SignalNamedEvent(name);
    EXPECT_TRUE(waiter.get());
}

TEST(FrameSignal, NamesDoNotSeeEachOthersSignals)
{
    const std::string a = EventName("a");
    const std::string b = EventName("b");
    TFrameWait w(a);
    SignalNamedEvent(b);
    EXPECT_FALSE(w.Wait(50));
}

// A wait that begins before the request is written sees an answer that
// arrives before Wait is called.
TEST(FrameSignal, AWaitBegunBeforeTheRequestSeesAnEarlyAnswer)
{
    const std::string name = EventName("early");
    TFrameWait w(name);
    SignalNamedEvent(name);   // the answer comes before Wait
    EXPECT_TRUE(w.Wait(0));
    // The starting point moved past that signal.
    EXPECT_FALSE(w.Wait(0));
    w.Restart();
    SignalNamedEvent(name);
    w.Restart();               // a signal before Restart is not counted
    EXPECT_FALSE(w.Wait(0));
}

// Other waiters starting and ending their waits meanwhile cannot swallow a
// signal meant for this one.
TEST(FrameSignal, OtherWaitersCannotSwallowASignal)
{
    const std::string name = EventName("swallow");
    TFrameWait mine(name);
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop)
            WaitNamedEvent(name, 1);
    });
    SignalNamedEvent(name);
    EXPECT_TRUE(mine.Wait(0));
    stop = true;
    churn.join();
}
