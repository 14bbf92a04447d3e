#include "console/script/Script.h"

#include "console/form/RawFrame.h"
#include "console/session/Session.h"
#include "mqtt/codec/AsciiText.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <tuple>

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
        step.Client = CurrentClient;
        std::string reason;
        // A NUL byte would cut the line short wherever it goes on as C text.
        if (const std::size_t nul = raw.find('\0'); nul != std::string_view::npos) {
            reason = "a NUL byte at column " + std::to_string(nul + 1) + ": a script is text";
            step.Text = EscapeNul(step.Text);
        } else if (Parse(text, step, reason)) {
            if (step.Kind == TStepKind::ExpectBox && !AfterCommand)
                reason = "expect-box belongs right after a command (or another expect-box)";
            else
                Script.Steps.push_back(std::move(step));
        }
        if (!reason.empty()) {
            Errors.push_back({number, EscapeNul(std::string(text)), reason});
            AfterCommand = false;
            return;
        }
        const TScriptStep& added = Script.Steps.back();
        if (added.Kind == TStepKind::Client) {
            CurrentClient = added.Client;
            Script.NamesClients = true;
        }
        if (added.UsesClient() &&
            std::find(Script.Clients.begin(), Script.Clients.end(), added.Client) == Script.Clients.end())
            Script.Clients.push_back(added.Client);
        AfterCommand = added.Kind == TStepKind::Command || added.Kind == TStepKind::SendRaw ||
            added.Kind == TStepKind::ExpectBox;
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
        if (EqualsNoCase(keyword, "expect-any"))
            return ParseExpect(rest, TStepKind::ExpectAny, DefaultExpectMs, step, reason);
        if (EqualsNoCase(keyword, "expect-no-any"))
            return ParseExpect(rest, TStepKind::ExpectNoAny, DefaultExpectNoMs, step, reason);
        if (EqualsNoCase(keyword, "expect-closed"))
            return ParseExpectClosed(rest, step, reason);
        if (EqualsNoCase(keyword, "client")) {
            step.Kind = TStepKind::Client;
            step.Client = std::string(Unquote(rest));
            if (rest.empty()) {
                reason = "client needs the name of the client";
                return false;
            }
            return TSession::ValidName(step.Client, &reason);
        }
        if (EqualsNoCase(keyword, "send-raw") && !rest.empty())
            return ParseSendRaw(rest, false, step, reason);
        if (EqualsNoCase(keyword, "send-raw-body"))
            return ParseSendRaw(rest, true, step, reason);
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
            if (!rest.empty())
                reason += Suggest(FirstWord(rest), FieldNames());
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
        reason = "unknown command" + Suggest(text, CommandNames());
        return false;
    }

    bool ParseExpectClosed(std::string_view rest, TScriptStep& step, std::string& reason)
    {
        step.Kind = TStepKind::ExpectClosed;
        step.Ms = DefaultExpectClosedMs;
        if (rest.empty())
            return true;
        const std::size_t blank = rest.find_first_of(" \t");
        if (blank != std::string_view::npos && EqualsNoCase(rest.substr(0, blank), "within") &&
            ParseMs(Trim(rest.substr(blank)), step.Ms))
            return true;
        reason = "expect-closed takes nothing or \"within MS\" (a whole number of milliseconds from 0 up)";
        return false;
    }

    // send-raw HEX, or send-raw-body TYPEFLAGS [HEX]: the bytes are checked
    // for being hex here, and for nothing else anywhere.
    bool ParseSendRaw(std::string_view rest, bool body, TScriptStep& step, std::string& reason)
    {
        step.Kind = TStepKind::SendRaw;
        if (!body) {
            if (ParseHexBytes(Unquote(rest), step.Bytes, reason))
                return true;
            reason = "send-raw takes the frame in hexadecimal: " + reason;
            return false;
        }
        const std::size_t blank = rest.find_first_of(" \t");
        std::string_view first = rest.substr(0, blank);
        if (first.size() > 2 && (first.starts_with("0x") || first.starts_with("0X")))
            first.remove_prefix(2);
        std::vector<uint8_t> typeByte, bodyBytes;
        if (first.size() != 2 || !ParseHexBytes(first, typeByte, reason)) {
            reason = "send-raw-body takes the first byte as two hexadecimal digits (30 for PUBLISH), then the body";
            return false;
        }
        const std::string_view rawBody = blank == std::string_view::npos ? std::string_view() : Trim(rest.substr(blank));
        if (!rawBody.empty() && !ParseHexBytes(Unquote(rawBody), bodyBytes, reason)) {
            reason = "send-raw-body takes the body in hexadecimal: " + reason;
            return false;
        }
        return FrameWithBody(typeByte[0], bodyBytes, step.Bytes, reason);
    }

    static std::string_view FirstWord(std::string_view text)
    {
        if (!text.empty() && text.front() == '"') {
            const std::size_t close = text.find('"', 1);
            return text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
        }
        return text.substr(0, text.find_first_of(" \t"));
    }

    static std::string Suggest(std::string_view typed, const std::vector<std::string>& names)
    {
        const std::vector<std::string> nearest = NearestNames(typed, names);
        std::string text;
        for (std::size_t i = 0; i < nearest.size(); ++i)
            text += (i == 0 ? "; did you mean " : i + 1 == nearest.size() ? " or " : ", ") + nearest[i];
        return nearest.empty() ? text : text + "?";
    }

    std::vector<std::string> FieldNames() const
    {
        std::vector<std::string> names;
        for (const auto& [name, field] : Names)
            names.push_back(name);
        return names;
    }

    std::vector<std::string> CommandNames() const
    {
        std::vector<std::string> names{"set", "sleep", "expect", "expect-no", "expect-any", "expect-no-any",
                                       "expect-closed", "expect-box", "client", "send-raw", "send-raw-body"};
        for (const TScriptCommand& command : ScriptCommands())
            names.push_back(command.Word);
        for (const TCommandInfo& info : Form.Commands())
            if (ScriptCommandOf(info.Handler))
                names.insert(names.end(), {info.Caption, info.Name});
        return names;
    }

    static std::string EscapeNul(std::string text)
    {
        for (std::size_t at = text.find('\0'); at != std::string::npos; at = text.find('\0', at))
            text.replace(at, 1, "\\x00");
        return text;
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
    std::string CurrentClient = TSession::DefaultClientName;
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
        {"send-raw", "RawSendBtn", &TForm1::RawSendBtnClick},
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

std::vector<std::string> NearestNames(std::string_view typed, const std::vector<std::string>& names)
{
    // Edit distance with letter case folded; near is at most a third of the
    // typed word (at least 2), so "Prot" finds "Port" but "x" finds nothing.
    auto distance = [](std::string_view a, std::string_view b) {
        std::vector<std::size_t> row(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j)
            row[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j) {
                const std::size_t above = row[j];
                const bool same = Fold(a[i - 1]) == Fold(b[j - 1]);
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
                diagonal = above;
            }
        }
        return row[b.size()];
    };
    const std::size_t limit = std::max<std::size_t>(2, typed.size() / 3);
    // (how near, then the plain distance): a name the typed word begins
    // ("PublishData" of "PublishData(str)") is as near as a typo of two.
    std::vector<std::tuple<std::size_t, std::size_t, std::string>> near;
    for (const std::string& name : names) {
        const std::size_t plain = distance(typed, name);
        const std::size_t d = typed.size() >= 3 && StartsWithNoCase(name, typed) ? std::min<std::size_t>(plain, 2) : plain;
        const bool known =
            std::any_of(near.begin(), near.end(), [&](const auto& n) { return EqualsNoCase(std::get<2>(n), name); });
        if (d <= limit && d < typed.size() && !known)
            near.emplace_back(d, plain, name);
    }
    std::stable_sort(near.begin(), near.end(), [](const auto& a, const auto& b) {
        return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
    });
    std::vector<std::string> best;
    for (std::size_t i = 0; i < near.size() && i < 3; ++i)
        best.push_back(std::get<2>(near[i]));
    return best;
}

std::string LineMessage(const std::string& name, int line, const std::string& text, const std::string& reason)
{
    return name + ":" + std::to_string(line) + ": " + text + ": " + reason;
}

std::vector<TScriptError> ParseScript(std::string_view text, const TForm1& form, TScript& script)
{
    script.Steps.clear();
    script.Clients.clear();
    script.NamesClients = false;
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
    if (!parser.Errors.empty()) {
        script.Steps.clear();
        script.Clients.clear();
    }
    return parser.Errors;
}
