#pragma once

#include "platform/HostName.h"

#include <cerrno>
#include <cstring>
#include <string>

// Stands in for the system's host name while it lives. The fake behaves like
// gethostname(): a name that does not fit fails with ENAMETOOLONG, unless
// Truncate is set, in which case it fills the buffer without a terminator.
struct FakeHostName {
    static inline std::string Name;
    static inline int Error = 0;
    static inline bool Truncate = false;

    static int Source(char* buffer, std::size_t length)
    {
        if (Error != 0) {
            errno = Error;
            return -1;
        }
        if (Name.size() + 1 > length) {
            if (!Truncate) {
                errno = ENAMETOOLONG;
                return -1;
            }
            std::memcpy(buffer, Name.data(), length);
            return 0;
        }
        std::memcpy(buffer, Name.c_str(), Name.size() + 1);
        return 0;
    }

    explicit FakeHostName(std::string name, int error = 0, bool truncate = false)
    {
        Name = std::move(name);
        Error = error;
        Truncate = truncate;
        Previous = SetHostNameSource(&Source);
    }
    ~FakeHostName() { SetHostNameSource(Previous); }
    FakeHostName(const FakeHostName&) = delete;
    FakeHostName& operator=(const FakeHostName&) = delete;

    THostNameSource Previous;
};
