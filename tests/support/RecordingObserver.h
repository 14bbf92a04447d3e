#pragma once

#include "mqtt/engine/SessionObserver.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Records what a client tells its session observer, from any thread, and lets
// a test wait for it.
class TRecordingObserver : public TSessionObserver {
public:
    struct TFrame {
        TFrameDirection Direction;
        std::vector<uint8_t> Bytes;
    };

    void OnFrame(TFrameDirection direction, const uint8_t* frame, int32_t size) override
    {
        Record([&] { Frames.push_back({direction, std::vector<uint8_t>(frame, frame + size)}); });
    }
    void OnConnectionLost(const std::string& reason) override { Record([&] { Lost.push_back(reason); }); }
    void OnQueueCount(int count) override { Record([&] { QueueCounts.push_back(count); }); }
    void OnMessageSaved(const TSavedMessage& message) override { Record([&] { Saved.push_back(message); }); }
    void OnReportPauseHolds(int waiting, int pauseMs) override
    {
        Record([&] { PauseHolds.emplace_back(waiting, pauseMs); });
    }

    // True once the condition holds (checked under the lock at every call).
    bool WaitFor(const std::function<bool(const TRecordingObserver&)>& condition, int timeoutMs = 10000)
    {
        std::unique_lock lock(Lock);
        return Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return condition(*this); });
    }
    template <class T>
    T Snapshot(T TRecordingObserver::*member)
    {
        std::lock_guard guard(Lock);
        return this->*member;
    }

    std::vector<TFrame> Frames;
    std::vector<std::string> Lost;
    std::vector<int> QueueCounts;
    std::vector<TSavedMessage> Saved;
    std::vector<std::pair<int, int>> PauseHolds;   // (waiting, pause ms)

private:
    template <class F>
    void Record(F f)
    {
        {
            std::lock_guard guard(Lock);
            f();
        }
        Changed.notify_all();
    }

    std::mutex Lock;
    std::condition_variable Changed;
};
