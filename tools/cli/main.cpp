// tarnwick-cli: runs a session script against the console without a window and
// prints every diagnostic line the way the log listener does.
//
//   tarnwick-cli [--event-port N] [--dir DIR] [--quiet] SCRIPT
//   tarnwick-cli --fields | --help
//   tarnwick-cli check ...   (the broker checks: console/check/CheckCommand.h)
//
// A script may drive several clients (client NAME): each is a console of its
// own, and its lines are printed after its name.
//
// Exit status: 0 every line ran and held, 1 a line failed (or the run was
// interrupted), 2 the script could not be read or parsed, or bad arguments.

#include "console/check/CheckCommand.h"
#include "console/form/FieldTable.h"
#include "console/form/Form1.h"
#include "console/script/Script.h"
#include "console/script/ScriptRunner.h"
#include "console/session/Session.h"
#include "diag/AppEventMsg.h"
#include "diag/EventLine.h"
#include "platform/CodePage.h"
#include "platform/Random.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

const char* const Program = "tarnwick-cli";

struct TOptions {
    int EventPort = 2056;
    std::string Directory;
    bool Quiet = false;
    bool Fields = false;
    std::string Script;
};

void Usage(std::FILE* out, const TForm1& form)
{
    std::fprintf(out,
                 "Usage: tarnwick-cli [--event-port N] [--dir DIR] [--quiet] SCRIPT\n"
                 "       tarnwick-cli --fields | --help\n"
                 "Runs a Tarnwick session script (SCRIPT a file, or - for standard input) without a window\n"
                 "and prints every diagnostic line as tarnwick-log-listener does.\n"
                 "\n"
                 "  --event-port N  UDP port on 127.0.0.1 the diagnostic datagrams still go to (default 2056)\n"
                 "  --dir DIR       folder for received payload files (default: the working directory);\n"
                 "                  a script that names clients keeps one folder DIR/NAME per client\n"
                 "  --quiet         print only failures and the final status\n"
                 "  --fields        list every field a script can set, with its kind, limits and label\n"
                 "  --help          this text\n"
                 "\n"
                 "Script lines (# starts a comment):\n"
                 "  client NAME                  the client the next lines speak to (a new console on first use;\n"
                 "                               before the first client line: main); its lines print as NAME | ...\n"
                 "  set FIELD VALUE              a field by control name or label (see --fields)\n"
                 "  COMMAND                      a button, by word, caption or control name (below)\n"
                 "  send-raw HEX                 bytes exactly as given, no check (\"C0 00\")\n"
                 "  send-raw-body TYPEFLAGS HEX  first byte, remaining length computed, body (\"30 00 03 61 2F 62\")\n"
                 "  sleep MS\n"
                 "  expect TEXT [within MS]      a line of the current client containing TEXT (default %d ms)\n"
                 "  expect-no TEXT [within MS]   no such line for the whole wait (default %d ms)\n"
                 "  expect-any TEXT [within MS]  a line of any client; expect-no-any TEXT [within MS] likewise\n"
                 "  expect-closed [within MS]    the broker ends the client's connection (default %d ms)\n"
                 "  expect-box TEXT              the previous command showed a box containing TEXT\n"
                 "\n"
                 "Commands:\n",
                 DefaultExpectMs, DefaultExpectNoMs, DefaultExpectClosedMs);
    for (const TCommandInfo& info : form.Commands())
        if (const TScriptCommand* command = ScriptCommandOf(info.Handler))
            std::fprintf(out, "  %-14s %-18s %s\n", command->Word, info.Name.c_str(), info.Caption.c_str());
    std::fprintf(out, "\nExit status: 0 passed, 1 a line failed or the run was cancelled, 2 the script cannot be\n"
                      "read or parsed.\n");
}

// Every field a script sets: control name, kind, limits, default, label.
void ListFields(const TForm1& form)
{
    std::printf("%-26s %-8s %-34s %-14s %s\n", "control", "kind", "limits", "default", "label");
    for (const TScriptField& field : ScriptFields()) {
        const TControlInfo& row = *FindControl(field.Name);
        std::string kind, limits;
        switch (field.Kind) {
        case TScriptFieldKind::Text:
            kind = "text";
            limits = row.Masked ? "masked" : row.Packet != TPacketKind{} ? "properties" : "";
            break;
        case TScriptFieldKind::Int:
            kind = "integer";
            limits = std::to_string(row.Min) + ".." + std::to_string(row.Max);
            break;
        case TScriptFieldKind::Check:
            kind = "check";
            limits = "on|off";
            break;
        case TScriptFieldKind::Choice:
            kind = "choice";
            for (const std::string& item : (form.*field.Choice).Items)
                limits += (limits.empty() ? "" : "|") + item;
            break;
        }
        if (row.Gate)
            limits += limits.empty() ? "while a connection is open" : ", while a connection is open";
        std::string value = field.ScriptValue(form);
        if (field.Name == "PublishDataFileEdit")
            value = "(the sample file)";
        else if (field.Name == "ClientIDEdit")
            value = "(made at start)";
        std::printf("%-26s %-8s %-34s %-14s %s\n", field.Name.c_str(), kind.c_str(), limits.c_str(), value.c_str(),
                    field.Label(form).c_str());
    }
}

