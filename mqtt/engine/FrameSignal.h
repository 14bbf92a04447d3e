#pragma once

#include <cstdint>
#include <memory>
#include <string>

class TNamedEvent;

// The frame-arrival event of a client ("MQTT_FRAME_RECV" + client identifier).
// The reader thread signals it once per stored frame; whoever waits for an
// answer waits on it and then looks in the receive queue. Every signal
// releases all current waiters, and a wait counts every signal given after
// it began, whatever other waiters do meanwhile.

// Raises "could not create event, " + name.
void SignalNamedEvent(const std::string& name);

// Waits for a signal given after this call began. timeoutMs < 0 waits without
// limit, 0 only polls. False when the time-out passed without a signal.
bool WaitNamedEvent(const std::string& name, int timeoutMs);

// The signalling side of the event, kept open by its holder (the reader
// thread), so that a signal per stored frame does not open and close the
// event each time. The waiters see no difference: a wait counts the signals
// given after it began, whoever holds the event meanwhile.
class TFrameSignal {
public:
    explicit TFrameSignal(const std::string& name);   // raises "could not create event, " + name
    ~TFrameSignal();

    TFrameSignal(const TFrameSignal&) = delete;
    TFrameSignal& operator=(const TFrameSignal&) = delete;

    void Signal();

private:
    std::unique_ptr<TNamedEvent> FEvent;
};

// A wait whose starting point is taken at construction (or at Restart), so
// that it can begin before the request is written: an answer that arrives
// between the write and the call of Wait still ends it. Keeps the event open
// while it lives.
class TFrameWait {
public:
    explicit TFrameWait(const std::string& name);   // raises "could not create event, " + name
    ~TFrameWait();

    TFrameWait(const TFrameWait&) = delete;
    TFrameWait& operator=(const TFrameWait&) = delete;

    // True when a signal came after the starting point; the starting point
    // then moves to now, so the next Wait counts only later signals.
    bool Wait(int timeoutMs);
    // Moves the starting point to now without waiting.
    void Restart();

private:
    std::unique_ptr<TNamedEvent> FEvent;
    uint64_t FStart = 0;
};
