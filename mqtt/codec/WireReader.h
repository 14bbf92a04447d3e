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
        LastVbiSize = taken;
        if (taken <= 0) return false;
        Cursor += taken;
        return true;
    }
    bool TooLong() const { return LastVbiTooLong; }
    // The bytes the last integer read took (2 for 80 00, which 00 says in one).
    int VbiSize() const { return LastVbiSize; }

    // A string field, as text in the system code page (a zero byte ends it).
    bool Str(std::string& text)
    {
        int consumed = 0;
        if (!DecodeUTF8StrWithin(Cursor, Remaining(), text, consumed)) return false;
        Cursor += consumed;
        return true;
    }
    // The same, and what keeps its bytes from being a well-formed string of
    // 3.1.1 and 5.0 (Utf8Fault); the text is decoded as above all the same.
    bool Str(std::string& text, std::string& fault)
    {
        const uint8_t* field = Cursor;
        if (!Str(text)) return false;
        fault = Utf8Fault(std::string_view(reinterpret_cast<const char*>(field + 2), Cursor - field - 2));
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
    int LastVbiSize = 0;
};
