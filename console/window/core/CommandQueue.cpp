#include "console/window/core/CommandQueue.h"

TCommandQueue::~TCommandQueue()
{
    Stop();
}

void TCommandQueue::Start()
{
    std::lock_guard lock(Lock);
    if (Worker.joinable() || Stopping)
        return;
    Worker = std::thread([this] { Loop(); });
    WorkerId = Worker.get_id();
}

bool TCommandQueue::Post(TJob job)
{
    {
        std::lock_guard lock(Lock);
        if (Stopping)
            return false;
        Jobs.push_back(std::move(job));
    }
    Wake.notify_one();
    return true;
}

bool TCommandQueue::PostTick(TJob job)
{
    bool added;
    {
        std::lock_guard lock(Lock);
        if (Stopping)
            return false;
        added = !Tick;
        Tick = std::move(job);
    }
    Wake.notify_one();
    return added;
}

std::size_t TCommandQueue::DropPending()
{
    std::lock_guard lock(Lock);
    const std::size_t dropped = Jobs.size() + (Tick ? 1 : 0);
    Jobs.clear();
    Tick = nullptr;
    return dropped;
}

void TCommandQueue::Stop()
{
    std::thread worker;
    {
        std::lock_guard lock(Lock);
        Stopping = true;
        worker = std::move(Worker);
    }
    Wake.notify_one();
    if (worker.joinable())
        worker.join();
}

bool TCommandQueue::OnWorkerThread() const
{
    std::lock_guard lock(Lock);
    return WorkerId == std::this_thread::get_id();
}

void TCommandQueue::Loop()
{
    for (;;) {
        TJob job;
        {
            std::unique_lock lock(Lock);
            Wake.wait(lock, [this] { return Stopping || !Jobs.empty() || Tick; });
            if (!Jobs.empty()) {
                job = std::move(Jobs.front());
                Jobs.pop_front();
            } else if (Tick) {
                job = std::move(Tick);
                Tick = nullptr;
            } else {
                return;   // stopping and nothing left
            }
        }
        job();
    }
}
