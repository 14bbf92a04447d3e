#pragma once

#include <string>
#include <string_view>

// Reading event-message datagrams back: the log listener's parser and line
// formatter. A datagram is seven fields joined by ":"; only the message (the
// seventh) may hold colons, so it is split at the first six colons only.

struct TEventLine {
    std::string TimeStamp, RandomNumber, HostName, Source, Number1, Number2, Message;
};

// False (and the line untouched) when the datagram has fewer than six colons.
bool ParseEventLine(std::string_view datagram, TEventLine& line);

enum class TEventSeverity { Normal, Error, Exception };
// "*EXCEPTIN*" marks a failure caught in a client thread, "*ERROR*" any other failure.
TEventSeverity ClassifyEventMessage(std::string_view message);

// Control characters (C0, DEL and, in UTF-8 text, C1) written as \xNN or \u00NN,
// so that a datagram can neither break the one-line-per-datagram output nor
// drive the terminal.
std::string EscapeControls(std::string_view text, bool utf8);

struct TEventLineFormat {
    bool AllFields = false;   // also the random number, host name and the two numbers
    bool Colour = false;      // ANSI colour for failure lines
    bool UTF8 = true;         // the text is UTF-8 (for escaping C1 controls)
};

// One printable line, without a line end, from a datagram already in the
// terminal's encoding:
//   "2024/05/01 09.15.42 MQTT_Unit: sending CONNECT [dev1]"
//   "2024/05/01 09.15.42 48213 devhost MQTT_Unit 0 0: sending CONNECT [dev1]"  (AllFields)
// A datagram that is not an event message is shown whole after "[malformed] ".
std::string FormatEventLine(std::string_view datagram, const TEventLineFormat& format);
