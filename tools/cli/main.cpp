// tarnwick-cli: runs a session script against the console without a window and
// prints every diagnostic line the way the log listener does.
//
//   tarnwick-cli [--event-port N] [--dir DIR] [--quiet] SCRIPT
//
// Exit status: 0 every line ran and held, 1 a line failed (or the run was
// interrupted), 2 the script could not be read or parsed, or bad arguments.

#include "console/form/Form1.h"
#include "console/script/Script.h"
#include "console/script/ScriptRunner.h"
#include "diag/AppEventMsg.h"
#include "diag/EventLine.h"
#include "platform/CodePage.h"
#include "platform/Random.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include <vector>

namespace {

const char* const Program = "tarnwick-cli";

struct TOptions {
    int EventPort = 2056;
    std::string Directory;
    bool Quiet = false;
    std::string Script;
};

void Usage(std::FILE* out)
{
    std::fprintf(out,
                 "Usage: tarnwick-cli [--event-port N] [--dir DIR] [--quiet] SCRIPT\n"
                 "Runs a Tarnwick session script (SCRIPT a file, or - for standard input) without a window\n"
                 "and prints every diagnostic line as tarnwick-log-listener does.\n"
                 "\n"
                 "  --event-port N  UDP port on 127.0.0.1 the diagnostic datagrams still go to (default 2056)\n"
                 "  --dir DIR       folder for received payload files (default: the working directory)\n"
                 "  --quiet         print only failures and the final status\n"
                 "  --help          this text\n"
                 "\n"
                 "Script lines: set FIELD VALUE | COMMAND | sleep MS | expect TEXT [within MS]\n"
                 "            | expect-no TEXT [within MS] | expect-box TEXT    (# starts a comment)\n"
                 "Exit status: 0 passed, 1 a line failed, 2 the script cannot be read or parsed.\n");
}

// 0 to run, -1 to end with status 0 (help), otherwise the exit status.
int ParseOptions(int argc, char** argv, TOptions& options)
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
            Usage(stdout);
            return -1;
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
            Usage(stderr);
            return 2;
        } else {
            options.Script = arg;
            haveScript = true;
        }
    }
    if (!haveScript) {
        Usage(stderr);
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
        {
            std::lock_guard guard(Lock);
            Lines.push_back(std::move(line));
        }
        Ready.notify_one();
    }

    // Lines handed over together wake the printing thread once.
    void Push(std::vector<std::string>& lines)
    {
        {
            std::lock_guard guard(Lock);
            for (std::string& line : lines)
                Lines.push_back(std::move(line));
        }
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

// The console without a window: boxes become printed lines (through the
// runner), the file chooser is never offered, the runner keeps the ping timer.
class TCliFrontEnd : public TFrontEnd {
public:
    TScriptRunner* Runner = nullptr;

    void ShowError(const std::string& text) override
    {
        if (Runner != nullptr)
            Runner->BoxShown(Program, text);
    }
    void ShowMessageBox(const std::string& title, const std::string& text, bool) override
    {
        if (Runner != nullptr)
            Runner->BoxShown(title, text);
    }
    bool ChooseFile(const std::string&, const std::string&, std::string&) override { return false; }
    void SetPingTimer(bool, int) override {}
    void ControlsChanged() override {}
};

// Ctrl-C or SIGTERM cancels the script at its next step or wait, so the
// connection still ends through Close; a second one ends the process at once.
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
                if (received == SIGUSR1)
                    return;
                if (cancelled)
                    std::_Exit(130);
                cancelled = true;
                runner.Cancel();
            }
        });
    }
    ~TSignalWatch()
    {
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
    std::thread Worker;
};

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
    Randomize();
    TOptions options;
    if (const int code = ParseOptions(argc, argv, options); code != 0)
        return code < 0 ? 0 : code;
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
        std::fprintf(stdout, "%s: %s\n", Program, error.c_str());
        return 2;
    }

    TSignalWatch::BlockSignals();
    TCliFrontEnd frontEnd;
    TForm1 form(frontEnd, options.EventPort);
    form.PayloadDirectory = options.Directory;

    // The whole script is checked before anything is sent.
    TScript script;
    script.Name = name;
    const std::vector<TScriptError> errors = ParseScript(text, form, script);
    if (!errors.empty()) {
        for (const TScriptError& e : errors)
            std::fprintf(stdout, "%s\n", LineMessage(name, e.Line, e.Text, e.Reason).c_str());
        std::fprintf(stdout, "%s: %s: not run: %zu line%s cannot be parsed\n", Program, name.c_str(), errors.size(),
                     errors.size() == 1 ? "" : "s");
        return 2;
    }

    TPrinter printer;
    int status = 1;
    {
        TEventLineFormat format;
        format.UTF8 = CodePage::IsUTF8();
        // Added before the runner's own observer, so a line is queued for
        // printing before the runner can act on it.
        int observer = 0;
        if (!options.Quiet)
            observer = form.Events.AddBatchObserver([&printer, format](const TEventRecord* records, std::size_t count) {
                std::vector<std::string> lines;
                lines.reserve(count);
                for (std::size_t i = 0; i < count; ++i) {
                    const TEventRecord& r = records[i];
                    lines.push_back(
                        FormatEventLine(BuildEventText(r.Time, 0, "", r.Source, r.N1, r.N2, r.Message), format));
                }
                printer.Push(lines);
            });
        TScriptRunner runner(form, [&printer, &options](const TScriptMessage& m) {
            if (!options.Quiet || m.Kind == TScriptMessage::Failure)
                printer.Push(EscapeControls(m.Text, CodePage::IsUTF8()));
        });
        frontEnd.Runner = &runner;
        TScriptResult result;
        {
            TSignalWatch signals(runner);
            form.Run(&TForm1::FormCreate);
            result = runner.Run(script);
        }
        // The connection and the sender end while their lines can still be printed.
        form.Run(&TForm1::FormDestroy);
        frontEnd.Runner = nullptr;
        if (observer != 0)
            form.Events.RemoveObserver(observer);
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
