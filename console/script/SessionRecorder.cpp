#include "console/script/SessionRecorder.h"

#include "console/script/Script.h"
#include "console/script/ScriptFields.h"

namespace {

bool ChangesOnly(THandler handler)
{
    for (const TScriptField& field : ScriptFields())
        if (field.OnChange == handler)
            return true;
    return false;
}

}  // namespace

TSessionRecorder::TSessionRecorder() : TSessionRecorder(Defaults()) {}

TSessionRecorder::TSessionRecorder(const TFieldValues& defaults) : DefaultValues(defaults), Written(defaults) {}

TFieldValues TSessionRecorder::Defaults()
{
    TSilentFrontEnd frontEnd;
    const TForm1 form(frontEnd);
    return CaptureFields(form);
}

void TSessionRecorder::OnCommand(const TForm1& form, THandler handler)
{
    const TScriptCommand* command = ScriptCommandOf(handler);
    std::lock_guard guard(Lock);
    InCommand = false;
    if (handler == &TForm1::ConnectBtnClick) {
        // A new session: what came before it is not part of the script.
        Lines.clear();
        Written = DefaultValues;
        Recording = true;
    }
    if (!Recording || (command == nullptr && !ChangesOnly(handler)))
        return;
    const TFieldValues now = CaptureFields(form);
    const TFieldMask changed = DiffFields(now, Written);
    for (const TScriptField& field : ScriptFields())
        if (changed & field.Bit)
            Lines.push_back("set " + field.Name + " " + field.ScriptValue(form));
    Written = now;
    if (command != nullptr)
        Lines.push_back(command->Word);
    InCommand = true;
}

void TSessionRecorder::OnCommandDone(const TForm1& form)
{
    std::lock_guard guard(Lock);
    // What the command itself changed (Close clears PingTimerChk) the replay's
    // form changes too: no set line for it.
    if (InCommand)
        Written = CaptureFields(form);
    InCommand = false;
}

void TSessionRecorder::OnBox(const std::string& text)
{
    std::lock_guard guard(Lock);
    if (!InCommand)
        return;
    const std::string firstLine = text.substr(0, text.find_first_of("\r\n"));
    if (!firstLine.empty())
        Lines.push_back("expect-box \"" + firstLine + "\"");
}

bool TSessionRecorder::Empty() const
{
    std::lock_guard guard(Lock);
    return !Recording;
}

std::string TSessionRecorder::Script() const
{
    std::lock_guard guard(Lock);
    std::string text = "# Tarnwick session script. Replay: tarnwick-cli FILE\n";
    for (const std::string& line : Lines)
        text += line + "\n";
    return text;
}
