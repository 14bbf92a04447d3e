#include "platform/Thread.h"

#include <chrono>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

TWakeEvent::TWakeEvent()
    : FHandle(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

TWakeEvent::~TWakeEvent()
{
    if (FHandle >= 0)
        ::close(FHandle);
}

void TWakeEvent::Signal()
{
    if (FHandle < 0)
        return;
    // Fails only when the counter is about to overflow, and it is readable then anyway.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(FHandle, &one, sizeof one);
}

void TWakeEvent::Reset()
{
    if (FHandle < 0)
        return;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(FHandle, &count, sizeof count);
}

TThread::~TThread()
{
    Terminate();
    WaitFor();
}

void TThread::Start()
{
    std::lock_guard<std::mutex> guard(FJoinLock);
    if (FStarted.exchange(true))
        return;
    FThread = std::thread(&TThread::Run, this);
}

void TThread::Run()
{
    try {
        Execute();
    } catch (...) {
        std::lock_guard<std::mutex> guard(FFatalLock);
        FFatal = std::current_exception();
    }
    FFinished = true;
}

void TThread::Terminate()
{
    FTerminated = true;
    FTerminationWake.Signal();
}

bool TThread::Terminated() const
{
    return FTerminated;
}

void TThread::WaitFor()
{
    // Joining under the lock makes a second caller wait for the first join
    // to finish instead of racing on the std::thread object.
    std::lock_guard<std::mutex> guard(FJoinLock);
    if (!FThread.joinable() || FThread.get_id() == std::this_thread::get_id())
        return;
    FThread.join();
}

bool TThread::Finished() const
{
    return FFinished;
}

std::exception_ptr TThread::FatalException() const
{
    std::lock_guard<std::mutex> guard(FFatalLock);
    return FFatal;
}

void SleepMs(int ms)
{
    if (ms <= 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
