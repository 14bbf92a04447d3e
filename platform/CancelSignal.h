#pragma once

#include <atomic>
#include <mutex>

// A cancel that any thread may give and that a poll() can wait for beside its
// own descriptors: Handle() turns readable with Cancel() and stays so until
// Reset(). The owner resets it before the work it guards begins; a cancel
// given before that reset does not reach the work.
class TCancelSignal {
public:
    TCancelSignal();
    ~TCancelSignal();
    TCancelSignal(const TCancelSignal&) = delete;
    TCancelSignal& operator=(const TCancelSignal&) = delete;

    void Cancel();
    void Reset();
    bool Cancelled() const { return FCancelled; }
    // For poll() with POLLIN; -1 when the system gave no handle (then only
    // Cancelled() tells, and waits end at their time-out).
    int Handle() const { return FHandle; }

private:
    const int FHandle;
    std::atomic<bool> FCancelled{false};
    std::mutex FLock;   // keeps the flag and the handle's state together
};
