#include "console/script/Script.h"

#include "mqtt/codec/AsciiText.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace {

// One pair of surrounding double quotes comes off, so a value can keep its
// blanks or be empty.
std::string_view Unquote(std::string_view text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        return text.substr(1, text.size() - 2);
    return text;
}

bool ParseInteger(std::string_view text, int64_t& value)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

// A time in milliseconds: a whole number from 0 up.
bool ParseMs(std::string_view text, int& ms)
{
    int64_t value = 0;
    if (!ParseInteger(text, value) || value < 0 || value > std::numeric_limits<int>::max())
        return false;
    ms = static_cast<int>(value);
    return true;
}

class TParser {
public:
    TParser(const TForm1& form, TScript& script) : Form(form), Script(script)
    {
        // Longest names first, so a label with a blank ("Broker HostName") wins
        // over a shorter one it starts with.
        for (const TScriptField& field : ScriptFields()) {
            Names.push_back({field.Name, &field});
            Names.push_back({field.Label(form), &field});
        }
        std::stable_sort(Names.begin(), Names.end(),
                         [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    }

    void Line(int number, std::string_view raw)
    {
        const std::string_view text = Trim(raw);
        if (text.empty() || text.front() == '#')
            return;
        TScriptStep step;
        step.Line = number;
        step.Text = std::string(text);
        std::string reason;
        if (Parse(text, step, reason)) {
            if (step.Kind == TStepKind::ExpectBox && !AfterCommand)
                reason = "expect-box belongs right after a command (or another expect-box)";
            else
                Script.Steps.push_back(std::move(step));
        }
        if (!reason.empty()) {
            Errors.push_back({number, std::string(text), reason});
            AfterCommand = false;
            return;
        }
        AfterCommand = Script.Steps.back().Kind == TStepKind::Command || Script.Steps.back().Kind == TStepKind::ExpectBox;
    }

    std::vector<TScriptError> Errors;

private:
    bool Parse(std::string_view text, TScriptStep& step, std::string& reason)
    {
        const std::size_t end = std::find_if(text.begin(), text.end(), IsBlank) - text.begin();
        const std::string_view keyword = text.substr(0, end);
        const std::string_view rest = Trim(text.substr(end));
        if (EqualsNoCase(keyword, "set"))
            return ParseSet(rest, step, reason);
        if (EqualsNoCase(keyword, "sleep")) {
            step.Kind = TStepKind::Sleep;
            if (ParseMs(rest, step.Ms))
                return true;
            reason = "sleep takes a time in milliseconds (a whole number from 0 up)";
            return false;
        }
        if (EqualsNoCase(keyword, "expect"))
            return ParseExpect(rest, TStepKind::Expect, DefaultExpectMs, step, reason);
        if (EqualsNoCase(keyword, "expect-no"))
            return ParseExpect(rest, TStepKind::ExpectNo, DefaultExpectNoMs, step, reason);
        if (EqualsNoCase(keyword, "expect-box")) {
            step.Kind = TStepKind::ExpectBox;
            step.Pattern = std::string(Unquote(rest));
            if (!step.Pattern.empty())
                return true;
            reason = "expect-box needs the text the box contains";
            return false;
        }
        return ParseCommand(text, step, reason);
    }

    bool ParseSet(std::string_view rest, TScriptStep& step, std::string& reason)
    {
        step.Kind = TStepKind::Set;
        std::string_view value;
        if (!rest.empty() && rest.front() == '"') {
            // A quoted field name: set "Broker HostName" 10.0.0.1
            const std::size_t close = rest.find('"', 1);
            if (close != std::string_view::npos)
                step.Field = FieldNamed(rest.substr(1, close - 1));
            value = rest.substr(close == std::string_view::npos ? rest.size() : close + 1);
        } else {
            for (const auto& [name, field] : Names) {
                if (!name.empty() && StartsWithNoCase(rest, name) &&
                    (rest.size() == name.size() || IsBlank(rest[name.size()]))) {
                    step.Field = field;
                    value = rest.substr(name.size());
                    break;
                }
            }
        }
        if (step.Field == nullptr) {
            reason = rest.empty() ? "set needs a field and a value" : "no field of that name or label";
            return false;
        }
        value = Unquote(Trim(value));
        switch (step.Field->Kind) {
        case TScriptFieldKind::Text:
            step.Value = std::string(value);
            return true;
        case TScriptFieldKind::Int:
            // Blanks around the number are tolerated, as the form reads its integer fields.
            value = Trim(value);
            if (!ParseInteger(value, step.Number)) {
                // Digits beyond any integer read as the nearer limit, as in the window.
                const bool digits = !value.empty() &&
                    std::all_of(value.begin() + (value.front() == '-' || value.front() == '+'), value.end(),
                                [](char c) { return c >= '0' && c <= '9'; });
                if (!digits || value.size() == 1) {
                    reason = step.Field->Name + " takes a whole number";
                    return false;
                }
                step.Number = value.front() == '-' ? std::numeric_limits<int64_t>::min()
                                                   : std::numeric_limits<int64_t>::max();
            }
            return true;
        case TScriptFieldKind::Check:
            if (EqualsNoCase(value, "on") || EqualsNoCase(value, "off")) {
                step.Number = EqualsNoCase(value, "on") ? 1 : 0;
                return true;
            }
            reason = step.Field->Name + " takes on or off";
            return false;
        case TScriptFieldKind::Choice: {
            const TChoiceField& choice = Form.*step.Field->Choice;
            step.Number = choice.Find(value);
            if (step.Number >= 0)
                return true;
            reason = step.Field->Name + " takes one of";
            for (std::size_t i = 0; i < choice.Items.size(); ++i)
                reason += (i == 0 ? " \"" : ", \"") + choice.Items[i] + "\"";
            return false;
        }
        }
        return false;
    }

    const TScriptField* FieldNamed(std::string_view name) const
    {
        for (const auto& [candidate, field] : Names)
            if (EqualsNoCase(candidate, name))
                return field;
        return nullptr;
    }

    bool ParseExpect(std::string_view rest, TStepKind kind, int defaultMs, TScriptStep& step, std::string& reason)
    {
        step.Kind = kind;
        step.Ms = defaultMs;
        // "... within MS" at the end of the line; quote the text to keep such words in it.
        std::string_view body = rest;
        const std::size_t lastBlank = rest.ends_with('"') ? std::string_view::npos : rest.find_last_of(" \t");
        if (lastBlank != std::string_view::npos) {
            const std::string_view number = rest.substr(lastBlank + 1);
            const std::string_view before = Trim(rest.substr(0, lastBlank));
            const std::size_t wordStart = before.find_last_of(" \t");
            const std::string_view word = before.substr(wordStart == std::string_view::npos ? 0 : wordStart + 1);
            if (EqualsNoCase(word, "within")) {
                if (!ParseMs(number, step.Ms)) {
                    reason = "within takes a time in milliseconds (a whole number from 0 up)";
                    return false;
                }
                body = wordStart == std::string_view::npos ? std::string_view() : Trim(before.substr(0, wordStart));
            }
        }
        step.Pattern = std::string(Unquote(body));
        if (step.Pattern.empty()) {
            reason = "the text of the line to wait for is missing";
            return false;
        }
        return true;
    }

    bool ParseCommand(std::string_view text, TScriptStep& step, std::string& reason)
    {
        step.Kind = TStepKind::Command;
        for (const TCommandInfo& info : Form.Commands()) {
            const TScriptCommand* command = ScriptCommandOf(info.Handler);
            const bool named = EqualsNoCase(text, info.Caption) || EqualsNoCase(text, info.Name) ||
                EqualsNoCase(text, info.Name + "Click") || (command && EqualsNoCase(text, command->Word));
            if (!named)
                continue;
            if (command == nullptr) {
                reason = "the file chooser has no place in a script: set " + ChooserField(info.Name) + " PATH";
                return false;
            }
            step.Handler = info.Handler;
            return true;
        }
        reason = "unknown command";
        return false;
    }

    // The text field a "..." button fills: the table's row right before the button.
    static std::string ChooserField(const std::string& button)
    {
        const TControlInfo* before = nullptr;
        for (const TControlInfo& row : Controls) {
            if (button == row.Name)
                break;
            before = row.Text != nullptr ? &row : before;
        }
        return before != nullptr ? before->Name : "PublishDataFileEdit";
    }

    const TForm1& Form;
    TScript& Script;
    std::vector<std::pair<std::string, const TScriptField*>> Names;
    bool AfterCommand = false;
};

}  // namespace

const std::vector<TScriptCommand>& ScriptCommands()
{
    static const std::vector<TScriptCommand> commands{
        {"open", "ConnectBtn", &TForm1::ConnectBtnClick},
        {"close", "DisconnectBtn", &TForm1::DisconnectBtnClick},
        {"connect", "MQTT_CONNECT_Btn", &TForm1::MQTT_CONNECT_BtnClick},
        {"pingreq", "MQTT_PINGREQ_Btn", &TForm1::MQTT_PINGREQ_BtnClick},
        {"disconnect", "Button4", &TForm1::Button4Click},
        {"subscribe", "Button2", &TForm1::Button2Click},
        {"unsubscribe", "Button3", &TForm1::Button3Click},
        {"publish", "Button5", &TForm1::Button5Click},
        {"publish-file", "Button7", &TForm1::Button7Click},
        {"queue", "Button1", &TForm1::Button1Click},
        {"auth", "MQTT_AUTH_Btn", &TForm1::MQTT_AUTH_BtnClick},
    };
    return commands;
}

const TScriptCommand* ScriptCommandOf(THandler handler)
{
    for (const TScriptCommand& command : ScriptCommands())
        if (command.Handler == handler)
            return &command;
    return nullptr;
}

std::string LineMessage(const std::string& name, int line, const std::string& text, const std::string& reason)
{
    return name + ":" + std::to_string(line) + ": " + text + ": " + reason;
}

std::vector<TScriptError> ParseScript(std::string_view text, const TForm1& form, TScript& script)
{
    script.Steps.clear();
    // A byte order mark that an editor put before UTF-8 text is no part of the first line.
    if (CodePage::IsUTF8() && text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    TParser parser(form, script);
    int number = 0;
    while (!text.empty() || number == 0) {
        const std::size_t newline = text.find('\n');
        parser.Line(++number, text.substr(0, newline));
        if (newline == std::string_view::npos)
            break;
        text.remove_prefix(newline + 1);
    }
    if (!parser.Errors.empty())
        script.Steps.clear();
    return parser.Errors;
}
