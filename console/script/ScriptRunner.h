#pragma once

#include "console/form/Form1.h"
#include "console/script/Script.h"
#include "console/session/Session.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the runner says besides the diagnostic lines (which the host takes from
// the session or TForm1::Events itself). Text is ready to show, in the system code page.
struct TScriptMessage {
    enum TKind {
        Note,      // something the script asked for was changed or skipped, or what an expect-closed saw
        Box,       // a box a command showed: "box [title] text"
        Failure,   // why the run stops: "name:line: text: reason"
    };
    TKind Kind = Note;
    int Line = 0;              // the script line it belongs to; 0 for none
    std::string Text;
    std::string Client;        // the client it is about; empty for none
};

enum class TScriptStatus { Passed, Failed, Cancelled };

struct TScriptResult {
    TScriptStatus Status = TScriptStatus::Passed;
    int Line = 0;              // the line that failed or was cancelled
    std::string Reason;        // the failure message's text
    int StepsRun = 0;
};

// Runs a parsed script, on the thread that drives the clients (the CLI's main
// thread, the window's command thread), one step after the other.
//
// - Clients: over a session, each client the script names is the session's
//   client of that name, made on first use. Over one form (the window's), the
//   script speaks to that form whatever it calls it, and a script that names
//   two or more clients is refused before anything runs.
// - Diagnostic lines: the runner watches each client's lines from its making
//   (one form: from the runner's construction) and keeps only lines an expect
//   still to come can match. Each expect searches the client's lines after the
//   one its previous expect matched, so the lines a command sent while it ran
//   count, and successive expects check order; expect-any does the same over
//   the lines of every client.
// - Boxes: the host hands every box to BoxShown() while Run() runs (over a
//   session: from TSessionOptions::OnBox). A box counts as a failure unless
//   the lines right after the command are expect-box lines that match it; an
//   expect-box without a matching box fails too.
// - Ping timers: the session ticks the clients' ping timers during sleeps and
//   expects, and at most one late tick after a step, as the window's timer
//   would. A host whose own timer keeps running turns DrivePingTimer off.
// - The run stops at the first failure. The runner never writes to stdout and
//   never ends the process: it reports through Output and returns the result.
class TScriptRunner {
public:
    using TOutput = std::function<void(const TScriptMessage&)>;

    TScriptRunner(TSession& session, TOutput output);
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
    // A frame could not be built from a field: said as a note with the field's reason.
    void FieldError(const std::string& client, const TSessionFieldError& error);
    // Ends the run before its next step, and ends a sleep or expect at once;
    // the running command's wait for the broker ends as TForm1::CancelWait says
    // (an Open stops connecting). Any thread.
    void Cancel();

private:
    struct TBox {
        std::string Text;
        int Step;                        // the step during which it was shown; -1 before the first
    };

    // The client a step speaks to, made on first use.
    TSessionClient& ClientOf(const TScriptStep& step);
    const std::string& NameOf(const TScriptStep& step) const;
    TLineWatch& WatchOf(const std::string& client);
    // Keeps the lines the script's expects can match, each watch from its making.
    void PrepareWatches(const TScript& script);
    void ReleasePattern(const TScriptStep& step);
    // False with the reason when the step failed (or was cancelled: see Stopped()).
    bool RunStep(const TScriptStep& step, std::string& reason);
    bool RunSet(const TScriptStep& step, TForm1& form);
    bool ExpectLine(const TScriptStep& step, std::string& reason);
    bool ExpectNoLine(const TScriptStep& step, std::string& reason);
    bool ExpectClosed(const TScriptStep& step, std::string& reason);
    void Note(const TScriptStep& step, const std::string& what);
    void Say(TScriptMessage::TKind kind, int line, const std::string& text, const std::string& client = {});
    bool Stopped() const { return Cancelled.load(); }

    std::unique_ptr<TSession> OwnSession;    // over one form
    TSession& Session;
    TSessionClient* Single = nullptr;        // the one form's client
    TOutput Output;
    std::map<std::string, std::unique_ptr<TLineWatch>, std::less<>> Watches;
    std::unique_ptr<TLineWatch> EveryLine;
    std::atomic<const TScript*> Current{nullptr};
    std::atomic<int> CurrentStep{-1};

    std::mutex Lock;
    std::vector<TBox> Boxes;             // shown and not yet matched by expect-box
    std::atomic<bool> Cancelled{false};
};
