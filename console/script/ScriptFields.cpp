#include "console/script/ScriptFields.h"

#include <algorithm>

namespace {

// One loop over the field table: each settable control with its kind, its bit
// and what the window runs after a change; listed in the order of the bits.
std::vector<TScriptField> MakeFields()
{
    std::vector<TScriptField> fields;
    for (const TControlInfo& row : Controls) {
        TScriptField field{TScriptFieldKind::Text, row.Name};
        if (row.Text) {
            field.Text = row.Text;
            field.Bit = TextBit(FieldIndex(TextFields, row.Name));
        } else if (row.Int) {
            field.Kind = TScriptFieldKind::Int;
            field.Int = row.Int;
            field.Bit = IntBit(FieldIndex(IntFields, row.Name));
        } else if (row.Check) {
            field.Kind = TScriptFieldKind::Check;
            field.Check = row.Check;
            field.Bit = CheckBit(FieldIndex(CheckFields, row.Name));
        } else if (row.Choice) {
            field.Kind = TScriptFieldKind::Choice;
            field.Choice = row.Choice;
            field.Bit = ChoiceBit(FieldIndex(ChoiceFields, row.Name));
        } else {
            continue;   // a button
        }
        field.CheckLabel = row.CheckLabel;
        field.OnChange = row.Handler;
        field.Enabled = row.Gate;
        field.Packet = row.Packet;
        fields.push_back(field);
    }
    std::sort(fields.begin(), fields.end(), [](const TScriptField& a, const TScriptField& b) { return a.Bit < b.Bit; });
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
