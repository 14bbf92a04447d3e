#include "console/script/ScriptRunner.h"

#include <algorithm>

namespace {

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

}  // namespace

TScriptRunner::TScriptRunner(TForm1& form, TOutput output) : Form(form), Output(std::move(output))
{
    ObserverHandle = Form.Events.AddBatchObserver(
        [this](const TEventRecord* records, std::size_t count) { OnEvents(records, count); });
}

TScriptRunner::~TScriptRunner()
{
    Form.Events.RemoveObserver(ObserverHandle);
}

// Called under the fan-out's lock on any thread: copy and return. The lines
// handed over together wake a waiting expect once.
void TScriptRunner::OnEvents(const TEventRecord* records, std::size_t count)
{
    bool wake = false;
    {
        std::lock_guard guard(Lock);
        for (std::size_t i = 0; i < count; ++i) {
            Lines.push_back(records[i].Source + ": " + records[i].Message);
            // A wait that looks for a text is woken only by a line holding it.
            wake = wake || (WakeOnLines && (WakePattern == nullptr || Lines.back().find(*WakePattern) != std::string::npos));
        }
    }
    if (wake)
        Changed.notify_all();
}

void TScriptRunner::BoxShown(const std::string& title, const std::string& text)
{
    const int step = CurrentStep.load();
    {
        std::lock_guard guard(Lock);
        Boxes.push_back({text, step});
    }
    int line = 0;
    const TScript* script = Current.load();
    if (script != nullptr && step >= 0 && static_cast<std::size_t>(step) < script->Steps.size())
        line = script->Steps[static_cast<std::size_t>(step)].Line;
    Say(TScriptMessage::Box, line, "box [" + title + "] " + text);
}

void TScriptRunner::Cancel()
{
    Cancelled.store(true);
    {
        // Taken so that a waiter between its check and its wait cannot miss the wake-up.
        std::lock_guard guard(Lock);
    }
    Changed.notify_all();
}

void TScriptRunner::Say(TScriptMessage::TKind kind, int line, const std::string& text)
{
    if (Output)
        Output(TScriptMessage{kind, line, text});
}

void TScriptRunner::Note(const TScriptStep& step, const std::string& what)
{
    Say(TScriptMessage::Note, step.Line, LineMessage(Current.load()->Name, step.Line, step.Text, what));
}

TScriptResult TScriptRunner::Run(const TScript& script)
{
    Current.store(&script);
    CurrentStep.store(-1);
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

    FollowPingTimer();
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
        ++result.StepsRun;
        if (OnStepDone)
            OnStepDone(step);
        FollowPingTimer();
        RunDueTick();
    }
    if (TBox box; unexpectedBox(box))
        return stop(TScriptStatus::Failed, box.Step, "the box " + Quoted(box.Text) + " was not expected");
    return result;
}

