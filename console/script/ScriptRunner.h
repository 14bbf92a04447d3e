#pragma once

#include "console/form/Form1.h"
#include "console/script/Script.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// What the runner says besides the diagnostic lines (which the host takes from
// TForm1::Events itself). Text is ready to show, in the system code page.
struct TScriptMessage {
    enum TKind {
        Note,      // something the script asked for was changed or skipped (a clamped value, a disabled button)
        Box,       // a box a command showed: "box [title] text"
        Failure,   // why the run stops: "name:line: text: reason"
    };
    TKind Kind = Note;
    int Line = 0;              // the script line it belongs to; 0 for none
    std::string Text;
};

enum class TScriptStatus { Passed, Failed, Cancelled };

struct TScriptResult {
    TScriptStatus Status = TScriptStatus::Passed;
    int Line = 0;              // the line that failed or was cancelled
    std::string Reason;        // the failure message's text
    int StepsRun = 0;
};

// Runs a parsed script against a form, on the thread that owns the form (the
// CLI's main thread, the window's command thread), one step after the other.
//
// - Diagnostic lines: the runner watches form.Events from its construction on.
//   Each expect searches the lines after the one the previous expect matched
//   (at first: all since construction), so the lines a command sent while it
//   ran count, and successive expects check order.
// - Boxes: the host's TFrontEnd hands every box to BoxShown() while Run()
//   runs. A box counts as a failure unless the lines right after the command
//   are expect-box lines that match it; an expect-box without a matching box
//   fails too.
// - Ping timer: the runner keeps the form's ping timer (as the form last set it:
//   PingTimerEnabled, PingTimerInterval) and runs PingTimerTick during sleeps
//   and expects, and at most one late tick after a step, as the window's timer
//   would. A host whose own timer keeps running turns DrivePingTimer off.
// - The run stops at the first failure. The runner never writes to stdout and
//   never ends the process: it reports through Output and returns the result.
class TScriptRunner {
public:
    using TOutput = std::function<void(const TScriptMessage&)>;

    TScriptRunner(TForm1& form, TOutput output);
    ~TScriptRunner();
    TScriptRunner(const TScriptRunner&) = delete;
    TScriptRunner& operator=(const TScriptRunner&) = delete;

    bool DrivePingTimer = true;
    // Called on the running thread after every step that ran (the window
    // re-reads the fields a set line or a command changed).
    std::function<void(const TScriptStep&)> OnStepDone;

    TScriptResult Run(const TScript& script);

    // A box the form asked its front end for (an error box or a message box of
    // either kind: all count alike). Any thread.
    void BoxShown(const std::string& title, const std::string& text);
    // Ends the run before its next step, and ends a sleep or expect at once.
    // Any thread. (A command's own wait for the broker ends as the form decides.)
    void Cancel();

private:
    using TClock = std::chrono::steady_clock;
    enum class TWaitEnd { Found, TimedOut, Cancelled };
    struct TBox {
        std::string Text;
        int Step;                        // the step during which it was shown; -1 before the first
    };

    void OnEvents(const TEventRecord* records, std::size_t count);
    // Waits up to ms for found() (called with Lock held) while running ping
    // ticks. Lines wake it only when wakeOnLines, and then, with a pattern,
    // only a line that holds the pattern.
    template <class TFound>
    TWaitEnd Wait(int ms, TFound found, const std::string* pattern = nullptr, bool wakeOnLines = true);
    void FollowPingTimer();
    void RunDueTick();
    // False with the reason when the step failed (or was cancelled: see Stopped()).
    bool RunStep(const TScriptStep& step, std::string& reason);
    bool ExpectLine(const TScriptStep& step, std::string& reason);
    bool ExpectNoLine(const TScriptStep& step, std::string& reason);
    void Note(const TScriptStep& step, const std::string& what);
    void Say(TScriptMessage::TKind kind, int line, const std::string& text);
    bool Stopped() const { return Cancelled.load(); }

    TForm1& Form;
    TOutput Output;
    int ObserverHandle = 0;
    std::atomic<const TScript*> Current{nullptr};
    std::atomic<int> CurrentStep{-1};

    std::mutex Lock;
    std::condition_variable Changed;
    // The lines from the last expect's match on; Lines[0] is line number Base.
    std::deque<std::string> Lines;
    uint64_t Base = 0;
    uint64_t Cursor = 0;
    std::vector<TBox> Boxes;             // shown and not yet matched by expect-box
    const std::string* WakePattern = nullptr;   // set while a wait runs (see Wait)
    bool WakeOnLines = true;
    std::atomic<bool> Cancelled{false};

    bool TimerOn = false;
    int TimerInterval = 0;
    TClock::time_point TickDue{};
};
