#include "console/script/ScriptFields.h"

#include <algorithm>

namespace {

// One loop over the field table: each settable control with its kind, its bit
// and what the window runs after a change; listed in the order of the bits.
std::vector<TScriptField> MakeFields()
{
    static_assert(static_cast<int>(TControlKind::Text) == static_cast<int>(TScriptFieldKind::Text) &&
                  static_cast<int>(TControlKind::Int) == static_cast<int>(TScriptFieldKind::Int) &&
                  static_cast<int>(TControlKind::Check) == static_cast<int>(TScriptFieldKind::Check) &&
                  static_cast<int>(TControlKind::Choice) == static_cast<int>(TScriptFieldKind::Choice));
    std::vector<TScriptField> fields;
    for (const TControlInfo& row : Controls) {
        if (row.Kind == TControlKind::Button)
            continue;
        fields.push_back({.Kind = static_cast<TScriptFieldKind>(row.Kind),
                          .Name = row.Name,
                          .Text = row.Text,
                          .Int = row.Int,
                          .Check = row.Check,
                          .CheckLabel = row.CheckLabel,
                          .Choice = row.Choice,
                          .OnChange = row.Handler,
                          .Enabled = row.Gate,
                          .Bit = FieldBit(row.Name),
                          .Packet = row.Packet});
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
