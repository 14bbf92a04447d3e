#include "platform/WriteProgress.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>

TWriteProgress::TWriteProgress(int fd) : FLast(Take(fd)), FAnsweredBackoff(FLast.Probes == 0 ? FLast.Backoff : -1) {}

TWriteProgress::TSample TWriteProgress::Take(int fd)
{
    TSample sample;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0) {
        sample.Probes = info.tcpi_probes;
        sample.Backoff = info.tcpi_backoff;
        sample.InFlight = static_cast<int>(info.tcpi_unacked);
        if (length >= offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
            sample.Delivered = static_cast<int64_t>(info.tcpi_bytes_acked);
            sample.Known = true;
            return sample;
        }
    }
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) == 0) {
        sample.Delivered = -static_cast<int64_t>(queued);
        sample.Known = true;
    }
    return sample;
}

bool TWriteProgress::Moved(int fd)
{
    const TSample now = Take(fd);
    const bool drained = now.Known && FLast.Known && now.Delivered > FLast.Delivered;
    // Every probe of a closed window adds one to the back-off and any answer
    // from the peer clears the probes outstanding. With data in flight the
    // back-off counts retransmissions instead, which a silent peer causes.
    const bool probeAnswered =
        now.InFlight == 0 && now.Probes == 0 && now.Backoff > 0 && now.Backoff != FAnsweredBackoff;
    if (now.Probes == 0)
        FAnsweredBackoff = now.Backoff;
    FLast = now;
    return drained || probeAnswered;
}
