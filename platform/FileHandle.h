#pragma once

#include <unistd.h>

// Owns a file descriptor (negative: none) and closes it when it goes, ignoring
// the result. Release() hands it over, for a caller that must see the result
// of close (a write may fail only there).
class TFileHandle {
public:
    explicit TFileHandle(int fd) : FFd(fd) {}
    ~TFileHandle()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;

    int Get() const { return FFd; }
    int Release()
    {
        const int fd = FFd;
        FFd = -1;
        return fd;
    }

private:
    int FFd;
};