bool TScriptRunner::RunStep(const TScriptStep& step, std::string& reason)
{
    switch (step.Kind) {
    case TStepKind::Set: {
        const TScriptField& field = *step.Field;
        // A disabled control takes no change in the window either.
        if (field.Enabled != nullptr && !(Form.*field.Enabled)) {
            Note(step, field.Name + " is disabled (no connection is open); nothing changed");
            return true;
        }
        switch (field.Kind) {
        case TScriptFieldKind::Text:
            (Form.*field.Text).Text = step.Value;
            break;
        case TScriptFieldKind::Int: {
            TIntField& target = Form.*field.Int;
            const int64_t value = std::clamp<int64_t>(step.Number, target.Min, target.Max);
            if (value != step.Number)
                Note(step, field.Name + " takes " + std::to_string(target.Min) + " to " + std::to_string(target.Max) +
                               "; set to " + std::to_string(value));
            target.SetValue(static_cast<int>(value));
            break;
        }
        case TScriptFieldKind::Check:
            Form.*field.Check = step.Number != 0;
            break;
        case TScriptFieldKind::Choice:
            (Form.*field.Choice).Index = static_cast<int>(step.Number);
            break;
        }
        if (field.OnChange != nullptr)
            Form.Run(field.OnChange);
        return true;
    }
    case TStepKind::Command:
        // A click on a disabled button does nothing, as in the window.
        if (step.Handler == &TForm1::ConnectBtnClick && !Form.ConnectBtnEnabled) {
            Note(step, "Open is disabled (a connection is open); nothing done");
            return true;
        }
        if (step.Handler == &TForm1::DisconnectBtnClick && !Form.DisconnectBtnEnabled) {
            Note(step, "Close is disabled (no connection is open); nothing done");
            return true;
        }
        Form.Run(step.Handler);
        return true;
    case TStepKind::Sleep:
        return Wait(step.Ms, [] { return false; }, nullptr, false) != TWaitEnd::Cancelled;
    case TStepKind::Expect:
        return ExpectLine(step, reason);
    case TStepKind::ExpectNo:
        return ExpectNoLine(step, reason);
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
    uint64_t scan = Cursor;
    const TWaitEnd end = Wait(step.Ms, [&] {
        for (; scan < Base + Lines.size(); ++scan) {
            if (Lines[scan - Base].find(step.Pattern) != std::string::npos) {
                Cursor = scan + 1;
                // Lines before the match are never searched again.
                while (Base < Cursor) {
                    Lines.pop_front();
                    ++Base;
                }
                return true;
            }
        }
        return false;
    }, &step.Pattern);
    if (end == TWaitEnd::TimedOut)
        reason = "no line containing " + Quoted(step.Pattern) + " within " + std::to_string(step.Ms) + " ms";
    return end == TWaitEnd::Found;
}

bool TScriptRunner::ExpectNoLine(const TScriptStep& step, std::string& reason)
{
    uint64_t scan = Cursor;
    std::string seen;
    const TWaitEnd end = Wait(step.Ms, [&] {
        for (; scan < Base + Lines.size(); ++scan) {
            if (Lines[scan - Base].find(step.Pattern) != std::string::npos) {
                seen = Lines[scan - Base];
                return true;
            }
        }
        return false;
    }, &step.Pattern);
    if (end == TWaitEnd::Found)
        reason = "a line containing " + Quoted(step.Pattern) + " came: " + seen;
    return end == TWaitEnd::TimedOut;
}

template <class TFound>
TScriptRunner::TWaitEnd TScriptRunner::Wait(int ms, TFound found, const std::string* pattern, bool wakeOnLines)
{
    const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(Lock);
    // What wakes this wait besides its deadline, the timer and Cancel().
    struct TWakeOn {
        TScriptRunner& Runner;
        TWakeOn(TScriptRunner& runner, const std::string* pattern, bool lines) : Runner(runner)
        {
            Runner.WakePattern = pattern;
            Runner.WakeOnLines = lines;
        }
        ~TWakeOn()
        {
            Runner.WakePattern = nullptr;
            Runner.WakeOnLines = true;
        }
    } wakeOn(*this, pattern, wakeOnLines);
    for (;;) {
        if (found())
            return TWaitEnd::Found;
        if (Stopped())
            return TWaitEnd::Cancelled;
        const TClock::time_point now = TClock::now();
        if (now >= deadline)
            return TWaitEnd::TimedOut;
        if (TimerOn && TickDue <= now) {
            // The tick sends lines itself: never under the lock the observer takes.
            lock.unlock();
            RunDueTick();
            lock.lock();
            continue;
        }
        Changed.wait_until(lock, TimerOn ? std::min(deadline, TickDue) : deadline);
    }
}

void TScriptRunner::FollowPingTimer()
{
    if (!DrivePingTimer)
        return;
    // The form tells its timer only of changes, so a change seen here is one
    // the window's timer would have seen: switching on or a new interval starts
    // a full period.
    const bool on = Form.PingTimerEnabled;
    const int interval = Form.PingTimerInterval;
    if (on == TimerOn && interval == TimerInterval)
        return;
    TimerOn = on;
    TimerInterval = interval;
    if (on)
        TickDue = TClock::now() + std::chrono::milliseconds(interval);
}

void TScriptRunner::RunDueTick()
{
    if (!DrivePingTimer || !TimerOn || TClock::now() < TickDue)
        return;
    Form.Run(&TForm1::PingTimerTick);
    // Ticks that fell due meanwhile are not stored up.
    TickDue += std::chrono::milliseconds(TimerInterval);
    if (const TClock::time_point now = TClock::now(); TickDue <= now)
        TickDue = now + std::chrono::milliseconds(TimerInterval);
    FollowPingTimer();
}
