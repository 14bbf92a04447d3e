#include "platform/Thread.h"

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include <poll.h>

namespace {

// Runs until asked to terminate, counting its passes.
class TCountingThread : public TThread {
public:
    ~TCountingThread() override
    {
        Terminate();
        WaitFor();
    }
    std::atomic<int> Passes{0};
    std::promise<void> FirstPass;

protected:
    void Execute() override
    {
        while (!Terminated()) {
            if (Passes.fetch_add(1) == 0)
                FirstPass.set_value();
            SleepMs(1);
        }
    }
};

class TRaisingThread : public TThread {
protected:
    void Execute() override { throw std::runtime_error("body failed"); }
};

TEST(Thread, RunsUntilTerminatedAndWaitForIsRepeatable)
{
    TCountingThread thread;
    EXPECT_FALSE(thread.Terminated());
    thread.WaitFor();   // not started: returns at once
    auto started = thread.FirstPass.get_future();
    thread.Start();
    thread.Start();     // a second start does nothing
    started.wait();
    EXPECT_FALSE(thread.Finished());
    thread.Terminate();
    EXPECT_TRUE(thread.Terminated());
    thread.WaitFor();
    EXPECT_TRUE(thread.Finished());
    int passes = thread.Passes;
    EXPECT_GE(passes, 1);
    thread.WaitFor();
    EXPECT_EQ(thread.Passes, passes) << "the body ran on after WaitFor";
    EXPECT_EQ(thread.FatalException(), nullptr);
}

TEST(Thread, ConcurrentWaitForBothReturn)
{
    TCountingThread thread;
    auto started = thread.FirstPass.get_future();
    thread.Start();
    started.wait();
    auto first = std::async(std::launch::async, [&] { thread.WaitFor(); });
    auto second = std::async(std::launch::async, [&] { thread.WaitFor(); });
    thread.Terminate();
    first.get();
    second.get();
    EXPECT_TRUE(thread.Finished());
}

// Sleeps in poll() on its termination handle alone: only Terminate() can end it.
class TSleepingThread : public TThread {
protected:
    void Execute() override
    {
        pollfd entry{TerminationHandle(), POLLIN, 0};
        while (!Terminated())
            ::poll(&entry, 1, -1);
    }
};

bool Readable(int handle)
{
    pollfd entry{handle, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1;
}

TEST(Thread, WakeEventsAndTheTerminationHandle)
{
    TWakeEvent wake;
    ASSERT_GE(wake.Handle(), 0);
    EXPECT_FALSE(Readable(wake.Handle()));
    wake.Signal();
    wake.Signal();
    EXPECT_TRUE(Readable(wake.Handle()));
    wake.Reset();
    EXPECT_FALSE(Readable(wake.Handle())) << "one reset clears every signal before it";

    TSleepingThread thread;
    thread.Start();
    thread.Terminate();
    thread.WaitFor();   // would hang if Terminate did not wake the poll
    EXPECT_TRUE(thread.Finished());
}

TEST(Thread, ExceptionInBodyEndsOnlyTheThread)
{
    TRaisingThread thread;
    thread.Start();
    thread.WaitFor();
    EXPECT_TRUE(thread.Finished());
    ASSERT_NE(thread.FatalException(), nullptr);
    try {
        std::rethrow_exception(thread.FatalException());
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "body failed");
    }
}

} // namespace
