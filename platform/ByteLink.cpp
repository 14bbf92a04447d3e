#include "platform/ByteLink.h"

bool WriteAll(TByteLink& link, int fd, const uint8_t* data, int count, const TDeadline& deadline)
{
    while (count > 0) {
        short wait = 0;
        const int sent = link.Write(data, count, wait);
        if (sent > 0) {
            data += sent;
            count -= sent;
        } else if (deadline.RemainingMs() == 0 || !PollUntil(fd, wait, deadline)) {
            return false;
        }
    }
    return true;
}

int ReadSome(TByteLink& link, int fd, uint8_t* buffer, int count, const TDeadline& deadline)
{
    for (;;) {
        short wait = 0;
        bool ended = false;
        const int got = link.Read(buffer, count, wait, ended);
        if (got > 0)
            return got;
        if (ended)
            return -1;
        if (deadline.RemainingMs() == 0 || !PollUntil(fd, wait, deadline))
            return 0;
    }
}
