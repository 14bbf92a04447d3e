#pragma once

// The local wall clock, read once per call so that date and time always belong
// to the same instant.
struct TLocalDateTime {
    int Year, Month, Day, Hour, Minute, Second, Millisecond;
};

TLocalDateTime NowLocal();
