#include "console/script/ScriptRunner.h"

#include "mqtt/engine/MQTTClient.h"

#include <algorithm>

namespace {

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

bool IsLineExpect(TStepKind kind)
{
    return kind == TStepKind::Expect || kind == TStepKind::ExpectNo || kind == TStepKind::ExpectAny ||
        kind == TStepKind::ExpectNoAny;
}

bool IsAny(TStepKind kind)
{
    return kind == TStepKind::ExpectAny || kind == TStepKind::ExpectNoAny;
}

}  // namespace

TScriptRunner::TScriptRunner(TSession& session, TOutput output) : Session(session), Output(std::move(output)) {}

TScriptRunner::TScriptRunner(TForm1& form, TOutput output)
    : OwnSession(std::make_unique<TSession>()), Session(*OwnSession), Output(std::move(output))
{
    Single = &Session.Adopt(TSession::DefaultClientName, form);
    // Its lines count from here on, as they always did.
    WatchOf(Single->Name());
}

TScriptRunner::~TScriptRunner()
{
    Watches.clear();
    EveryLine.reset();
}

void TScriptRunner::BoxShown(const std::string& title, const std::string& text)
{
    const int step = CurrentStep.load();
    {
        std::lock_guard guard(Lock);
        Boxes.push_back({text, step});
    }
    int line = 0;
    std::string client;
    const TScript* script = Current.load();
    if (script != nullptr && step >= 0 && static_cast<std::size_t>(step) < script->Steps.size()) {
        line = script->Steps[static_cast<std::size_t>(step)].Line;
        client = NameOf(script->Steps[static_cast<std::size_t>(step)]);
    }
    Say(TScriptMessage::Box, line, "box [" + title + "] " + text, client);
}

void TScriptRunner::FieldError(const std::string& client, const TSessionFieldError& error)
{
    const int step = CurrentStep.load();
    const TScript* script = Current.load();
    const int line = script != nullptr && step >= 0 && static_cast<std::size_t>(step) < script->Steps.size()
        ? script->Steps[static_cast<std::size_t>(step)].Line
        : 0;
    Say(TScriptMessage::Note, line, (error.Control.empty() ? std::string() : error.Control + ": ") + error.Reason,
        client);
}

void TScriptRunner::Cancel()
{
    Cancelled.store(true);
    Session.Cancel();
}

void TScriptRunner::Say(TScriptMessage::TKind kind, int line, const std::string& text, const std::string& client)
{
    if (Output)
        Output(TScriptMessage{kind, line, text, client});
}

void TScriptRunner::Note(const TScriptStep& step, const std::string& what)
{
    Say(TScriptMessage::Note, step.Line, LineMessage(Current.load()->Name, step.Line, step.Text, what), NameOf(step));
}

const std::string& TScriptRunner::NameOf(const TScriptStep& step) const
{
    return Single ? Single->Name() : step.Client;
}

TSessionClient& TScriptRunner::ClientOf(const TScriptStep& step)
{
    return Single ? *Single : Session.Client(step.Client);
}

TLineWatch& TScriptRunner::WatchOf(const std::string& client)
{
    auto it = Watches.find(client);
    if (it == Watches.end())
        it = Watches.emplace(client, Session.WatchLines(client)).first;
    return *it->second;
}

void TScriptRunner::PrepareWatches(const TScript& script)
{
    // Only lines an expect to come can match are kept: a long run that
    // expects little holds little, however many lines its clients send.
    for (const TScriptStep& step : script.Steps) {
        if (!IsLineExpect(step.Kind))
            continue;
        if (IsAny(step.Kind)) {
            if (!EveryLine)
                EveryLine = Session.WatchEveryLine();
            EveryLine->Keep(step.Pattern);
        } else {
            WatchOf(NameOf(step)).Keep(step.Pattern);
        }
    }
    // The one form's watch has kept every line since the runner was made; from
    // here on it too keeps only what an expect can match.
    for (auto& [client, watch] : Watches)
        watch->KeepOnlyKeptTexts();
}

void TScriptRunner::ReleasePattern(const TScriptStep& step)
{
    if (!IsLineExpect(step.Kind))
        return;
    if (IsAny(step.Kind))
        EveryLine->Release(step.Pattern);
    else
        WatchOf(NameOf(step)).Release(step.Pattern);
}

