#pragma once

#include "diag/AppEventMsg.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"

#include <QLocale>
#include <QString>

#include <cstdio>
#include <string>

// Texts the session views share: the system code page turned into what Qt
// shows, and the time stamps.
namespace ViewText {

inline QString FromSystem(const std::string& text)
{
    return QString::fromStdString(CodePage::SystemToUTF8(text));
}

// The datagram's time stamp: "2024/05/01 09.15.42".
inline QString EventTime(const TLocalDateTime& when)
{
    return QString::fromStdString(FormatEventTime(when));
}

// The same with milliseconds, for frames that follow each other within a second.
inline QString EventTimeMs(const TLocalDateTime& when)
{
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03d", when.Millisecond % 1000);
    return QString::fromStdString(FormatEventTime(when) + ms);
}

// A count with thousands separated: "67,108,864".
inline QString Count(qint64 value)
{
    QLocale locale = QLocale::c();
    locale.setNumberOptions(QLocale::DefaultNumberOptions);
    return locale.toString(value);
}

}  // namespace ViewText
