#include "diag/EventSink.h"

#include "diag/AppEventMsg.h"

#include <algorithm>

namespace {

class TNullEventSink : public TEventSink {
public:
    void SendEventMsg(const std::string&, const std::string&, int, int) override {}
    void SendEventMsgs(const std::vector<TEventMessage>&) override {}
};

} // namespace

void TEventSink::SendEventMsgs(const std::vector<TEventMessage>& lines)
{
    for (const TEventMessage& line : lines)
        SendEventMsg(line.Message, std::string(line.Source), line.N1, line.N2);
}

TEventSink& NullEventSink()
{
    static TNullEventSink sink;
    return sink;
}

void TEventFanOut::SetSender(TAppEventMsg* sender)
{
    std::lock_guard lock(FLock);
    FSender = sender;
}

TAppEventMsg* TEventFanOut::Sender() const
{
    std::lock_guard lock(FLock);
    return FSender;
}

int TEventFanOut::AddObserver(TObserver observer)
{
    std::lock_guard lock(FLock);
    FObservers.push_back({++FNextHandle, std::move(observer), {}});
    return FNextHandle;
}

int TEventFanOut::AddBatchObserver(TBatchObserver observer)
{
    std::lock_guard lock(FLock);
    FObservers.push_back({++FNextHandle, {}, std::move(observer)});
    return FNextHandle;
}

void TEventFanOut::RemoveObserver(int handle)
{
    std::lock_guard lock(FLock);
    std::erase_if(FObservers, [handle](const TEntry& entry) { return entry.Handle == handle; });
}

void TEventFanOut::Deliver(std::vector<TEventRecord>& records)
{
    for (TEventRecord& record : records)
        record.Sequence = ++FSequence;
    for (const TEntry& entry : FObservers) {
        // A view that cannot take a line must not fail the sender's caller.
        if (entry.Batch) {
            try {
                entry.Batch(records.data(), records.size());
            } catch (...) {
            }
            continue;
        }
        for (const TEventRecord& record : records) {
            try {
                entry.Line(record);
            } catch (...) {
            }
        }
    }
    if (FSender)
        FSender->SendEventRecords(records.data(), records.size());
}

void TEventFanOut::SendEventMsg(const std::string& message, const std::string& source, int n1, int n2)
{
    std::vector<TEventRecord> records(1);
    TEventRecord& record = records.front();
    record.Source = source;
    record.Message = message;
    record.N1 = n1;
    record.N2 = n2;
    // One lock around numbering, observers and the datagram: every sink sees
    // the lines of all threads in the same order.
    std::lock_guard lock(FLock);
    record.Time = NowLocal();
    Deliver(records);
}

void TEventFanOut::SendEventMsgs(const std::vector<TEventMessage>& lines)
{
    if (lines.empty())
        return;
    std::vector<TEventRecord> records(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        records[i].Source = lines[i].Source;
        records[i].Message = lines[i].Message;
        records[i].N1 = lines[i].N1;
        records[i].N2 = lines[i].N2;
    }
    std::lock_guard lock(FLock);
    // Handed over together, said together: one instant for all of them.
    const TLocalDateTime now = NowLocal();
    for (TEventRecord& record : records)
        record.Time = now;
    Deliver(records);
}
