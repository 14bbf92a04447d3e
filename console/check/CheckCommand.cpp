#include "console/check/CheckCommand.h"

#include "console/check/CheckReports.h"
#include "console/check/WindowProfile.h"
#include "platform/Random.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const char* const Usage =
    "Usage: tarnwick-cli check [connection options] [--protocol 3.1|3.1.1|5.0|all] [--only IDS] [--skip IDS]\n"
    "                          [--list] [--junit FILE] [--html FILE] [--prefix TOPIC]\n"
    "Runs the catalogue of broker checks against one broker and gives a verdict per check.\n"
    "\n"
    "Connection (the console's own fields):\n"
    "  --host HOST --port N --user NAME --password TEXT\n"
    "  --tls --cafile FILE --cert FILE --key FILE --no-verify-host\n"
    "  --transport tcp|ws|wss --ws-path PATH\n"
    "  --proxy none|http|socks5 --proxy-host HOST --proxy-port N --proxy-user NAME --proxy-password TEXT\n"
    "  --set FIELD=VALUE     any field by control name or label (repeatable)\n"
    "  --settings FILE       a file of set lines, as a script writes them (repeatable)\n"
    "  --profile NAME        a connection profile saved by the window\n"
    "Selection:\n"
    "  --protocol V          3.1, 3.1.1, 5.0 or all, or several separated by commas (default all)\n"
    "  --only IDS --skip IDS check ids or family names, separated by commas; an id may end in *\n"
    "  --list                the catalogue: ids, families, versions, statements, expectations\n"
    "Reports:\n"
    "  --junit FILE          JUnit XML\n"
    "  --html FILE           one self-contained page with the frames of each failure\n"
    "  --quiet               only the table and the counts, no progress lines\n"
    "Run:\n"
    "  --prefix TOPIC        every topic of the run lies under it (default tarnwick/check/<random>)\n"
    "  --dir DIR             keep the payloads the clients receive in DIR (default: a temporary\n"
    "                        folder removed at the end of the run)\n"
    "  --parallel N          checks run side by side (default 8)\n"
    "  --wait MS             how long something that must not come is waited for (default 500)\n"
    "  --answer MS           how long an answer is waited for (default 3000)\n"
    "  --no-probe            leave the limits probe out\n"
    "Exit status: 0 nothing failed or could not run, 1 a check failed or could not run, 2 bad options.\n";

std::vector<std::string> SplitWords(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    std::istringstream in(text);
    while (std::getline(in, word, ','))
        if (!word.empty()) words.push_back(word);
    return words;
}

std::string SetLine(const std::string& field, const std::string& value)
{
    return "set " + field + " \"" + value + "\"\n";
}

bool ReadText(const std::string& path, std::string& text, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

bool ParseInt(const std::string& text, int min, int max, int& value)
{
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < min || n > max) return false;
    value = static_cast<int>(n);
    return true;
}

}  // namespace

