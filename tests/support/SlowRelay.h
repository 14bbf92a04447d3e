#pragma once

#include <thread>

// A TCP relay on 127.0.0.1 (ephemeral port) for one connection to a target
// port, with a slow reader on the client's side: it reads at most Chunk bytes
// of what the client sends every GapMs and passes them on; the target's
// answers go back at once. With a small receive buffer the client's window
// opens only as the relay reads: in small steps (small chunks, short gaps) or
// in bursts (large chunks, long gaps).
class TSlowRelay {
public:
    struct TPace {
        int Chunk = 512;
        int GapMs = 20;
        int ReceiveBuffer = 4096;   // SO_RCVBUF of the client's side
    };
    TSlowRelay(int targetPort, const TPace& pace);
    ~TSlowRelay();   // ends the relay, with both connections
    TSlowRelay(const TSlowRelay&) = delete;
    TSlowRelay& operator=(const TSlowRelay&) = delete;

    int Port() const { return FPort; }

private:
    void Run();

    const int FTargetPort;
    const TPace FPace;
    int FListener = -1;
    int FPort = 0;
    int FStop = -1;   // eventfd
    std::thread FThread;
};
