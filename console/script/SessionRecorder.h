#pragma once

#include "console/form/FieldTable.h"
#include "console/form/Form1.h"

#include <mutex>
#include <string>
#include <vector>

// Records the session the user runs in the window as a script that
// tarnwick-cli replays: from the last "Open" on, the commands in order, each
// after "set" lines for the fields that differ from what the script has set
// so far (at first: a new form's defaults), so changes between commands are
// kept where they were made. A box a command showed becomes an expect-box line
// after it, so the replay passes where the session went the same way.
//
// The host calls OnCommand right before a handler runs, with the fields the
// handler runs with, and OnCommandDone right after it (both on the thread
// that runs the form's handlers), and OnBox for every box shown in between.
// Handlers that a script cannot name are left out: the file chooser (the path
// it chose shows up as a set line before the next command) and the ping
// timer's ticks (the replay's timer ticks by itself).
class TSessionRecorder {
public:
    TSessionRecorder();                                  // the defaults of a new form
    explicit TSessionRecorder(const TFieldValues& defaults);

    void OnCommand(const TForm1& form, THandler handler);
    void OnCommandDone(const TForm1& form);
    void OnBox(const std::string& text);

    // True until an "Open" has been recorded.
    bool Empty() const;
    // The script, in the system code page; may be read from any thread.
    std::string Script() const;

    // The settings of a form that was just made (before FormCreate).
    static TFieldValues Defaults();

private:
    mutable std::mutex Lock;
    const TFieldValues DefaultValues;
    TFieldValues Written;                // what the script's lines have set so far
    std::vector<std::string> Lines;
    bool Recording = false;
    bool InCommand = false;              // between OnCommand and OnCommandDone of a recorded handler
};
