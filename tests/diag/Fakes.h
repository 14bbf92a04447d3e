#pragma once

#include "platform/HostName.h"
#include "platform/Random.h"

#include <atomic>
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

// Makes Random() return a chosen number while it lives: Value, or with -1 the
// largest number of the range asked for. LastRange tells which range was asked.
struct FixedRandom {
    static inline std::atomic<int> Value{0};
    static inline std::atomic<int> LastRange{0};

    static int Source(int range)
    {
        LastRange = range;
        return Value >= 0 ? Value.load() : range - 1;
    }

    explicit FixedRandom(int value)
    {
        Value = value;
        LastRange = 0;
        Previous = SetRandomSource(&Source);
    }
    ~FixedRandom() { SetRandomSource(Previous); }
    FixedRandom(const FixedRandom&) = delete;
    FixedRandom& operator=(const FixedRandom&) = delete;

    TRandomSource Previous;
};
