#include "mqtt/engine/FrameSignal.h"

#include "platform/Error.h"
#include "platform/NamedSync.h"

namespace {

std::unique_ptr<TNamedEvent> OpenEvent(const std::string& name)
{
    auto event = TNamedEvent::CreateOrOpen(name);
    if (!event)
        throw Exception("could not create event, " + name);
    return event;
}

} // namespace

void SignalNamedEvent(const std::string& name)
{
    OpenEvent(name)->Set();
}

bool WaitNamedEvent(const std::string& name, int timeoutMs)
{
    auto event = OpenEvent(name);
    return event->WaitForSignalAfter(event->SignalCount(), timeoutMs);
}

TFrameSignal::TFrameSignal(const std::string& name)
    : FEvent(OpenEvent(name))
{
}

TFrameSignal::~TFrameSignal() = default;

void TFrameSignal::Signal()
{
    FEvent->Set();
}

TFrameWait::TFrameWait(const std::string& name)
    : FEvent(OpenEvent(name))
    , FStart(FEvent->SignalCount())
{
}

TFrameWait::~TFrameWait() = default;

bool TFrameWait::Wait(int timeoutMs)
{
    if (!FEvent->WaitForSignalAfter(FStart, timeoutMs))
        return false;
    FStart = FEvent->SignalCount();
    return true;
}

void TFrameWait::Restart()
{
    FStart = FEvent->SignalCount();
}
