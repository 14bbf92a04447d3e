#pragma once

#include "console/form/Form1.h"
#include "console/script/ScriptFields.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A session script: one step per line. Blank lines and lines whose first
// non-blank character is "#" are skipped; keywords, commands and field names
// are case-insensitive; a value runs to the end of the line, and one pair of
// double quotes around it is taken off. Texts are in the system code page.
//
//   set FIELD VALUE            a field by control name or label; check boxes on/off
//   COMMAND                    a button: short word, caption, control or handler name
//   sleep MS
//   expect TEXT [within MS]    a diagnostic line containing TEXT (default 5000 ms)
//   expect-no TEXT [within MS] no such line for the whole wait (default 1000 ms)
//   expect-box TEXT            the previous command showed a box containing TEXT

enum class TStepKind { Set, Command, Sleep, Expect, ExpectNo, ExpectBox };

inline constexpr int DefaultExpectMs = 5000;
// An expect-no waits its whole time; the console's answer wait is 1000 ms, so
// a line caused by the previous command has come by then.
inline constexpr int DefaultExpectNoMs = 1000;

struct TScriptStep {
    TStepKind Kind = TStepKind::Command;
    int Line = 0;                        // 1-based line number in the script
    std::string Text;                    // the line as written, without surrounding blanks
    const TScriptField* Field = nullptr; // Set
    std::string Value;                   // Set: the text of a text field
    int64_t Number = 0;                  // Set: an integer field's value (may lie outside its limits), a check box 0/1
    THandler Handler = nullptr;          // Command
    int Ms = 0;                          // Sleep, Expect, ExpectNo
    std::string Pattern;                 // Expect, ExpectNo, ExpectBox
};

struct TScript {
    std::string Name;                    // for messages: the file name, "stdin", ...
    std::vector<TScriptStep> Steps;
};

struct TScriptError {
    int Line = 0;
    std::string Text;                    // the line as written
    std::string Reason;
};

// Parses the whole text. Returns every error found (then script.Steps is left
// empty); no error means the script can run. The form gives the labels and the
// command captions; nothing is sent or changed.
std::vector<TScriptError> ParseScript(std::string_view text, const TForm1& form, TScript& script);

// The commands a script can name, with the short word a recorded script uses.
struct TScriptCommand {
    const char* Word;                    // "open", "publish-file", ...
    const char* Control;                 // "ConnectBtn", "Button7", ...
    THandler Handler;
};
const std::vector<TScriptCommand>& ScriptCommands();
// The command of a handler, or nullptr when a script cannot name it.
const TScriptCommand* ScriptCommandOf(THandler handler);

// "name:line: text: reason", the form every message about a line takes.
std::string LineMessage(const std::string& name, int line, const std::string& text, const std::string& reason);
