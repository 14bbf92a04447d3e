#include "console/script/ScriptFields.h"

namespace {

char Fold(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The handlers the window runs when the user changes one of these controls.
struct TChangeHandler {
    const char* Name;
    THandler Handler;
};
const TChangeHandler ChangeHandlers[] = {
    {"PingReqIntervalSpn", &TForm1::PingReqIntervalSpnChange},
    {"ReportPauseSpn", &TForm1::ReportPauseSpnChange},
    {"PingTimerChk", &TForm1::PingTimerChkClick},
};

THandler ChangeHandlerOf(const std::string& name)
{
    for (const TChangeHandler& entry : ChangeHandlers)
        if (name == entry.Name)
            return entry.Handler;
    return nullptr;
}

std::vector<TScriptField> MakeFields()
{
    std::vector<TScriptField> fields;
    for (std::size_t i = 0; i < TextFields.size(); ++i) {
        TScriptField field{TScriptFieldKind::Text, TextFields[i].Name};
        field.Text = TextFields[i].Member;
        field.Bit = TextBit(i);
        fields.push_back(field);
    }
    for (std::size_t i = 0; i < IntFields.size(); ++i) {
        TScriptField field{TScriptFieldKind::Int, IntFields[i].Name};
        field.Int = IntFields[i].Member;
        field.Bit = IntBit(i);
        fields.push_back(field);
    }
    TScriptField retain{TScriptFieldKind::Check, "PublishRetainChk"};
    retain.Check = &TForm1::PublishRetainChk;
    retain.CheckLabel = &TForm1::PublishRetainChkLabel;
    retain.Bit = TFieldMask{1} << RetainBit;
    fields.push_back(retain);
    TScriptField ping{TScriptFieldKind::Check, "PingTimerChk"};
    ping.Check = &TForm1::PingTimerChk;
    ping.CheckLabel = &TForm1::PingTimerChkLabel;
    ping.Enabled = &TForm1::PingTimerChkEnabled;
    ping.Bit = TFieldMask{1} << PingTimerChkBit;
    fields.push_back(ping);
    for (TScriptField& field : fields)
        field.OnChange = ChangeHandlerOf(field.Name);
    return fields;
}

}  // namespace

const std::string& TScriptField::Label(const TForm1& form) const
{
    switch (Kind) {
    case TScriptFieldKind::Text: return (form.*Text).Label;
    case TScriptFieldKind::Int: return (form.*Int).Label;
    case TScriptFieldKind::Check: break;
    }
    return form.*CheckLabel;
}

std::string TScriptField::ScriptValue(const TForm1& form) const
{
    switch (Kind) {
    case TScriptFieldKind::Text: return "\"" + (form.*Text).Text + "\"";
    case TScriptFieldKind::Int: return std::to_string((form.*Int).Value());
    case TScriptFieldKind::Check: break;
    }
    return form.*Check ? "on" : "off";
}

const std::vector<TScriptField>& ScriptFields()
{
    static const std::vector<TScriptField> fields = MakeFields();
    return fields;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (Fold(text[i]) != Fold(prefix[i]))
            return false;
    return true;
}
