#pragma once

#include <cstdint>
#include <string>

#include "mqtt/codec/WirePrimitives.h"

// A cursor over the bytes of one received frame. Every read checks that the
// whole field lies before the end first: on false nothing was read and the
// cursor has not moved, so a decoder can stop there and keep what it has.
class TWireReader {
public:
    TWireReader(const uint8_t* begin, const uint8_t* end) : Cursor(begin), End(end < begin ? begin : end) {}

    int64_t Remaining() const { return End - Cursor; }
    bool AtEnd() const { return Cursor == End; }
    const uint8_t* Position() const { return Cursor; }
    const uint8_t* EndPosition() const { return End; }

    bool Byte(uint8_t& value)
    {
        if (Remaining() < 1) return false;
        value = *Cursor++;
        return true;
    }

    bool U16(uint32_t& value)
    {
        if (Remaining() < 2) return false;
        value = static_cast<uint32_t>(ReadU16BE(Cursor));
        Cursor += 2;
        return true;
    }

    bool U32(uint32_t& value)
    {
        if (Remaining() < 4) return false;
        value = (uint32_t{Cursor[0]} << 24) | (uint32_t{Cursor[1]} << 16) | (uint32_t{Cursor[2]} << 8) | Cursor[3];
        Cursor += 4;
        return true;
    }

    // False also for a fourth byte with the continuation bit: TooLong() then tells the two apart.
    bool Vbi(uint32_t& value)
    {
        const int taken = DecodeVariableByteInteger(Cursor, Remaining(), value);
        LastVbiTooLong = taken < 0;
        if (taken <= 0) return false;
        Cursor += taken;
        return true;
    }
    bool TooLong() const { return LastVbiTooLong; }

    // A string field, as text in the system code page (a zero byte ends it).
    bool Str(std::string& text)
    {
        int consumed = 0;
        if (!DecodeUTF8StrWithin(Cursor, Remaining(), text, consumed)) return false;
        Cursor += consumed;
        return true;
    }

    // Binary data: a 16-bit count and that many bytes, taken unchanged.
    bool Binary(std::string& bytes)
    {
        if (Remaining() < 2) return false;
        const int n = ReadU16BE(Cursor);
        if (Remaining() - 2 < n) return false;
        bytes.assign(reinterpret_cast<const char*>(Cursor + 2), static_cast<size_t>(n));
        Cursor += 2 + n;
        return true;
    }

    bool Skip(int64_t count)
    {
        if (count < 0 || Remaining() < count) return false;
        Cursor += count;
        return true;
    }

    void SkipToEnd() { Cursor = End; }

private:
    const uint8_t* Cursor;
    const uint8_t* End;
    bool LastVbiTooLong = false;
};