bool ParseCheckOptions(const std::vector<std::string>& args, TCheckOptions& options, std::string& error)
{
    static const std::pair<const char*, const char*> Fields[] = {
        {"--host", "BrokerEdit1"}, {"--port", "BrokerPortSpn"}, {"--user", "UserNameEdit"},
        {"--password", "PasswordEdit"}, {"--cafile", "TlsCaFileEdit"}, {"--cert", "TlsCertFileEdit"},
        {"--key", "TlsKeyFileEdit"}, {"--transport", "TransportCmb"}, {"--ws-path", "WsPathEdit"},
        {"--proxy", "ProxyCmb"}, {"--proxy-host", "ProxyHostEdit"}, {"--proxy-port", "ProxyPortSpn"},
        {"--proxy-user", "ProxyUserEdit"}, {"--proxy-password", "ProxyPasswordEdit"}};
    options.Selection.Versions.clear();
    std::string protocols = "all";
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        std::string v;
        bool field = false;
        for (const auto& [flag, control] : Fields)
            if (arg == flag) {
                if (!value(v)) return false;
                options.ConnectionText += SetLine(control, v);
                field = true;
            }
        if (field) continue;
        if (arg == "--help" || arg == "-h") options.Help = true;
        else if (arg == "--list") options.List = true;
        else if (arg == "--quiet" || arg == "-q") options.Quiet = true;
        else if (arg == "--no-probe") options.Probe = false;
        else if (arg == "--tls") options.ConnectionText += "set TlsChk on\n";
        else if (arg == "--no-verify-host") options.ConnectionText += "set TlsVerifyHostChk off\n";
        else if (arg == "--protocol") { if (!value(protocols)) return false; }
        else if (arg == "--only") { if (!value(v)) return false; for (auto& w : SplitWords(v)) options.Selection.Only.push_back(w); }
        else if (arg == "--skip") { if (!value(v)) return false; for (auto& w : SplitWords(v)) options.Selection.Skip.push_back(w); }
        else if (arg == "--junit") { if (!value(options.JUnit)) return false; }
        else if (arg == "--html") { if (!value(options.Html)) return false; }
        else if (arg == "--dir") {
            if (!value(options.PayloadDirectory)) return false;
            if (options.PayloadDirectory.empty()) {
                error = "--dir needs a folder";
                return false;
            }
        }
        else if (arg == "--prefix") {
            if (!value(options.Prefix)) return false;
            if (options.Prefix.empty() || options.Prefix.find_first_of("+#") != std::string::npos) {
                error = "--prefix takes a topic without wildcards: " + options.Prefix;
                return false;
            }
        } else if (arg == "--set") {
            if (!value(v)) return false;
            const size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0) {
                error = "--set takes FIELD=VALUE: " + v;
                return false;
            }
            options.ConnectionText += SetLine(v.substr(0, eq), v.substr(eq + 1));
        } else if (arg == "--settings") {
            if (!value(v)) return false;
            std::string text;
            if (!ReadText(v, text, error)) return false;
            options.ConnectionText += text + "\n";
        } else if (arg == "--profile") {
            if (!value(v)) return false;
            std::string lines;
            if (!WindowProfileLines(WindowSettingsDirectory(), v, lines, error)) return false;
            options.ConnectionText = lines + options.ConnectionText;
        } else if (arg == "--parallel" || arg == "--wait" || arg == "--answer") {
            if (!value(v)) return false;
            int& target = arg == "--parallel" ? options.Parallel : arg == "--wait" ? options.QuietMs : options.AnswerMs;
            if (!ParseInt(v, arg == "--parallel" ? 1 : 50, arg == "--parallel" ? 32 : 60000, target)) {
                error = "bad number for " + arg + ": " + v;
                return false;
            }
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    for (const std::string& word : SplitWords(protocols)) {
        if (word == "all") {
            options.Selection.Versions.assign(std::begin(AllProtocolVersions), std::end(AllProtocolVersions));
            continue;
        }
        const auto version = ParseProtocolVersion(word);
        if (!version) {
            error = "unknown protocol " + word + " (3.1, 3.1.1, 5.0 or all)";
            return false;
        }
        options.Selection.Versions.push_back(*version);
    }
    if (options.Selection.Versions.empty()) {
        error = "--protocol names no version";
        return false;
    }
    std::vector<TPlanItem> plan;
    return PlanChecks(options.Selection, plan, error);
}

namespace {

TCheckRunner* ActiveRunner = nullptr;

void OnSignal(int)
{
    if (ActiveRunner != nullptr) ActiveRunner->Cancel();
}

}  // namespace

int RunCheckCommand(const std::vector<std::string>& args)
{
    TCheckOptions options;
    std::string error;
    if (!ParseCheckOptions(args, options, error)) {
        std::fprintf(stderr, "tarnwick-cli check: %s\n%s", error.c_str(), Usage);
        return 2;
    }
    if (options.Help) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (options.List) {
        WriteCatalogue(stdout);
        return 0;
    }
    Randomize();
    TCheckSettings settings;
    if (!ParseConnectionLines(options.ConnectionText, "connection", settings.Connection, error)) {
        std::fprintf(stderr, "tarnwick-cli check: %s\n", error.c_str());
        return 2;
    }
    settings.Prefix = options.Prefix.empty() ? "" : options.Prefix + "/" + RandomWord(6);
    settings.QuietMs = options.QuietMs;
    settings.AnswerMs = options.AnswerMs;
    // The clients' received payloads: kept in --dir, else in a temporary folder the run removes.
    settings.PayloadDirectory = options.PayloadDirectory;

    std::vector<TPlanItem> plan;
    PlanChecks(options.Selection, plan, error);
    TCheckRunner runner(settings);
    runner.Parallel = options.Parallel;
    runner.Probe = options.Probe;
    if (!options.Quiet)
        runner.OnResult = [](const TCheckResult& result, size_t done, size_t total) {
            std::printf("%s\n", ProgressLine(result, done, total).c_str());
            std::fflush(stdout);
        };
    ActiveRunner = &runner;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    const TCheckRun run = runner.Run(plan);
    ActiveRunner = nullptr;

    std::printf("\n");
    WriteTable(stdout, run);
    int status = run.ExitStatus();
    if (!options.JUnit.empty() && !WriteJUnit(options.JUnit, run, error)) {
        std::fprintf(stderr, "tarnwick-cli check: %s\n", error.c_str());
        status = 1;
    }
    if (!options.Html.empty() && !WriteHtml(options.Html, run, error)) {
        std::fprintf(stderr, "tarnwick-cli check: %s\n", error.c_str());
        status = 1;
    }
    return status;
}
