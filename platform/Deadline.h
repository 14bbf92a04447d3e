#pragma once

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

// A time-out counted from its start, as poll() takes what is left of it.
class TDeadline {
public:
    using TClock = std::chrono::steady_clock;

    // A negative time-out: no limit.
    explicit TDeadline(int timeoutMs)
        : FUnlimited(timeoutMs < 0), FEnd(TClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0)))
    {
    }
    // What is left in ms for poll(); -1 (no limit) when there is none.
    int RemainingMs() const
    {
        if (FUnlimited)
            return -1;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(FEnd - TClock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }

private:
    bool FUnlimited;
    TClock::time_point FEnd;
};

enum class TPollEnd { Ready, TimedOut, Cancelled };

// Waits for events on one descriptor until the deadline, or until the cancel
// handle (an eventfd, -1: none) turns readable. An error or hang-up counts as
// ready: the read or write that follows reports it.
inline TPollEnd PollUntil(int fd, short events, const TDeadline& deadline, int cancelHandle)
{
    for (;;) {
        pollfd entries[2] = {{fd, events, 0}, {cancelHandle, POLLIN, 0}};
        const int result = ::poll(entries, cancelHandle >= 0 ? 2 : 1, deadline.RemainingMs());
        if (result > 0)
            return entries[1].revents != 0 && cancelHandle >= 0 ? TPollEnd::Cancelled : TPollEnd::Ready;
        if (result == 0)
            return TPollEnd::TimedOut;
        if (errno != EINTR)
            return TPollEnd::Ready;
    }
}

// Waits for events on one descriptor until the deadline; false on time-out.
inline bool PollUntil(int fd, short events, const TDeadline& deadline)
{
    return PollUntil(fd, events, deadline, -1) == TPollEnd::Ready;
}
