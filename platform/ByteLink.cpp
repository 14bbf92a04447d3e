#include "platform/ByteLink.h"

#include <cerrno>

int AwaitEvent(int fd, short events, const TDeadline& deadline, int cancel)
{
    switch (deadline.RemainingMs() == 0 ? TPollEnd::TimedOut : PollUntil(fd, events, deadline, cancel)) {
    case TPollEnd::Ready:
        return 0;
    case TPollEnd::Cancelled:
        return -ECANCELED;
    case TPollEnd::TimedOut:
        break;
    }
    return -ETIMEDOUT;
}

int WriteAll(TByteLink& link, int fd, const uint8_t* data, int count, const TDeadline& deadline, int cancel)
{
    while (count > 0) {
        short wait = 0;
        const int sent = link.Write(data, count, wait);
        if (sent > 0) {
            data += sent;
            count -= sent;
        } else if (const int waited = AwaitEvent(fd, wait, deadline, cancel); waited < 0) {
            return waited;
        }
    }
    return 0;
}

int ReadSome(TByteLink& link, int fd, uint8_t* buffer, int count, const TDeadline& deadline, int cancel)
{
    for (;;) {
        short wait = 0;
        bool ended = false;
        const int got = link.Read(buffer, count, wait, ended);
        if (got > 0)
            return got;
        if (ended)
            return -ECONNRESET;
        if (const int waited = AwaitEvent(fd, wait, deadline, cancel); waited < 0)
            return waited;
    }
}
