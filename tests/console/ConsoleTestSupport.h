#pragma once

#include "console/form/Form1.h"
#include "console/form/FrontEnd.h"
#include "diag/AppEventMsg.h"
#include "platform/CodePage.h"
#include "support/UdpCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// A front end that records what the form asks of the window.
class TFakeFrontEnd : public TFrontEnd {
public:
    struct TBox {
        std::string Title, Text;
        bool Warning;
    };
    struct TChoice {
        std::string InitialDir, InitialFile;
    };
    std::vector<std::string> Errors;
    std::vector<TBox> Boxes;
    std::vector<std::pair<bool, int>> TimerCalls;
    std::vector<TChoice> Choices;
    std::vector<std::pair<std::string, std::string>> FieldErrors;   // control name, reason
    int ControlsChangedCount = 0;
    // What ChooseFile answers: false = the user cancelled.
    bool ChooseAnswer = false;
    std::string ChoosePath;
    // Runs while a message box is "open", to look at the form at that moment.
    std::function<void()> WhileBoxOpen;

    void ShowError(const std::string& text) override { Errors.push_back(text); }
    void ShowMessageBox(const std::string& title, const std::string& text, bool warning) override
    {
        Boxes.push_back({title, text, warning});
        if (WhileBoxOpen)
            WhileBoxOpen();
    }
    bool ChooseFile(const std::string& initialDir, const std::string& initialFile, std::string& chosenPath) override
    {
        Choices.push_back({initialDir, initialFile});
        if (ChooseAnswer)
            chosenPath = ChoosePath;
        return ChooseAnswer;
    }
    void SetPingTimer(bool enabled, int intervalMs) override { TimerCalls.emplace_back(enabled, intervalMs); }
    void ControlsChanged() override { ++ControlsChangedCount; }
    void ShowFieldError(const std::string& controlName, const std::string& reason) override
    {
        FieldErrors.emplace_back(controlName, reason);
    }
};

inline std::string U8(std::string_view utf8)
{
    return CodePage::FromUTF8Literal(utf8);
}

// One diagnostic line: source name and message.
using TLine = std::pair<std::string, std::string>;

inline std::vector<TLine> LinesOf(const UdpCapture& capture)
{
    std::vector<TLine> lines;
    for (const std::string& d : capture.Datagrams())
        lines.emplace_back(UdpCapture::Field(d, 4), UdpCapture::Field(d, 7));
    return lines;
}

inline std::string Describe(const std::vector<TLine>& lines)
{
    std::string text;
    for (const auto& [source, message] : lines)
        text += "  " + source + " | " + message + "\n";
    return text;
}

// The expected lines occur in this order (other lines, e.g. the engine's, may lie between).
inline ::testing::AssertionResult HasLinesInOrder(const std::vector<TLine>& lines, const std::vector<TLine>& expected)
{
    std::size_t next = 0;
    for (const TLine& line : lines) {
        if (next < expected.size() && line == expected[next])
            ++next;
    }
    if (next == expected.size())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "missing from position " << next << ": " << expected[next].first << " | "
                                         << expected[next].second << "\nlines were:\n"
                                         << Describe(lines);
}

// Only the lines with one of the console's messages, to compare whole sequences.
inline std::vector<TLine> ConsoleLines(const std::vector<TLine>& lines, const std::vector<std::string>& prefixes)
{
    std::vector<TLine> kept;
    for (const TLine& line : lines)
        for (const std::string& prefix : prefixes)
            if (line.second.rfind(prefix, 0) == 0) {
                kept.push_back(line);
                break;
            }
    return kept;
}

inline const std::string Console = "Tarnwick";
inline const std::string Unit = "MQTT_Unit";

inline std::string Tag(const std::string& text, const std::string& clientID)
{
    return text + " [" + clientID + "]";
}

// Sends a marker line through the form's sink and waits for it. Every
// line sent before it on this thread has arrived then; lines of other threads
// fall on one side of it or the other. Returns the number of lines up to and
// including the marker.
inline std::size_t SyncMarker(UdpCapture& capture, TEventSink& sink)
{
    static int counter = 0;
    const std::string marker = "marker " + std::to_string(++counter);
    sink.SendEventMsg(marker, "test", 0, 0);
    if (!capture.WaitForMessage(marker, 5000)) {
        ADD_FAILURE() << "the marker line did not arrive";
        return capture.Count();
    }
    const std::vector<std::string> messages = capture.Messages();
    return static_cast<std::size_t>(std::find(messages.begin(), messages.end(), marker) - messages.begin()) + 1;
}

// Runs something and returns the lines between a marker before and one after it.
template <class TAction>
std::vector<TLine> LinesDuring(UdpCapture& capture, TEventSink& sink, TAction action)
{
    const std::size_t begin = SyncMarker(capture, sink);
    action();
    const std::size_t end = SyncMarker(capture, sink) - 1;
    const std::vector<TLine> all = LinesOf(capture);
    return std::vector<TLine>(all.begin() + std::ptrdiff_t(begin), all.begin() + std::ptrdiff_t(end));
}
