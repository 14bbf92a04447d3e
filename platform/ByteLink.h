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

// Waits for the event on fd until the deadline or until the cancel handle
// (-1: none) turns readable: 0, -ETIMEDOUT or -ECANCELED.
int AwaitEvent(int fd, short events, const TDeadline& deadline, int cancel);

// For the exchanges of Open, which wait on the descriptor under one deadline
// and end at once when the cancel handle (-1: none) turns readable.
// 0 when all went, -ETIMEDOUT or -ECANCELED.
int WriteAll(TByteLink& link, int fd, const uint8_t* data, int count, const TDeadline& deadline, int cancel);
// At least one byte: > 0 bytes read, -ETIMEDOUT, -ECANCELED, or -ECONNRESET
// when the stream ended.
int ReadSome(TByteLink& link, int fd, uint8_t* buffer, int count, const TDeadline& deadline, int cancel);
