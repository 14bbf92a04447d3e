#include "diag/EventLine.h"

#include <array>
#include <cstdio>

bool ParseEventLine(std::string_view datagram, TEventLine& line)
{
    std::array<std::string_view, 7> fields;
    std::size_t start = 0;
    for (int i = 0; i < 6; ++i) {
        const std::size_t colon = datagram.find(':', start);
        if (colon == std::string_view::npos)
            return false;
        fields[i] = datagram.substr(start, colon - start);
        start = colon + 1;
    }
    fields[6] = datagram.substr(start);
    line.TimeStamp = fields[0];
    line.RandomNumber = fields[1];
    line.HostName = fields[2];
    line.Source = fields[3];
    line.Number1 = fields[4];
    line.Number2 = fields[5];
    line.Message = fields[6];
    return true;
}

TEventSeverity ClassifyEventMessage(std::string_view message)
{
    if (message.find("*EXCEPTIN*") != std::string_view::npos)
        return TEventSeverity::Exception;
    if (message.find("*ERROR*") != std::string_view::npos)
        return TEventSeverity::Error;
    return TEventSeverity::Normal;
}

std::string EscapeControls(std::string_view text, bool utf8)
{
    std::string out;
    out.reserve(text.size());
    char escape[16];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        } else if (utf8 && byte == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080..U+009F: C1 controls, which some terminals act on (CSI is U+009B).
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned char>(text[i + 1]));
            out += escape;
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

std::string FormatEventLine(std::string_view datagram, const TEventLineFormat& format)
{
    TEventLine line;
    std::string text;
    TEventSeverity severity;
    if (ParseEventLine(datagram, line)) {
        text = line.TimeStamp + " ";
        if (format.AllFields)
            text += line.RandomNumber + " " + line.HostName + " " + line.Source + " " + line.Number1 + " " +
                    line.Number2;
        else
            text += line.Source;
        text += ": " + line.Message;
        severity = ClassifyEventMessage(line.Message);
    } else {
        text = "[malformed] ";
        text += datagram;
        severity = ClassifyEventMessage(datagram);
    }
    text = EscapeControls(text, format.UTF8);
    if (!format.Colour || severity == TEventSeverity::Normal)
        return text;
    const char* colour = severity == TEventSeverity::Exception ? "\x1b[1;35m" : "\x1b[1;31m";
    return colour + text + "\x1b[0m";
}