// 0 to run, -1 to end with status 0 (help), otherwise the exit status.
int ParseOptions(int argc, char** argv, TOptions& options, const TForm1& form)
{
    bool haveScript = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: %s needs a value\n", Program, arg.c_str());
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout, form);
            return -1;
        } else if (arg == "--fields") {
            options.Fields = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.Quiet = true;
        } else if (arg == "--event-port") {
            const char* text = value();
            if (text == nullptr)
                return 2;
            char* end = nullptr;
            errno = 0;
            const long port = std::strtol(text, &end, 10);
            if (errno != 0 || end == text || *end != '\0' || port < 1 || port > 65535) {
                std::fprintf(stderr, "%s: bad port: %s\n", Program, text);
                return 2;
            }
            options.EventPort = static_cast<int>(port);
        } else if (arg == "--dir") {
            const char* text = value();
            if (text == nullptr)
                return 2;
            options.Directory = text;
        } else if ((arg.size() > 1 && arg[0] == '-') || haveScript) {
            std::fprintf(stderr, "%s: %s: %s\n", Program, haveScript ? "more than one script" : "unknown option",
                         arg.c_str());
            Usage(stderr, form);
            return 2;
        } else {
            options.Script = arg;
            haveScript = true;
        }
    }
    if (!haveScript && !options.Fields) {
        Usage(stderr, form);
        return 2;
    }
    return 0;
}

bool ReadScript(const std::string& path, std::string& text, std::string& error)
{
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        if (std::cin.bad()) {
            error = "cannot read standard input";
            return false;
        }
        return true;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "cannot read " + path + ": it is a folder";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    text = content.str();
    return true;
}

// One thread prints, so the client's threads never wait for the terminal while
// they hold the fan-out's lock; lines and the runner's messages keep one order.
class TPrinter {
public:
    TPrinter() : Worker([this] { Loop(); }) {}
    ~TPrinter() { Finish(); }
    TPrinter(const TPrinter&) = delete;
    TPrinter& operator=(const TPrinter&) = delete;

    void Push(std::string line)
    {
        bool wake = false;
        {
            std::lock_guard guard(Lock);
            // The printing thread sleeps only on an empty list: lines that
            // come while it prints wait for its next round without a wake-up.
            wake = Lines.empty();
            Lines.push_back(std::move(line));
        }
        if (wake)
            Ready.notify_one();
    }

    // Prints what is left and ends the thread.
    void Finish()
    {
        {
            std::lock_guard guard(Lock);
            Finished = true;
        }
        Ready.notify_one();
        if (Worker.joinable())
            Worker.join();
    }

private:
    void Loop()
    {
        std::unique_lock lock(Lock);
        for (;;) {
            Ready.wait(lock, [this] { return !Lines.empty() || Finished; });
            if (Lines.empty())
                return;
            std::deque<std::string> batch;
            batch.swap(Lines);
            lock.unlock();
            for (std::string& line : batch) {
                line += '\n';
                // A reader that went away (closed pipe) costs the output, never the run.
                if (!Failed && std::fwrite(line.data(), 1, line.size(), stdout) != line.size())
                    Failed = true;
            }
            if (!Failed && std::fflush(stdout) != 0)
                Failed = true;
            lock.lock();
        }
    }

    std::mutex Lock;
    std::condition_variable Ready;
    std::deque<std::string> Lines;
    bool Finished = false;
    bool Failed = false;
    std::thread Worker;
};

// Ctrl-C or SIGTERM cancels the script at its next step or wait (a command's
// wait for the broker ends at once), so the connections still end through
// Close; a second one ends the process at once. A SIGUSR1 from outside is
// taken and ignored: only the watch's own owner ends it.
class TSignalWatch {
public:
    explicit TSignalWatch(TScriptRunner& runner)
    {
        sigemptyset(&Signals);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
            sigaddset(&Signals, s);
        Worker = std::thread([this, &runner] {
            int received = 0;
            bool cancelled = false;
            while (sigwait(&Signals, &received) == 0) {
                if (received == SIGUSR1) {
                    if (Stopping.load())
                        return;
                    continue;
                }
                if (cancelled)
                    std::_Exit(130);
                cancelled = true;
                runner.Cancel();
            }
        });
    }
    ~TSignalWatch()
    {
        Stopping.store(true);
        pthread_kill(Worker.native_handle(), SIGUSR1);
        Worker.join();
    }
    TSignalWatch(const TSignalWatch&) = delete;
    TSignalWatch& operator=(const TSignalWatch&) = delete;

