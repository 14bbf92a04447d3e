#include "console/script/ScriptFields.h"

namespace {

char Fold(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
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
    for (std::size_t i = 0; i < CheckFields.size(); ++i) {
        TScriptField field{TScriptFieldKind::Check, CheckFields[i].Name};
        field.Check = CheckFields[i].Member;
        field.Bit = CheckBit(i);
        fields.push_back(field);
    }
    for (std::size_t i = 0; i < ChoiceFields.size(); ++i) {
        TScriptField field{TScriptFieldKind::Choice, ChoiceFields[i].Name};
        field.Choice = ChoiceFields[i].Member;
        field.Bit = ChoiceBit(i);
        fields.push_back(field);
    }
    // What the window runs after the user changed the control, and its enable flag.
    for (TScriptField& field : fields) {
        const TControlInfo& row = *FindControl(field.Name);
        field.CheckLabel = row.CheckLabel;
        field.OnChange = row.Handler;
        field.Enabled = row.Gate;
        field.Packet = row.Packet;
    }
    return fields;
}

}  // namespace

const std::string& TScriptField::Label(const TForm1& form) const
{
    switch (Kind) {
    case TScriptFieldKind::Text: return (form.*Text).Label;
    case TScriptFieldKind::Int: return (form.*Int).Label;
    case TScriptFieldKind::Choice: return (form.*Choice).Label;
    case TScriptFieldKind::Check: break;
    }
    return form.*CheckLabel;
}

std::string TScriptField::ScriptValue(const TForm1& form) const
{
    switch (Kind) {
    case TScriptFieldKind::Text: {
        std::string text = (form.*Text).Text;
        if (Packet != TPacketKind{}) {
            // Entries end at a line break or at ";" alike.
            std::erase(text, '\r');
            for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
                text.replace(at, 1, "; ");
        } else {
            // A list of lines (the WebSocket header lines) reads "\n" as a line break.
            for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2))
                text.replace(at, 1, "\\n");
        }
        return "\"" + text + "\"";
    }
    case TScriptFieldKind::Int: return std::to_string((form.*Int).Value());
    case TScriptFieldKind::Choice: return "\"" + (form.*Choice).Text() + "\"";
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
