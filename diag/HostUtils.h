#pragma once

#include "platform/Clock.h"

#include <string>

// Host identity and unique names. The random parts come from the process-wide
// generator (platform/Random.h), which the program seeds with Randomize() at start.

// 17 digits: year, month, day, hour, minute, second, millisecond, zero-padded.
std::string MakeTimeStamp();
std::string FormatTimeStamp(const TLocalDateTime& when);
// prefix + time stamp + a random number 0..99999 as five digits.
std::string MakeUniqueID(const std::string& prefix);
// "qrv7m:" + a random number 0..99999 + "-" + the local host name.
// Raises Exception("GetHostName failed. stat = N").
std::string MakeDefaultClientID();
