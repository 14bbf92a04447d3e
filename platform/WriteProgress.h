#pragma once

#include <cstdint>

// Whether the bytes a TCP connection holds for its peer move, as TCP itself
// knows it: sampled now and then while a write waits for room. A peer that
// reads slowly opens its receive window in bursts, and between them neither
// room nor acknowledgements come for a while; its kernel still answers the
// window probes. A write that waits asks this instead of giving up on the
// first quiet second.
class TWriteProgress {
public:
    // Takes the first sample of the connected TCP descriptor.
    explicit TWriteProgress(int fd);

    // Takes a sample; true when since the previous one the peer acknowledged
    // bytes (the send queue drained) or answered a probe of its closed window.
    // A peer whose window stays closed is probed ever more rarely (the gaps
    // double), so a wait that counts the answers still ends.
    bool Moved(int fd);

private:
    struct TSample {
        // Grows as the peer acknowledges bytes: the bytes acknowledged so far
        // (TCP_INFO), or where the kernel does not tell that, minus the bytes
        // still queued (SIOCOUTQ), which only acknowledgements lower while no
        // write adds to them (and a write that adds has moved anyway).
        int64_t Delivered = 0;
        bool Known = false;
        int Probes = 0;    // window probes sent and not answered
        int Backoff = 0;   // probes sent while the window stays closed (or retransmissions)
        int InFlight = 0;  // segments sent and not acknowledged: probing happens only at 0
    };
    static TSample Take(int fd);

    TSample FLast;
    int FAnsweredBackoff;   // the probe count of the last answered probe
};
