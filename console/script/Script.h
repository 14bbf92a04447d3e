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
//   client NAME                 the client the lines after it speak to (made on first use);
//                               before the first client line they speak to "main"
//   set FIELD VALUE             a field by control name or label; check boxes on/off
//   COMMAND                     a button: short word, caption, control or handler name
//   send-raw HEX                bytes exactly as given ("C0 00"); send-raw alone sends RawFrameEdit
//   send-raw-body TYPEFLAGS HEX the first byte, the remaining length computed, the body
//   sleep MS
//   expect TEXT [within MS]     a diagnostic line of the client containing TEXT (default 5000 ms)
//   expect-no TEXT [within MS]  no such line for the whole wait (default 1000 ms)
//   expect-any TEXT [within MS] a line of any client (expect-no-any likewise)
//   expect-closed [within MS]   the broker ended the client's connection (default 5000 ms)
//   expect-box TEXT             the previous command showed a box containing TEXT

enum class TStepKind { Set, Command, Sleep, Expect, ExpectNo, ExpectBox, Client, SendRaw, ExpectAny, ExpectNoAny,
                       ExpectClosed };

inline constexpr int DefaultExpectMs = 5000;
// An expect-no waits its whole time; the console's answer wait is 1000 ms, so
// a line caused by the previous command has come by then.
inline constexpr int DefaultExpectNoMs = 1000;
inline constexpr int DefaultExpectClosedMs = 5000;

struct TScriptStep {
    TStepKind Kind = TStepKind::Command;
    int Line = 0;                        // 1-based line number in the script
    std::string Text;                    // the line as written, without surrounding blanks
    std::string Client;                  // the client the step speaks to (Client: the one it makes current)
    const TScriptField* Field = nullptr; // Set
    std::string Value;                   // Set: the text of a text field
    int64_t Number = 0;                  // Set: an integer field's value (may lie outside its limits), a check box 0/1
    THandler Handler = nullptr;          // Command
    int Ms = 0;                          // Sleep, the expects
    std::string Pattern;                 // Expect, ExpectNo, ExpectAny, ExpectNoAny, ExpectBox
    std::vector<uint8_t> Bytes;          // SendRaw: the whole frame

    // Whether the step speaks to its client (expect-any and sleep speak to none).
    bool UsesClient() const
    {
        return Kind != TStepKind::Sleep && Kind != TStepKind::ExpectAny && Kind != TStepKind::ExpectNoAny;
    }
};

struct TScript {
    std::string Name;                    // for messages: the file name, "stdin", ...
    std::vector<TScriptStep> Steps;
    // The clients the steps speak to, in the order of their first use.
    std::vector<std::string> Clients;
    // A client line names a client: the lines are shown with the client they came from.
    bool NamesClients = false;
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

// The nearest of the names to what was typed (letter case aside), best first,
// at most three, none when nothing is near.
std::vector<std::string> NearestNames(std::string_view typed, const std::vector<std::string>& names);

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
