#pragma once

#include <cstdint>

#include "platform/Deadline.h"

// A connection's byte stream as the layers above TCP see it: the clear
// descriptor, or the TLS session over it. Nothing in it waits: each call moves
// what it can now and otherwise says which poll() event to wait for.
class TByteLink {
public:
    // > 0: bytes taken. 0: none now; wait holds the event (POLLOUT, or POLLIN
    // while TLS must read first). A write given up after a 0 must be offered
    // again with the same bytes. Raises "Write エラー <code>, <text>".
    virtual int Write(const uint8_t* data, int count, short& wait) = 0;
    // > 0: bytes read. 0: none now (wait holds the event), or the stream
    // ended (ended true). Raises "Read エラー <code>, <text>".
    virtual int Read(uint8_t* buffer, int count, short& wait, bool& ended) = 0;

protected:
    ~TByteLink() = default;
};

// For the exchanges of Open, which wait on the descriptor under one deadline.
// false when the deadline passed first.
bool WriteAll(TByteLink& link, int fd, const uint8_t* data, int count, const TDeadline& deadline);
// At least one byte, waiting until the deadline: > 0 bytes read, 0 on
// time-out, -1 when the stream ended.
int ReadSome(TByteLink& link, int fd, uint8_t* buffer, int count, const TDeadline& deadline);
