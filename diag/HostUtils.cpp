#include "diag/HostUtils.h"

#include "platform/Error.h"
#include "platform/HostName.h"
#include "platform/Random.h"

#include <cstdio>

std::string FormatTimeStamp(const TLocalDateTime& when)
{
    char text[64];
    std::snprintf(text, sizeof text, "%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d%3.3d", when.Year, when.Month, when.Day,
                  when.Hour, when.Minute, when.Second, when.Millisecond);
    return text;
}

std::string MakeTimeStamp()
{
    // One reading of the clock: a date and a time read separately can straddle
    // midnight and stamp the wrong day.
    return FormatTimeStamp(NowLocal());
}

std::string MakeUniqueID(const std::string& prefix)
{
    const std::string stamp = MakeTimeStamp();
    char number[16];
    std::snprintf(number, sizeof number, "%5.5d", Random(100000));
    return prefix + stamp + number;
}

std::string MakeDefaultClientID()
{
    std::string hostName;
    if (const int error = LookupHostName(hostName); error != 0)
        throw Exception("GetHostName failed. stat = " + std::to_string(error));
    return "qrv7m:" + std::to_string(Random(100000)) + "-" + hostName;
}
