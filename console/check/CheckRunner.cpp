#include "console/check/CheckRunner.h"

#include "console/form/FrontEnd.h"
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace {

bool Matches(const TCheck& check, const std::string& word)
{
    TCheckFamily family;
    if (ParseFamily(word, family)) return check.Family == family;
    if (!word.empty() && word.back() == '*') return std::string_view(check.Id).starts_with(word.substr(0, word.size() - 1));
    return word == check.Id;
}

bool Known(const std::string& word)
{
    TCheckFamily family;
    if (ParseFamily(word, family)) return true;
    for (const TCheck& check : CheckCatalogue())
        if (Matches(check, word)) return true;
    return false;
}


}  // namespace

bool PlanChecks(const TCheckSelection& selection, std::vector<TPlanItem>& plan, std::string& error)
{
    for (const auto* words : {&selection.Only, &selection.Skip})
        for (const std::string& word : *words)
            if (!Known(word)) {
                error = "no check or family " + word;
                return false;
            }
    plan.clear();
    for (TProtocolVersion version : selection.Versions)
        for (const TCheck& check : CheckCatalogue()) {
            if (!check.AppliesTo(version)) continue;
            if (!selection.Families.empty() &&
                std::find(selection.Families.begin(), selection.Families.end(), check.Family) == selection.Families.end())
                continue;
            auto any = [&](const std::vector<std::string>& words) {
                return std::any_of(words.begin(), words.end(), [&](const std::string& w) { return Matches(check, w); });
            };
            if (!selection.Only.empty() && !any(selection.Only)) continue;
            if (any(selection.Skip)) continue;
            plan.push_back(TPlanItem{&check, version});
        }
    return true;
}

size_t TCheckRun::Count(TVerdict verdict) const
{
    return static_cast<size_t>(std::count_if(Results.begin(), Results.end(),
                                             [&](const TCheckResult& r) { return r.Verdict == verdict; }));
}

int TCheckRun::ExitStatus() const
{
    return Count(TVerdict::Fail) == 0 && Count(TVerdict::Error) == 0 && !Cancelled ? 0 : 1;
}

TCheckRunner::TCheckRunner(TCheckSettings settings) : FSettings(std::move(settings))
{
    if (FSettings.Prefix.empty()) FSettings.Prefix = "tarnwick/check/" + RandomWord(8);
    if (FSettings.IdPrefix.empty()) FSettings.IdPrefix = "tw" + RandomWord(5);
}

void TCheckRunner::Cancel()
{
    FCancel = true;
}

TCheckResult TCheckRunner::RunOne(const TPlanItem& item, int number, const TBrokerFacts& facts,
                                  const std::string& refusal)
{
    TCheckResult result;
    result.Check = item.Check;
    result.Version = item.Version;
    // A version the broker refuses at CONNECT is not offered: its checks are skipped.
    if (!refusal.empty()) {
        result.Verdict = refusal.rfind("the broker refuses", 0) == 0 ? TVerdict::Skip : TVerdict::Error;
        result.Reason = refusal;
        return result;
    }
    TCheckContext context(*item.Check, item.Version, FSettings, facts, number, FCancel);
    try {
        if (FCancel) throw TCheckStop{TVerdict::Error, "cancelled"};
        item.Check->Run(context);
        result.Verdict = TVerdict::Pass;
    } catch (const TCheckStop& stop) {
        result.Verdict = stop.Verdict;
        result.Reason = stop.Reason;
    } catch (const std::exception& e) {
        result.Verdict = TVerdict::Error;
        result.Reason = e.what();
    }
    if (result.Verdict == TVerdict::Fail || result.Verdict == TVerdict::Error) result.Clients = context.Traces();
    context.CleanUp();
    result.Ms = context.ElapsedMs();
    return result;
}

