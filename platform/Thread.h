#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

// A wake-up that a thread can wait for beside a socket (poll on Handle()):
// readable from Signal() until Reset(). Signals do not count; several before
// a Reset() wake the waiter once. Handle() is -1 when the system could not
// make one; a waiter must then fall back to waits with a time-out.
class TWakeEvent {
public:
    TWakeEvent();
    ~TWakeEvent();
    TWakeEvent(const TWakeEvent&) = delete;
    TWakeEvent& operator=(const TWakeEvent&) = delete;

    void Signal();   // from any thread
    void Reset();    // by the waiter, before it looks at what it was woken for
    int Handle() const { return FHandle; }

private:
    int FHandle = -1;
};

// A thread object with a virtual body and a termination request that the body
// polls through Terminated(). Created idle; Start() runs Execute() on a new
// thread. The owner asks it to end with Terminate() and waits with WaitFor()
// before destroying it.
class TThread {
public:
    TThread() = default;
    // Still running here means the owner skipped Terminate()/WaitFor(): the
    // request is set and the thread joined, so the process does not abort, but
    // a derived object is already gone by now; derived classes that can be
    // destroyed while running should call Terminate() and WaitFor() in their
    // own destructor.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();              // once; later calls do nothing
    void Terminate();          // sets the termination request and signals TerminationHandle()
    bool Terminated() const;   // the termination request
    void WaitFor();            // joins; safe to call again and from several threads
    bool Finished() const;     // Execute() has returned (or raised)
    // What escaped Execute(), if anything: the thread ends quietly instead of
    // taking the process down.
    std::exception_ptr FatalException() const;

protected:
    virtual void Execute() = 0;
    // Readable once Terminate() was called, so that a body blocked in poll()
    // beside it ends at once instead of waking on a timer to look (-1: none,
    // see TWakeEvent).
    int TerminationHandle() const { return FTerminationWake.Handle(); }

private:
    void Run();

    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FStarted{false};
    TWakeEvent FTerminationWake;
    std::mutex FJoinLock;        // guards FThread
    std::thread FThread;
    mutable std::mutex FFatalLock;
    std::exception_ptr FFatal;
};

// Sleeps the calling thread; 0 or less just yields.
void SleepMs(int ms);
