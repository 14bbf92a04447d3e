#pragma once

#include "platform/HostLookup.h"

#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

// A name server that never answers: its resolver tells when it was asked and
// then holds the question until the object goes (answering "no such name").
// The lookup's thread may outlive the question's asker, so the state is shared.
class TSilentResolver {
public:
    TSilentResolver() : FState(std::make_shared<TState>()) {}
    ~TSilentResolver()
    {
        std::lock_guard<std::mutex> guard(FState->Lock);
        FState->Released = true;
        FState->Changed.notify_all();
    }
    TSilentResolver(const TSilentResolver&) = delete;
    TSilentResolver& operator=(const TSilentResolver&) = delete;

    THostResolver Resolver() const
    {
        return [state = FState](const std::string&, const std::string&, std::vector<TResolvedAddress>&, int&) {
            std::unique_lock<std::mutex> lock(state->Lock);
            ++state->Asked;
            state->Changed.notify_all();
            state->Changed.wait(lock, [&] { return state->Released; });
            return EAI_NONAME;
        };
    }
    // Waits until a question came; false after timeoutMs.
    bool WaitForQuestion(int timeoutMs) const
    {
        std::unique_lock<std::mutex> lock(FState->Lock);
        return FState->Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FState->Asked > 0; });
    }

private:
    struct TState {
        std::mutex Lock;
        std::condition_variable Changed;
        int Asked = 0;
        bool Released = false;
    };
    std::shared_ptr<TState> FState;
};
