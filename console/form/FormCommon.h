#pragma once

#include "diag/EventSources.h"
#include "mqtt/codec/MessageTypes.h"
#include "platform/CodePage.h"

#include <string>

// Pieces shared by the command groups of TForm1.
namespace FormCommon {

// Unrelated frames restart an answer wait, but never beyond this many of its time-outs in all.
inline constexpr int AnswerWaitLimitFactor = 10;
// How often an answer wait looks whether its request is still leaving.
inline constexpr int LeavingLookMs = 100;
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