TScriptResult TScriptRunner::Run(const TScript& script)
{
    Current.store(&script);
    CurrentStep.store(-1);
    if (OwnSession)
        OwnSession->SetDrivePingTimers(DrivePingTimer);
    // Boxes shown after the run belong to no line of it.
    struct TEndOfRun {
        TScriptRunner& Runner;
        ~TEndOfRun()
        {
            Runner.CurrentStep.store(-1);
            Runner.Current.store(nullptr);
        }
    } endOfRun{*this};
    TScriptResult result;
    auto stop = [&](TScriptStatus status, int step, const std::string& reason) {
        const bool before = step < 0;
        const TScriptStep* at = before ? nullptr : &script.Steps[static_cast<std::size_t>(step)];
        result.Status = status;
        result.Line = before ? 0 : at->Line;
        result.Reason = LineMessage(script.Name, result.Line, before ? "(before the first line)" : at->Text, reason);
        Say(TScriptMessage::Failure, result.Line, result.Reason);
        return result;
    };
    // The box a step showed that no expect-box took, if any.
    auto unexpectedBox = [&](TBox& box) {
        std::lock_guard guard(Lock);
        if (Boxes.empty())
            return false;
        box = Boxes.front();
        return true;
    };

    if (Single && script.Clients.size() > 1) {
        // One form is one connection: the second client has nowhere to go.
        const auto second = std::find_if(script.Steps.begin(), script.Steps.end(), [&](const TScriptStep& s) {
            return s.UsesClient() && s.Client == script.Clients[1];
        });
        std::string names;
        for (const std::string& name : script.Clients)
            names += (names.empty() ? "" : ", ") + name;
        return stop(TScriptStatus::Failed, static_cast<int>(second - script.Steps.begin()),
                    "the script speaks to " + std::to_string(script.Clients.size()) + " clients (" + names +
                        ") and this window drives one connection: run it with tarnwick-cli");
    }
    PrepareWatches(script);
    Session.RunDueTicks();
    for (std::size_t i = 0; i < script.Steps.size(); ++i) {
        const TScriptStep& step = script.Steps[i];
        TBox box;
        if (step.Kind != TStepKind::ExpectBox && unexpectedBox(box))
            return stop(TScriptStatus::Failed, box.Step, "the box " + Quoted(box.Text) + " was not expected");
        if (Stopped())
            return stop(TScriptStatus::Cancelled, static_cast<int>(i), "cancelled");
        CurrentStep.store(static_cast<int>(i));
        std::string reason;
        if (!RunStep(step, reason))
            return stop(Stopped() ? TScriptStatus::Cancelled : TScriptStatus::Failed, static_cast<int>(i),
                        Stopped() ? "cancelled" : reason);
        ReleasePattern(step);
        ++result.StepsRun;
        if (OnStepDone)
            OnStepDone(step);
        Session.RunDueTicks();
    }
    if (TBox box; unexpectedBox(box))
        return stop(TScriptStatus::Failed, box.Step, "the box " + Quoted(box.Text) + " was not expected");
    return result;
}

bool TScriptRunner::RunSet(const TScriptStep& step, TForm1& form)
{
    const TScriptField& field = *step.Field;
    // A disabled control takes no change in the window either.
    if (field.Enabled != nullptr && !(form.*field.Enabled)) {
        Note(step, field.Name + " is disabled (no connection is open); nothing changed");
        return true;
    }
    switch (field.Kind) {
    case TScriptFieldKind::Text:
        (form.*field.Text).Text = step.Value;
        break;
    case TScriptFieldKind::Int: {
        TIntField& target = form.*field.Int;
        const int64_t value = std::clamp<int64_t>(step.Number, target.Min, target.Max);
        if (value != step.Number)
            Note(step, field.Name + " takes " + std::to_string(target.Min) + " to " + std::to_string(target.Max) +
                           "; set to " + std::to_string(value));
        target.SetValue(static_cast<int>(value));
        break;
    }
    case TScriptFieldKind::Check:
        form.*field.Check = step.Number != 0;
        break;
    case TScriptFieldKind::Choice:
        (form.*field.Choice).Index = static_cast<int>(step.Number);
        break;
    }
    if (field.OnChange != nullptr)
        form.Run(field.OnChange);
    return true;
}

