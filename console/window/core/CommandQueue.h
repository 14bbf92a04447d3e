#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// The one thread that runs the console's commands, so the window keeps painting
// while a command waits for the broker. Commands run one at a time in the order
// they were posted. The timer's tick is kept apart, the way a window system keeps
// its timer message: at most one waits, and it runs only when no command waits,
// so ticks that fall due during a long command are not stored up.
class TCommandQueue {
public:
    using TJob = std::function<void()>;

    TCommandQueue() = default;
    ~TCommandQueue();                 // Stop()
    TCommandQueue(const TCommandQueue&) = delete;
    TCommandQueue& operator=(const TCommandQueue&) = delete;

    void Start();
    // False once Stop() began.
    bool Post(TJob job);
    // True when this added a waiting tick; false when one already waited (the new
    // job replaces it) or the queue is stopping.
    bool PostTick(TJob job);
    // Forgets every waiting command and tick; the number forgotten.
    std::size_t DropPending();
    // Takes no more jobs, lets the waiting ones run, and joins the thread.
    void Stop();

    bool OnWorkerThread() const;

private:
    void Loop();

    mutable std::mutex Lock;
    std::condition_variable Wake;
    std::deque<TJob> Jobs;
    TJob Tick;
    bool Stopping = false;
    std::thread Worker;
    std::thread::id WorkerId;
};
