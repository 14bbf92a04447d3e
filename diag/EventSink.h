#pragma once

#include "platform/Clock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TAppEventMsg;

// Where diagnostic lines go. The engine and the console are given a sink; the
// UDP datagrams, the window's log pane and the CLI's standard output are all
// fed from the same lines.
class TEventSink {
public:
    virtual ~TEventSink() = default;
    // One line. A sink's failure reaches the caller (the UDP sender raises
    // EAppEventMsg), as a failed datagram always did.
    virtual void SendEventMsg(const std::string& message, const std::string& source, int n1, int n2) = 0;
};

// Drops every line: for engine objects made without a sink.
TEventSink& NullEventSink();

// One line as an in-process observer sees it.
struct TEventRecord {
    uint64_t Sequence = 0;     // 1, 2, ... in the order the lines were sent
    TLocalDateTime Time{};     // the instant the datagram carries
    std::string Source;
    std::string Message;
    int N1 = 0;
    int N2 = 0;
};

// The console's sink: every line goes to the in-process observers and then to
// the UDP sender, in one order for all of them, from any thread. Observers are
// called with the lock held, so they must be quick (copy the record and
// return) and must not send lines themselves; what they raise is dropped.
class TEventFanOut : public TEventSink {
public:
    using TObserver = std::function<void(const TEventRecord&)>;

    TEventFanOut() = default;
    TEventFanOut(const TEventFanOut&) = delete;
    TEventFanOut& operator=(const TEventFanOut&) = delete;

    // The datagram sender (nullptr: none). Replacing it waits for sends in
    // flight, so the old sender may be destroyed as soon as this returns.
    void SetSender(TAppEventMsg* sender);
    TAppEventMsg* Sender() const;

    // Returns a handle for RemoveObserver. Removing waits for a call in flight.
    int AddObserver(TObserver observer);
    void RemoveObserver(int handle);

    void SendEventMsg(const std::string& message, const std::string& source, int n1, int n2) override;

private:
    mutable std::mutex FLock;
    TAppEventMsg* FSender = nullptr;
    std::vector<std::pair<int, TObserver>> FObservers;
    int FNextHandle = 0;
    uint64_t FSequence = 0;
};
