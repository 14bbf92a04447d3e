#pragma once

#include "diag/AppEventMsg.h"
#include "platform/CodePage.h"

#include <string>

// Pieces shared by the command groups of TForm1.
namespace FormCommon {

inline constexpr const char* SourceConsole = "Tarnwick";
inline constexpr const char* SourceUnit = "MQTT_Unit";

// Message types of the answers the commands wait for.
inline constexpr int MsgCONNACK = 2;
inline constexpr int MsgPUBLISH = 3;
inline constexpr int MsgPUBACK = 4;
inline constexpr int MsgPUBREC = 5;
inline constexpr int MsgPUBCOMP = 7;
inline constexpr int MsgSUBACK = 9;
inline constexpr int MsgUNSUBACK = 11;
inline constexpr int MsgPINGRESP = 13;

// The pause after a reported answer, so the listener keeps the lines in order.
inline constexpr int LinePauseMs = 10;
// Unrelated frames restart an answer wait, but never beyond this many of its time-outs in all.
inline constexpr int AnswerWaitLimitFactor = 10;
// Frames a request may send: the first, and a repeat after each of the first two time-outs.
inline constexpr int MaxTimeouts = 2;

// The lines of one request with repeats; each gets " [" + client identifier + "]".
struct TRequestTexts {
    const char* BuildFailed;
    const char* Sending;
    const char* Retrying;
    const char* GaveUp;
    const char* Received;
};

// One diagnostic line; the console always passes 0 and 0.
inline void Log(const std::string& message, const char* source)
{
    SendEventMsg(message, source, 0, 0);
}

// "<text> [<client identifier>]"
inline std::string Tagged(const char* text, const std::string& clientID)
{
    return std::string(text) + " [" + clientID + "]";
}

inline std::string Sys(std::string_view utf8)
{
    return CodePage::FromUTF8Literal(utf8);
}

}  // namespace FormCommon
