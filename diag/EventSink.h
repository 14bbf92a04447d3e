#pragma once

#include "platform/Clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class TAppEventMsg;

// One line as a caller hands it over. The source is one of the program's
// constant source names: it must outlive the call.
struct TEventMessage {
    std::string Message;
    std::string_view Source;
    int N1 = 0;
    int N2 = 0;
};

// Where diagnostic lines go. The engine and the console are given a sink; the
// UDP datagrams, the window's log pane and the CLI's standard output are all
// fed from the same lines.
class TEventSink {
public:
    virtual ~TEventSink() = default;
    // One line. A sink's failure reaches the caller (the UDP sender raises
    // EAppEventMsg), as a failed datagram always did.
    virtual void SendEventMsg(const std::string& message, const std::string& source, int n1, int n2) = 0;
    // Several lines of one caller, in order, as if sent one after the other;
    // a sink may hand them on in one go. A failure raises as SendEventMsg
    // does, and the lines behind the failed one are not sent.
    virtual void SendEventMsgs(const std::vector<TEventMessage>& lines);
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
// Lines handed over together reach a batch observer in one call, so that a
// waiter behind it is woken once for them, and the sender as one batch.
class TEventFanOut : public TEventSink {
public:
    using TObserver = std::function<void(const TEventRecord&)>;
    using TBatchObserver = std::function<void(const TEventRecord* records, std::size_t count)>;

    TEventFanOut() = default;
    TEventFanOut(const TEventFanOut&) = delete;
    TEventFanOut& operator=(const TEventFanOut&) = delete;

    // The datagram sender (nullptr: none). Replacing it waits for sends in
    // flight, so the old sender may be destroyed as soon as this returns.
    void SetSender(TAppEventMsg* sender);
    TAppEventMsg* Sender() const;

    // Returns a handle for RemoveObserver. Removing waits for a call in flight.
    int AddObserver(TObserver observer);
    int AddBatchObserver(TBatchObserver observer);
    void RemoveObserver(int handle);

    void SendEventMsg(const std::string& message, const std::string& source, int n1, int n2) override;
    void SendEventMsgs(const std::vector<TEventMessage>& lines) override;

private:
    struct TEntry {
        int Handle;
        TObserver Line;
        TBatchObserver Batch;
    };
    // Under FLock.
    void Deliver(std::vector<TEventRecord>& records);

    mutable std::mutex FLock;
    TAppEventMsg* FSender = nullptr;
    std::vector<TEntry> FObservers;
    int FNextHandle = 0;
    uint64_t FSequence = 0;
};