namespace {

// The run's payload folder: the one asked for, or a private temporary one
// made for the run and removed with everything in it when the run ends.
class TPayloadFolder {
public:
    explicit TPayloadFolder(std::string& directory) : FDirectory(directory)
    {
        std::error_code ec;
        if (!FDirectory.empty()) {
            std::filesystem::create_directories(FDirectory, ec);
            if (ec) FError = "cannot make the payload folder " + FDirectory + ": " + ec.message();
            return;
        }
        std::string pattern = (std::filesystem::temp_directory_path(ec) / "tarnwick-check-XXXXXX").string();
        if (ec || ::mkdtemp(pattern.data()) == nullptr) {
            FError = "cannot make a temporary folder for the received payloads (" + pattern + "): " +
                     std::strerror(errno);
            return;
        }
        FDirectory = FMade = pattern;
    }
    // Why there is no folder, empty when there is one.
    const std::string& Error() const { return FError; }
    ~TPayloadFolder()
    {
        if (FMade.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(FMade, ec);
        FDirectory.clear();
    }
    TPayloadFolder(const TPayloadFolder&) = delete;
    TPayloadFolder& operator=(const TPayloadFolder&) = delete;

private:
    std::string& FDirectory;
    std::string FMade, FError;
};

}  // namespace

TCheckRun TCheckRunner::Run(const std::vector<TPlanItem>& plan)
{
    const auto start = std::chrono::steady_clock::now();
    const TPayloadFolder payloads(FSettings.PayloadDirectory);
    TCheckRun run;
    run.Broker = BrokerOf(FSettings.Connection);
    run.Results.resize(plan.size());
    for (const TPlanItem& item : plan)
        if (std::find(run.Versions.begin(), run.Versions.end(), item.Version) == run.Versions.end())
            run.Versions.push_back(item.Version);

    // What the broker offers, per version, before any check of it runs.
    std::vector<TBrokerFacts> facts(run.Versions.size());
    std::vector<std::string> refusals(run.Versions.size());
    for (size_t v = 0; v < run.Versions.size() && !FCancel; ++v) {
        if (!payloads.Error().empty()) refusals[v] = payloads.Error();
        if (!Probe || !refusals[v].empty()) continue;
        const TLimitsReport limits = ProbeLimits(FSettings, run.Versions[v], FCancel);
        run.Limits.push_back(limits);
        facts[v] = limits.Facts;
        if (!limits.Connected)
            refusals[v] = limits.RefusedVersion ? "the broker refuses MQTT " + std::string(VersionWord(run.Versions[v])) +
                                                      " (" + limits.Error + ")"
                                                : "could not connect: " + limits.Error;
    }
    auto indexOf = [&](TProtocolVersion version) {
        return static_cast<size_t>(std::find(run.Versions.begin(), run.Versions.end(), version) - run.Versions.begin());
    };

    // The slow checks first, then the rest in catalogue order.
    std::vector<size_t> order;
    for (bool slow : {true, false})
        for (size_t i = 0; i < plan.size(); ++i)
            if (plan[i].Check->Slow == slow) order.push_back(i);
    std::atomic<size_t> next{0}, done{0};
    auto finish = [&](size_t i, TCheckResult result) {
        std::lock_guard guard(FReportLock);
        run.Results[i] = std::move(result);
        const size_t count = ++done;
        if (OnResult) OnResult(run.Results[i], count, plan.size());
    };
    auto worker = [&] {
        for (size_t n; (n = next++) < order.size();) {
            const size_t i = order[n];
            const size_t v = indexOf(plan[i].Version);
            finish(i, RunOne(plan[i], static_cast<int>(i + 1), facts[v], refusals[v]));
        }
    };
    std::vector<std::thread> workers;
    for (int w = 0; w < std::max(1, Parallel) - 1; ++w) workers.emplace_back(worker);
    worker();
    for (std::thread& t : workers) t.join();

    run.Cancelled = FCancel;
    run.Ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    return run;
}

bool ParseConnectionLines(const std::string& text, const std::string& name, std::vector<TScriptStep>& steps,
                          std::string& error)
{
    TSilentFrontEnd frontEnd;
    TForm1 form(frontEnd, 0);
    TScript script;
    script.Name = name;
    const std::vector<TScriptError> errors = ParseScript(text, form, script);
    if (!errors.empty()) {
        error = LineMessage(name, errors[0].Line, errors[0].Text, errors[0].Reason);
        return false;
    }
    for (const TScriptStep& step : script.Steps) {
        if (step.Kind != TStepKind::Set) {
            error = LineMessage(name, step.Line, step.Text, "only set lines give the connection");
            return false;
        }
        steps.push_back(step);
    }
    return true;
}

std::string BrokerOf(const std::vector<TScriptStep>& connection)
{
    TSilentFrontEnd frontEnd;
    TForm1 form(frontEnd, 0);
    for (const TScriptStep& step : connection) {
        if (step.Field->Text == &TForm1::BrokerEdit1) form.BrokerEdit1.Text = step.Value;
        if (step.Field->Int == &TForm1::BrokerPortSpn) form.BrokerPortSpn.SetValue(static_cast<int>(step.Number));
    }
    return form.BrokerEdit1.Text + ":" + std::to_string(form.BrokerPortSpn.Value());
}
