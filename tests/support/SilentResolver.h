#pragma once

#include "platform/HostLookup.h"

#include <netdb.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>

// A name server that never answers: its resolver says when it was asked, then
// holds the question until the object goes ("no such name" then). The
// lookup's thread may outlive the asker, so what they share is shared.
class TSilentResolver {
public:
    ~TSilentResolver() { FRelease.set_value(); }

    THostResolver Resolver() const
    {
        return [state = FState, released = FReleased](const std::string&, const std::string&,
                                                      std::vector<TResolvedAddress>&, int&) {
            std::call_once(state->Once, [&] { state->Asked.set_value(); });
            released.wait();
            return EAI_NONAME;
        };
    }
    bool WaitForQuestion(int timeoutMs)
    {
        return FAsked.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    }

private:
    struct TState {
        std::promise<void> Asked;
        std::once_flag Once;
    };
    std::shared_ptr<TState> FState = std::make_shared<TState>();
    std::future<void> FAsked = FState->Asked.get_future();
    std::promise<void> FRelease;
    std::shared_future<void> FReleased = FRelease.get_future().share();
};
