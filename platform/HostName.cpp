#include "platform/HostName.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

int SystemHostName(char* buffer, std::size_t length)
{
    return gethostname(buffer, length);
}

std::atomic<THostNameSource> CurrentSource{&SystemHostName};

} // namespace

THostNameSource SetHostNameSource(THostNameSource source)
{
    return CurrentSource.exchange(source ? source : &SystemHostName);
}

int LookupHostName(std::string& name)
{
    char buffer[256] = {};
    errno = 0;
    if (CurrentSource.load()(buffer, HostNameBufferLength) != 0)
        return errno != 0 ? errno : EINVAL;
    // A truncated name need not be terminated within the buffer; treat it as too long.
    const void* end = std::memchr(buffer, '\0', HostNameBufferLength);
    if (end == nullptr)
        return ENAMETOOLONG;
    name.assign(buffer, static_cast<const char*>(end) - buffer);
    return 0;
}