    // Every thread made after this inherits the blocked set, so only the watch takes them.
    static void BlockSignals()
    {
        sigset_t signals;
        sigemptyset(&signals);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
            sigaddset(&signals, s);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        ::signal(SIGPIPE, SIG_IGN);
    }

private:
    sigset_t Signals;
    std::atomic<bool> Stopping{false};
    std::thread Worker;
};

// A hundred clients hold a few descriptors each: take what the hard limit allows.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

const char* StatusWord(TScriptStatus status)
{
    switch (status) {
    case TScriptStatus::Passed: return "passed";
    case TScriptStatus::Failed: return "FAILED";
    case TScriptStatus::Cancelled: return "CANCELLED";
    }
    return "";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "check") == 0)
        return RunCheckCommand(std::vector<std::string>(argv + 2, argv + argc));
    Randomize();
    // Lends the labels and captions to the help, the field list and the parser.
    TSilentFrontEnd noFrontEnd;
    const TForm1 labels(noFrontEnd);
    TOptions options;
    if (const int code = ParseOptions(argc, argv, options, labels); code != 0)
        return code < 0 ? 0 : code;
    if (options.Fields) {
        ListFields(labels);
        return 0;
    }
    if (!options.Directory.empty()) {
        struct stat st {};
        if (::stat(options.Directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "%s: --dir %s: no such folder\n", Program, options.Directory.c_str());
            return 2;
        }
    }
    std::string text, error;
    const std::string name = options.Script == "-" ? "stdin" : options.Script;
    if (!ReadScript(options.Script, text, error)) {
        std::fprintf(stderr, "%s: %s\n", Program, error.c_str());
        return 2;
    }

    // The whole script is checked before anything is sent.
    TScript script;
    script.Name = name;
    const std::vector<TScriptError> errors = ParseScript(text, labels, script);
    if (!errors.empty()) {
        for (const TScriptError& e : errors)
            std::fprintf(stderr, "%s\n", LineMessage(name, e.Line, e.Text, e.Reason).c_str());
        std::fprintf(stderr, "%s: %s: not run: %zu line%s cannot be parsed\n", Program, name.c_str(), errors.size(),
                     errors.size() == 1 ? "" : "s");
        return 2;
    }

    TSignalWatch::BlockSignals();
    RaiseDescriptorLimit();
    TPrinter printer;
    // With several clients each line says whose it is, the names in one column.
    std::size_t width = 0;
    for (const std::string& client : script.Clients)
        width = std::max(width, client.size());
    auto prefixed = [&](const std::string& client, std::string line) {
        if (!script.NamesClients || client.empty())
            return line;
        return client + std::string(width > client.size() ? width - client.size() : 0, ' ') + " | " + line;
    };

    TScriptRunner* runnerOf = nullptr;
    TSessionOptions sessionOptions;
    sessionOptions.EventPort = options.EventPort;
    sessionOptions.PayloadRoot = options.Directory;
    sessionOptions.FolderPerClient = script.NamesClients;
    sessionOptions.ErrorTitle = Program;
    sessionOptions.OnBox = [&](TSessionClient&, const std::string& title, const std::string& boxText) {
        if (runnerOf != nullptr)
            runnerOf->BoxShown(title, boxText);
    };
    sessionOptions.OnFieldError = [&](TSessionClient& client, const TSessionFieldError& fieldError) {
        if (runnerOf != nullptr)
            runnerOf->FieldError(client.Name(), fieldError);
    };
    int status = 1;
    {
        TSession session(sessionOptions);
        TEventLineFormat format;
        format.UTF8 = CodePage::IsUTF8();
        int observer = 0;
        if (!options.Quiet)
            observer = session.AddLineObserver([&printer, &prefixed, format](const TSessionLine& l) {
                const TEventRecord& r = l.Record;
                printer.Push(prefixed(
                    l.Client, FormatEventLine(BuildEventText(r.Time, 0, "", r.Source, r.N1, r.N2, r.Message), format)));
            });
        TScriptRunner runner(session, [&printer, &options, &prefixed](const TScriptMessage& m) {
            if (!options.Quiet || m.Kind == TScriptMessage::Failure)
                printer.Push(prefixed(m.Client, EscapeControls(m.Text, CodePage::IsUTF8())));
        });
        runnerOf = &runner;
        TScriptResult result;
        {
            TSignalWatch signals(runner);
            result = runner.Run(script);
        }
        // The connections and the senders end while their lines can still be printed.
        session.CloseAll();
        runnerOf = nullptr;
        if (observer != 0)
            session.RemoveLineObserver(observer);
        std::string summary = std::string(Program) + ": " + name + ": " + StatusWord(result.Status);
        if (result.Status == TScriptStatus::Passed)
            summary += " (" + std::to_string(result.StepsRun) + " lines)";
        else
            summary += " at line " + std::to_string(result.Line);
        printer.Push(summary);
        status = result.Status == TScriptStatus::Passed ? 0 : 1;
    }
    printer.Finish();
    return status;
}
