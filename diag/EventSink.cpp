#include "diag/EventSink.h"

#include "diag/AppEventMsg.h"

#include <algorithm>

namespace {

class TNullEventSink : public TEventSink {
public:
    void SendEventMsg(const std::string&, const std::string&, int, int) override {}
};

} // namespace

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
    FObservers.emplace_back(++FNextHandle, std::move(observer));
    return FNextHandle;
}

void TEventFanOut::RemoveObserver(int handle)
{
    std::lock_guard lock(FLock);
    std::erase_if(FObservers, [handle](const auto& entry) { return entry.first == handle; });
}

void TEventFanOut::SendEventMsg(const std::string& message, const std::string& source, int n1, int n2)
{
    // One lock around numbering, observers and the datagram: every sink sees
    // the lines of all threads in the same order.
    std::lock_guard lock(FLock);
    TEventRecord record;
    record.Sequence = ++FSequence;
    record.Time = NowLocal();
    record.Source = source;
    record.Message = message;
    record.N1 = n1;
    record.N2 = n2;
    for (const auto& [handle, observer] : FObservers) {
        try {
            observer(record);
        } catch (...) {
            // A view that cannot take a line must not fail the sender's caller.
        }
    }
    if (FSender)
        FSender->SendEventMsgAt(record.Time, message, source, n1, n2);
}
