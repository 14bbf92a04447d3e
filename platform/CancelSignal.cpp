#include "platform/CancelSignal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

TCancelSignal::TCancelSignal() : FHandle(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TCancelSignal::~TCancelSignal()
{
    if (FHandle >= 0)
        ::close(FHandle);
}

void TCancelSignal::Cancel()
{
    std::lock_guard<std::mutex> guard(FLock);
    if (FCancelled.exchange(true))
        return;
    const uint64_t one = 1;
    if (FHandle >= 0) {
        [[maybe_unused]] const auto written = ::write(FHandle, &one, sizeof one);
    }
}

void TCancelSignal::Reset()
{
    std::lock_guard<std::mutex> guard(FLock);
    if (!FCancelled.exchange(false))
        return;
    uint64_t count = 0;
    if (FHandle >= 0) {
        [[maybe_unused]] const auto drained = ::read(FHandle, &count, sizeof count);
    }
}