bool TScriptRunner::RunStep(const TScriptStep& step, std::string& reason)
{
    switch (step.Kind) {
    case TStepKind::Client:
        ClientOf(step);
        return true;
    case TStepKind::Set:
        return RunSet(step, ClientOf(step).Form());
    case TStepKind::Command: {
        TForm1& form = ClientOf(step).Form();
        // A click on a disabled button does nothing, as in the window.
        if (step.Handler == &TForm1::ConnectBtnClick && !form.ConnectBtnEnabled) {
            Note(step, "Open is disabled (a connection is open); nothing done");
            return true;
        }
        if (step.Handler == &TForm1::DisconnectBtnClick && !form.DisconnectBtnEnabled) {
            Note(step, "Close is disabled (no connection is open); nothing done");
            return true;
        }
        form.Run(step.Handler);
        return true;
    }
    case TStepKind::SendRaw:
        ClientOf(step).SendRaw(step.Bytes);
        return true;
    case TStepKind::Sleep:
        return Session.Sleep(step.Ms) != TWaitEnd::Cancelled;
    case TStepKind::Expect:
    case TStepKind::ExpectAny:
        return ExpectLine(step, reason);
    case TStepKind::ExpectNo:
    case TStepKind::ExpectNoAny:
        return ExpectNoLine(step, reason);
    case TStepKind::ExpectClosed:
        return ExpectClosed(step, reason);
    case TStepKind::ExpectBox: {
        std::lock_guard guard(Lock);
        const auto box = std::find_if(Boxes.begin(), Boxes.end(), [&](const TBox& b) {
            return b.Text.find(step.Pattern) != std::string::npos;
        });
        if (box != Boxes.end()) {
            Boxes.erase(box);
            return true;
        }
        reason = Boxes.empty() ? "no box was shown" : "the box said " + Quoted(Boxes.front().Text);
        return false;
    }
    }
    return true;
}

bool TScriptRunner::ExpectLine(const TScriptStep& step, std::string& reason)
{
    if (step.Kind == TStepKind::Expect)
        ClientOf(step);   // its lines can come only once it exists
    TLineWatch& watch = step.Kind == TStepKind::ExpectAny ? *EveryLine : WatchOf(NameOf(step));
    const TWaitEnd end = watch.Wait(step.Pattern, step.Ms);
    if (end == TWaitEnd::TimedOut)
        reason = "no line containing " + Quoted(step.Pattern) + " within " + std::to_string(step.Ms) + " ms";
    return end == TWaitEnd::Found;
}

bool TScriptRunner::ExpectNoLine(const TScriptStep& step, std::string& reason)
{
    TLineWatch& watch = step.Kind == TStepKind::ExpectNoAny ? *EveryLine : WatchOf(NameOf(step));
    TSessionLine seen;
    const TWaitEnd end = watch.WaitNone(step.Pattern, step.Ms, &seen);
    if (end == TWaitEnd::Found)
        reason = "a line containing " + Quoted(step.Pattern) + " came: " +
            (step.Kind == TStepKind::ExpectNoAny ? seen.Client + " | " : std::string()) + seen.Text();
    return end == TWaitEnd::TimedOut;
}

bool TScriptRunner::ExpectClosed(const TScriptStep& step, std::string& reason)
{
    TSessionClient& client = ClientOf(step);
    TConnectionEnd end;
    switch (client.WaitForEnd(step.Ms, &end)) {
    case TWaitEnd::Cancelled:
        return false;
    case TWaitEnd::Found:
        if (!end.ByBroker()) {
            reason = "the connection ended on this side, not by the broker: " + end.Describe();
            return false;
        }
        Note(step, "closed by the broker: " + end.Describe());
        return true;
    case TWaitEnd::TimedOut:
        break;
    }
    if (!client.Form().Client) {
        reason = "no connection is open";
        return false;
    }
    const TConnectionEnd now = client.End();
    reason = (now.Disconnect ? "the broker sent DISCONNECT " + now.DisconnectText + " but " : std::string()) +
        "the connection is still open after " + std::to_string(step.Ms) + " ms";
    return false;
}
