// The console against a real broker, each figure beside the same work done by
// mosquitto's own command-line tools or by a bare socket, in the same run:
//   publish  PUBLISH(file) at QoS 1 until "received PUBACK ["  vs mosquitto_pub -f
//   receive  one publication until its "Pub_" file is complete  vs mosquitto_sub -C 1 -N
//   rate     many small QoS 1 publications until the last file is complete, the
//            lines going to the log listener  vs mosquitto_sub -C N
//   close    "Close" of a connected idle client
//   idle     wake-ups and resident memory of a connected idle client
//   ping     PINGREQ until "received PINGRESP ["  vs a bare-socket PINGREQ/PINGRESP
//   connect  "Open" and "CONNECT" until "ConnectReturnCode 0"  vs mosquitto_pub -m (its whole run)
// publish, receive and rate run the console in a fresh process per repetition
// (the modes publish-once, receive-once and rate-once of this program), so that
// its start, its peak resident memory and its CPU time are its own. Lines
// starting with "@" carry the figures for bench/run: "@name median min max count".
//
//   broker_bench <mode> --host H --port P [--file F] [--reps N] [--runs N] [--seconds N]
//                [--dir D] [--broker-log PATH] [--listener PATH] [--lines F] [--count N]
//                [--log-port N]   (where the console's lines go; rate-once only)
//                [--cafile F]     (TLS for the console and the tools, trusting the CA in F)
//                [--publish-port N]   (receive, rate: the publisher's port, in clear)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <numeric>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench/BenchConsole.h"
#include "bench/BenchProcess.h"
#include "console/form/Form1.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/Thread.h"

namespace {

using namespace bench;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

TOptions ParseOptions(int argc, char** argv)
{
    if (argc < 2)
        Fail("usage: broker_bench publish|receive|rate|close|idle|ping|connect --host H --port P [--file F] [--reps N] "
             "[--runs N] [--seconds N] [--dir D] [--broker-log PATH] [--listener PATH] [--lines F] [--count N] "
             "[--cafile F] [--publish-port N]");
    TOptions o;
    o.Mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--host") o.Host = value;
        else if (key == "--port") o.Port = std::stoi(value);
        else if (key == "--file") o.File = value;
        else if (key == "--reps") o.Reps = std::stoi(value);
        else if (key == "--runs") o.Runs = std::stoi(value);
        else if (key == "--seconds") o.Seconds = std::stoi(value);
        else if (key == "--dir") o.Dir = value;
        else if (key == "--broker-log") o.BrokerLog = value;
        else if (key == "--listener") o.Listener = value;
        else if (key == "--lines") o.Lines = value;
        else if (key == "--count") o.Count = std::stoi(value);
        else if (key == "--log-port") o.LogPort = std::stoi(value);
        else if (key == "--cafile") o.CaFile = value;
        else if (key == "--publish-port") o.PublishPort = std::stoi(value);
        else Fail("unknown option " + key);
    }
    if (o.Reps < 1)
        Fail("--reps must be at least 1");
    return o;
}

// The pause between a subscription and the publisher's start. mosquitto writes
// without TCP_NODELAY, so a small PUBLISH that follows its SUBACK closely waits
// for the subscriber's delayed acknowledgement of the SUBACK (40 ms or more on
// Linux, at most 200 ms); after this pause that acknowledgement has gone out.
constexpr int SettleMs = 250;

void ReportMemory(const std::string& mode)
{
    Figure(mode + "_hwm_kb", double(StatusKb("VmHWM")));
}

int64_t PayloadSize(const TOptions& o)
{
    const int64_t size = FileSize(o.File);
    if (size <= 0)
        Fail("--file must name a non-empty file");
    return size;
}

// One measurement in a fresh process: this program in another mode; its
// figures come back through a file, its failures on the shared standard error.
std::map<std::string, double> RunFresh(const TOptions& o, const std::string& mode,
                                       std::initializer_list<std::string> more)
{
    std::vector<std::string> args = {SelfPath(), mode, "--host", o.Host, "--port", std::to_string(o.Port),
                                     "--broker-log", o.BrokerLog, "--cafile", o.CaFile,
                                     "--publish-port", std::to_string(o.PublishPort)};
    args.insert(args.end(), more.begin(), more.end());
    const std::string out = o.Dir + "/" + mode + ".figures";
    const int64_t start = MonoNs();
    TChild child = Spawn(args, OutputTo(out));
    const TExit exit = Reap(child, 600000);
    auto figures = ReadFigures(out);
    ::unlink(out.c_str());
    // The whole process, from its start to its exit (its checks included): a
    // rough cross-check of the spans.
    figures["process_ms"] = Ms(exit.AtNs - start);
    figures["process_cpu_ms"] = Ms(exit.CpuNs);
    return figures;
}

// The console's run and its yardstick's, in turn: the console first in odd
// repetitions, the yardstick first in even ones, so that what one leaves behind
// (a file still being written back, a warm cache) does not always fall on the same side.
void InTurn(int rep, const std::function<void()>& ours, const std::function<void()>& tool)
{
    if (rep % 2 == 0) {
        ours();
        tool();
    } else {
        tool();
        ours();
    }
}

// ---------------------------------------------------------------------------
// PUBLISH(file) at QoS 1. Ours: in a fresh process, after "Open" and "CONNECT",
// from the start of the command until the "received PUBACK [" line is handed
// to the diagnostics (the pause after it not counted); CPU time of the whole
// process over the same span. mosquitto_pub: from its start until it exited
// (its own start, connect and disconnect included); CPU time of its whole life.

void BenchPublishOnce(const TOptions& o)
{
    PayloadSize(o);
    TConsole console(o, Unique("bp-"));
    console.Form->PublishDataFileEdit.Text = o.File;
    console.Form->PublishTopicEdit.Text = "bench/publish/console";
    console.Form->PublishSpn.SetValue(1);
    console.Form->PublishRetainChk = false;
    console.OpenSession();
    const long hwmBefore = StatusKb("VmHWM");

    console.Lines.Arm({"received PUBACK [", "*ERROR*"});
    const int64_t cpuStart = ProcessCpuNs();
    const int64_t start = MonoNs();
    console.Command(&TForm1::Button7Click);
    const int64_t clickEnd = MonoNs();
    const long hwm = StatusKb("VmHWM");
    TLineMark mark;
    if (!console.Lines.Wait(mark, 0) || mark.Message.rfind("received PUBACK [", 0) != 0)
        Fail("no PUBACK: " + mark.Message);
    Figure("ms", Ms(mark.AtNs - start));
    Figure("cpu_ms", Ms(mark.CpuNs - cpuStart));
    Figure("click_ms", Ms(clickEnd - start));
    Figure("hwm_kb", double(hwm));
    Figure("hwm_before_kb", double(hwmBefore));
    Figure("errors", console.Lines.Errors());
}

void BenchPublish(const TOptions& o)
{
    const int64_t size = PayloadSize(o);
    std::vector<double> ours, oursCpu, oursHwm, click, processCpu, tool, toolCpu;
    double errors = 0;
    std::printf("PUBLISH(file) of %lld bytes at QoS 1, each console run in a fresh process\n"
                "%-4s %11s %11s %13s %12s %17s %17s %15s\n",
                (long long)size, "rep", "console ms", "CPU ms", "peak RSS MiB", "(click ms)", "(process CPU ms)",
                "mosquitto_pub ms", "CPU ms");
    for (int rep = 0; rep < o.Reps; ++rep) {
        const auto runOurs = [&] {
            const auto f = RunFresh(o, "publish-once", {"--file", o.File, "--dir", o.Dir});
            ours.push_back(Need(f, "ms"));
            oursCpu.push_back(Need(f, "cpu_ms"));
            oursHwm.push_back(Need(f, "hwm_kb"));
            click.push_back(Need(f, "click_ms"));
            processCpu.push_back(Need(f, "process_cpu_ms"));
            errors += Need(f, "errors");
        };
        const auto runTool = [&] {
            const auto args = ToolArgs("mosquitto_pub", o, Unique("bpt-"),
                                       {"-q", "1", "-t", "bench/publish/tool", "-f", o.File.c_str()});
            const int64_t start = MonoNs();
            TChild publisher = Spawn(args);
            const TExit exit = Reap(publisher);
            tool.push_back(Ms(exit.AtNs - start));
            toolCpu.push_back(Ms(exit.CpuNs));
        };
        InTurn(rep, runOurs, runTool);
        std::printf("%-4d %11.1f %11.1f %13.1f %12.1f %17.1f %17.1f %15.1f\n", rep + 1, ours.back(), oursCpu.back(),
                    oursHwm.back() / 1024, click.back(), processCpu.back(), tool.back(), toolCpu.back());
    }
    Figure("ours_ms", ours);
    Figure("ours_cpu_ms", oursCpu);
    Figure("ours_hwm_kb", oursHwm);
    Figure("ours_click_ms", click);
    Figure("ours_process_cpu_ms", processCpu);
    Figure("tool_ms", tool);
    Figure("tool_cpu_ms", toolCpu);
    Figure("payload_bytes", double(size));
    Figure("errors", errors);
}

// ---------------------------------------------------------------------------
// One publication of the file, published by mosquitto_pub at QoS 1 to a
// subscription at QoS 1 made beforehand, from the publisher's start until the
// payload file is complete. Ours: in a fresh process with the report pause at
// 0, until the engine reports the "Pub_" file saved; CPU time of the whole
// process over the same span (taken after the publisher was started: until
// then this process only waits for it to call exec). mosquitto_sub -C 1 -N
// (to a file): until it exited; its CPU time over the same span is its whole
// life's less what it had used when the publisher was started.

void BenchReceiveOnce(const TOptions& o)
{
    PayloadSize(o);
    TConsole console(o, Unique("br-"), o.Dir);
    console.SetReportPause(0);
    console.OpenSession();
    console.Subscribe("bench/receive/console");
    SleepMs(SettleMs);

    console.Lines.Arm({"received PUBLISH ["});
    console.Saved.Expect(1);
    const auto args = ToolArgs("mosquitto_pub", PublisherOptions(o), Unique("brp-"),
                               {"-q", "1", "-t", "bench/receive/console", "-f", o.File.c_str()});
    const int64_t start = MonoNs();
    TChild publisher = Spawn(args);
    const int64_t cpuStart = ProcessCpuNs();
    console.Saved.Wait(120000);
    const long hwm = StatusKb("VmHWM");
    Reap(publisher);
    TLineMark taken;
    const bool seen = console.Lines.Wait(taken, 0);

    const std::string path = console.Saved.Paths().front();
    if (!SameContent(path, o.File))
        Fail("payload file " + path + " differs from the published file");
    ::unlink(path.c_str());
    Figure("ms", Ms(console.Saved.AtNs() - start));
    Figure("cpu_ms", Ms(console.Saved.CpuNs() - cpuStart));
    Figure("taken_ms", seen ? Ms(taken.AtNs - start) : -1);
    Figure("hwm_kb", double(hwm));
    Figure("errors", console.Lines.Errors());
}

// mosquitto_sub subscribed beforehand, then mosquitto_pub: the time from the
// publisher's start until the subscriber exited, and the subscriber's CPU time
// over that span. The subscriber's output must be what was published.
struct TToolReceive {
    double Ms = 0, CpuMs = 0;
};

TToolReceive ToolReceive(const TOptions& o, const std::string& topic, std::initializer_list<const char*> subArgs,
                         std::initializer_list<const char*> pubArgs, const std::string& out, const std::string& in)
{
    static int serial = 0;
    const std::string subID = Unique("bs-") + "-" + std::to_string(++serial);
    auto sub = ToolArgs("mosquitto_sub", o, subID, subArgs);
    sub.insert(sub.end(), {"-t", topic});
    TChild subscriber = Spawn(sub, OutputTo(out));
    WaitForSubscription(o, subID, topic);
    SleepMs(SettleMs);
    auto pub = ToolArgs("mosquitto_pub", PublisherOptions(o), Unique("bq-") + "-" + std::to_string(serial), pubArgs);
    pub.insert(pub.end(), {"-t", topic});

    const int64_t subCpuStart = OtherProcessCpuNs(subscriber.Pid);
    const int64_t start = MonoNs();
    TChild publisher = Spawn(pub, InputFrom(in));
    const TExit exit = Reap(subscriber);
    Reap(publisher);
    return {Ms(exit.AtNs - start), Ms(exit.CpuNs - subCpuStart)};
}

void BenchReceive(const TOptions& o)
{
    const int64_t size = PayloadSize(o);
    const std::string dir = MakeTempDir(o.Dir, "receive");
    std::vector<double> ours, oursCpu, oursHwm, taken, tool, toolCpu;
    double errors = 0;
    std::printf("receiving one publication of %lld bytes at QoS 1, report pause 0 ms, each console run in a fresh "
                "process\n%-4s %11s %11s %13s %14s %17s %15s\n",
                (long long)size, "rep", "console ms", "CPU ms", "peak RSS MiB", "(taken at ms)", "mosquitto_sub ms",
                "CPU ms");
    for (int rep = 0; rep < o.Reps; ++rep) {
        const auto runOurs = [&] {
            const auto f = RunFresh(o, "receive-once", {"--file", o.File, "--dir", dir});
            ours.push_back(Need(f, "ms"));
            oursCpu.push_back(Need(f, "cpu_ms"));
            oursHwm.push_back(Need(f, "hwm_kb"));
            taken.push_back(Need(f, "taken_ms"));
            errors += Need(f, "errors");
        };
        const auto runTool = [&] {
            const std::string out = dir + "/tool.out";
            const TToolReceive t = ToolReceive(o, "bench/receive/tool", {"-q", "1", "-C", "1", "-N"},
                                               {"-q", "1", "-f", o.File.c_str()}, out, "");
            if (!SameContent(out, o.File))
                Fail("mosquitto_sub's output differs from the published file");
            ::unlink(out.c_str());
            tool.push_back(t.Ms);
            toolCpu.push_back(t.CpuMs);
        };
        InTurn(rep, runOurs, runTool);
        std::printf("%-4d %11.1f %11.1f %13.1f %14.1f %17.1f %15.1f\n", rep + 1, ours.back(), oursCpu.back(),
                    oursHwm.back() / 1024, taken.back(), tool.back(), toolCpu.back());
    }
    ::rmdir(dir.c_str());
    Figure("ours_ms", ours);
    Figure("ours_cpu_ms", oursCpu);
    Figure("ours_hwm_kb", oursHwm);
    Figure("ours_taken_ms", taken);
    Figure("tool_ms", tool);
    Figure("tool_cpu_ms", toolCpu);
    Figure("payload_bytes", double(size));
    Figure("errors", errors);
}

// ---------------------------------------------------------------------------
// Small messages: the lines of the file (one message each, sent by
// mosquitto_pub -l at QoS 1), from the publisher's start until the last one's
// payload file is complete. Ours: in a fresh process with the report pause at
// 0 and its lines going to the log listener; every file must hold one of the
// lines, each line once. mosquitto_sub -C N (to a file): until it exited. The
// listener's output lines are counted against the lines the console sent.

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

void BenchRateOnce(const TOptions& o)
{
    const std::vector<std::string> lines = ReadLines(o.Lines);
    if (int(lines.size()) != o.Count)
        Fail("--lines must hold --count lines");
    std::unordered_set<std::string> expected(lines.begin(), lines.end());
    if (expected.size() != lines.size())
        Fail("--lines must hold distinct lines");

    {
        TConsole console(o, Unique("bm-"), o.Dir, o.LogPort);
        console.SetReportPause(0);
        console.OpenSession();
        console.Subscribe("bench/rate/console");
        SleepMs(SettleMs);

        console.Saved.Expect(o.Count);
        const auto args = ToolArgs("mosquitto_pub", PublisherOptions(o), Unique("bmp-"), {"-q", "1", "-t", "bench/rate/console", "-l"});
        const int64_t start = MonoNs();
        TChild publisher = Spawn(args, InputFrom(o.Lines));
        const int64_t cpuStart = ProcessCpuNs();
        console.Saved.Wait(300000);
        const long hwm = StatusKb("VmHWM");
        Reap(publisher);

        // A file that holds no line, or a line already seen, is wrong; a line
        // without a file is a message lost (e.g. a file overwritten by one saved
        // later under the same name).
        int wrong = 0;
        for (const std::string& path : console.Saved.Paths()) {
            if (expected.erase(ReadFile(path)) != 1)
                ++wrong;
            ::unlink(path.c_str());
        }
        Figure("files_wrong", wrong);
        Figure("files_lost", double(expected.size()));
        Figure("ms", Ms(console.Saved.AtNs() - start));
        Figure("cpu_ms", Ms(console.Saved.CpuNs() - cpuStart));
        Figure("hwm_kb", double(hwm));

        // Every line the console sends, up to the end of FormDestroy (which
        // sends the last ones before it closes the sender).
        console.Command(&TForm1::DisconnectBtnClick);
        console.Command(&TForm1::FormDestroy);
        Figure("lines_sent", double(console.Lines.Lines()));
        Figure("errors", console.Lines.Errors());
    }
}

// The port the log listener says it listens on (on its standard error).
int ListenerPort(const std::string& errPath)
{
    const int64_t deadline = MonoNs() + 10'000'000'000;
    while (MonoNs() < deadline) {
        const std::string text = ReadFile(errPath);
        const size_t at = text.find(" port ");
        if (at != std::string::npos && text.find('\n', at) != std::string::npos)
            return std::stoi(text.substr(at + 6));
        SleepMs(5);
    }
    Fail("the log listener did not say its port: " + ReadFile(errPath));
}

// The listener's output lines once it has caught up with `sent`, or once its
// count has not moved for two seconds.
long ListenerLines(const std::string& outPath, long sent)
{
    long lines = CountLines(outPath), last = -1;
    int64_t movedAt = MonoNs();
    while (lines < sent && MonoNs() - movedAt < 2'000'000'000) {
        SleepMs(20);
        last = lines;
        lines = CountLines(outPath);
        if (lines != last)
            movedAt = MonoNs();
    }
    return lines;
}

void BenchRate(const TOptions& o)
{
    const std::string dir = MakeTempDir(o.Dir, "rate");
    std::vector<double> ours, oursCpu, oursHwm, rate, tool, toolCpu, sent, lost, filesLost, filesWrong;
    double errors = 0;
    std::printf("%d messages of %lld bytes at QoS 1, report pause 0 ms, lines to the log listener, each console run "
                "in a fresh process\n%-4s %11s %11s %10s %11s %11s %11s %15s %15s\n",
                o.Count, (long long)ReadLines(o.Lines).front().size(), "rep", "console ms", "CPU ms", "msg/s",
                "lines sent", "lines lost", "files lost", "mosquitto_sub ms", "CPU ms");
    for (int rep = 0; rep < o.Reps; ++rep) {
        std::map<std::string, double> f;
        const auto runOurs = [&] {
            const std::string listenerOut = dir + "/listener.out", listenerErr = dir + "/listener.err";
            TChild listener =
                Spawn({o.Listener, "--port", "0", "--color", "never"}, OutputTo(listenerOut, listenerErr));
            long received = 0;
            try {
                const int port = ListenerPort(listenerErr);
                f = RunFresh(o, "rate-once", {"--lines", o.Lines, "--count", std::to_string(o.Count), "--dir", dir,
                                              "--log-port", std::to_string(port)});
                received = ListenerLines(listenerOut, long(Need(f, "lines_sent")));
            } catch (...) {
                Stop(listener);
                throw;
            }
            Stop(listener);
            const std::string listenerSaid = ReadFile(listenerErr);
            if (listenerSaid.find("dropped") != std::string::npos)
                std::printf("log listener: %s", listenerSaid.c_str());
            ours.push_back(Need(f, "ms"));
            oursCpu.push_back(Need(f, "cpu_ms"));
            oursHwm.push_back(Need(f, "hwm_kb"));
            rate.push_back(o.Count / ours.back() * 1000);
            sent.push_back(Need(f, "lines_sent"));
            lost.push_back(sent.back() - double(received));
            filesLost.push_back(Need(f, "files_lost"));
            filesWrong.push_back(Need(f, "files_wrong"));
            errors += Need(f, "errors");
            ::unlink(listenerOut.c_str());
            ::unlink(listenerErr.c_str());
        };
        const auto runTool = [&] {
            const std::string out = dir + "/tool.out";
            const std::string count = std::to_string(o.Count);
            const TToolReceive t =
                ToolReceive(o, "bench/rate/tool", {"-q", "1", "-C", count.c_str()}, {"-q", "1", "-l"}, out, o.Lines);
            if (CountLines(out) != o.Count)
                Fail("mosquitto_sub wrote " + std::to_string(CountLines(out)) + " lines, not " + count);
            ::unlink(out.c_str());
            tool.push_back(t.Ms);
            toolCpu.push_back(t.CpuMs);
        };
        InTurn(rep, runOurs, runTool);
        std::printf("%-4d %11.1f %11.1f %10.0f %11.0f %11.0f %11.0f %15.1f %15.1f\n", rep + 1, ours.back(),
                    oursCpu.back(), rate.back(), Need(f, "lines_sent"), lost.back(),
                    filesLost.back() + filesWrong.back(), tool.back(), toolCpu.back());
    }
    ::rmdir(dir.c_str());
    Figure("ours_ms", ours);
    Figure("ours_cpu_ms", oursCpu);
    Figure("ours_hwm_kb", oursHwm);
    Figure("ours_per_s", rate);
    Figure("lines_lost", lost);
    Figure("files_lost", filesLost);
    Figure("files_wrong", filesWrong);
    auto sum = [](const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0); };
    Figure("lines_sent_total", sum(sent));
    Figure("lines_lost_total", sum(lost));
    Figure("files_lost_total", sum(filesLost) + sum(filesWrong));
    Figure("tool_ms", tool);
    Figure("tool_cpu_ms", toolCpu);
    Figure("count", o.Count);
    Figure("errors", errors);
}

// ---------------------------------------------------------------------------
// "Close" of a connected idle client: the whole command (the client's
// destruction and the "disconnected." line). Each run opens a fresh
// connection and leaves it idle for 100 to 199 ms, so that the close falls
// at different points of any periodic wait of the client's threads.

void BenchClose(const TOptions& o)
{
    TConsole console(o, Unique("bc-"));
    std::vector<double> close;
    std::printf("Close of a connected idle client, %d runs:", o.Reps);
    for (int run = 0; run < o.Reps; ++run) {
        console.OpenSession();
        SleepMs(100 + run * 37 % 100);
        const auto start = Clock::now();
        console.Command(&TForm1::DisconnectBtnClick);
        close.push_back(MsSince(start, Clock::now()));
        std::printf(" %.1f", close.back());
    }
    std::printf(" ms\n");
    Figure("close_ms", close);
    Figure("errors", console.Lines.Errors());
}

// ---------------------------------------------------------------------------
// A connected idle client: the context switches of its threads over the idle
// span (every thread of the process but the one that measures, which sleeps
// through the span), and its resident memory before and after the span.

void BenchIdle(const TOptions& o)
{
    TConsole console(o, Unique("bi-"));
    const long beforeOpen = StatusKb("VmRSS");
    console.OpenSession();
    SleepMs(200);   // the CONNECT answer's report is over

    // The two readings of the resident memory enclose the sleep alone, so that
    // what the measuring allocates is not counted as the client's growth.
    const std::string self = std::to_string(::gettid());
    const auto start = ThreadSwitches();
    const int64_t startNs = MonoNs();
    const long rssStart = StatusKb("VmRSS");
    SleepMs(o.Seconds * 1000);
    const long rssEnd = StatusKb("VmRSS");
    const auto end = ThreadSwitches();
    const double seconds = double(MonoNs() - startNs) / 1e9;

    long switches = 0;
    std::printf("idle connected client, %.1f s: context switches", seconds);
    for (const auto& [tid, thread] : end) {
        if (tid == self)
            continue;
        const auto before = start.find(tid);
        const long n = thread.Switches - (before == start.end() ? 0 : before->second.Switches);
        switches += n;
        std::printf(", thread %s (%s) %ld", tid.c_str(), thread.Name.c_str(), n);
    }
    std::printf("; VmRSS %ld kB before Open, %ld kB at the start of the span, %ld kB at its end\n", beforeOpen,
                rssStart, rssEnd);
    Figure("idle_wakeups_per_s", double(switches) / seconds);
    Figure("idle_rss_start_kb", double(rssStart));
    Figure("idle_rss_end_kb", double(rssEnd));
    Figure("idle_growth_kb", double(rssEnd - rssStart));
    Figure("idle_open_growth_kb", double(rssEnd - beforeOpen));
    Figure("idle_seconds", seconds);
    Figure("idle_errors", console.Lines.Errors());
    ReportMemory("idle");
}

// A bare MQTT 3.1 connection: CONNECT, then PINGREQ/PINGRESP round trips.
class TBareConnection {
public:
    TBareConnection(const TOptions& o, const std::string& clientID)
    {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(o.Port));
        if (FFd < 0 || ::inet_pton(AF_INET, o.Host.c_str(), &address.sin_addr) != 1
            || ::connect(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            Fail("bare connect: " + std::string(std::strerror(errno)));
        const int one = 1;   // as the console's socket
        ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        TFrameBuffer frame;
        int32_t length = 0;
        if (!BuildConnectFrame(frame, length, clientID, "", "", false, true, 0, 60, "", ""))
            Fail("bare CONNECT frame");
        SendAll(frame.get(), size_t(length));
        uint8_t connack[4];
        ReceiveAll(connack, sizeof connack);
        if (connack[0] != 0x20 || connack[3] != 0)
            Fail("bare CONNECT refused");
    }
    ~TBareConnection() { ::close(FFd); }
    TBareConnection(const TBareConnection&) = delete;
    TBareConnection& operator=(const TBareConnection&) = delete;

    void Ping()
    {
        static const uint8_t pingreq[2] = {0xC0, 0x00};
        uint8_t answer[2];
        SendAll(pingreq, 2);
        ReceiveAll(answer, 2);
        if (answer[0] != 0xD0 || answer[1] != 0)
            Fail("bare PINGRESP expected");
    }

private:
    void SendAll(const uint8_t* bytes, size_t count)
    {
        while (count > 0) {
            const ssize_t n = ::send(FFd, bytes, count, MSG_NOSIGNAL);
            if (n <= 0)
                Fail("bare send: " + std::string(std::strerror(errno)));
            bytes += n;
            count -= size_t(n);
        }
    }
    void ReceiveAll(uint8_t* bytes, size_t count)
    {
        while (count > 0) {
            const ssize_t n = ::recv(FFd, bytes, count, 0);
            if (n <= 0)
                Fail("bare recv: connection ended");
            bytes += n;
            count -= size_t(n);
        }
    }
    int FFd = -1;
};

// PINGREQ: from the start of the command until the "received PINGRESP [" line
// left the process, i.e. the answer was taken (the 10 ms pause after that line
// is not counted). Cross-check: the whole command less the median cost of
// SleepMs(10) measured in this process. Yardstick: a bare-socket round trip to
// the same broker, interleaved run by run.
void BenchPing(const TOptions& o)
{
    TConsole console(o, Unique("bg-"));
    console.OpenSession();
    TBareConnection bare(o, Unique("bgb-"));

    std::vector<double> pause;
    for (int i = 0; i < 100; ++i) {
        const auto start = Clock::now();
        SleepMs(10);
        pause.push_back(MsSince(start, Clock::now()));
    }
    const double pauseMs = Median(pause);

    std::vector<double> ours, whole, tool;
    int missing = 0;
    for (int run = 0; run < o.Runs; ++run) {
        const int64_t startNs = RealNowNs();
        const auto start = Clock::now();
        console.Command(&TForm1::MQTT_PINGREQ_BtnClick);
        whole.push_back(MsSince(start, Clock::now()) - pauseMs);
        TDatagram d;
        if (console.Capture.WaitForLine({"received PINGRESP [", "*ERROR* could not receive PINGRESP ["}, d, 5000)
            && d.Line.Message.rfind("received PINGRESP [", 0) == 0)
            ours.push_back(double(d.ArrivalNs - startNs) / 1e6);
        else
            ++missing;

        const auto bareStart = Clock::now();
        bare.Ping();
        tool.push_back(MsSince(bareStart, Clock::now()));
    }
    std::printf("PINGREQ round trips: %d runs, %d without PINGRESP; SleepMs(10) costs %.3f ms here\n", o.Runs,
                missing, pauseMs);
    std::printf("%-36s %10s %10s %10s\n", "", "median us", "p90 us", "p99 us");
    auto row = [](const char* name, const std::vector<double>& v) {
        std::printf("%-36s %10.1f %10.1f %10.1f\n", name, Median(v) * 1000, Percentile(v, 90) * 1000,
                    Percentile(v, 99) * 1000);
    };
    row("console, until answer taken", ours);
    row("console, whole command - pause", whole);
    row("bare socket", tool);
    Figure("ping_ours_us", Median(ours) * 1000);
    Figure("ping_ours_whole_us", Median(whole) * 1000);
    Figure("ping_tool_us", Median(tool) * 1000);
    Figure("ping_runs", o.Runs);
    Figure("ping_could_not_receive", console.Capture.CouldNotReceive());
    Figure("ping_errors", console.Lines.Errors());
    ReportMemory("ping");
}

// ---------------------------------------------------------------------------
// Connecting: "Open" (the TCP connection and, with --cafile, the TLS handshake
// with its certificate checks) and "CONNECT" until the "ConnectReturnCode 0"
// line, report pause 0, then "Close" (not counted). mosquitto_pub -m, QoS 0: its whole run,
// from its start (loading the CA file, connecting, CONNECT, one PUBLISH,
// DISCONNECT) until it exited; its CPU time over its whole life.
void BenchConnect(const TOptions& o)
{
    TConsole console(o, Unique("bc-"));
    // The pauses after the report lines are the console's, not the connection's.
    console.SetReportPause(0);
    std::vector<double> ours, tool, toolCpu;
    for (int run = 0; run < o.Runs; ++run) {
        const auto runOurs = [&] {
            const int64_t start = MonoNs();
            console.OpenSession();
            ours.push_back(Ms(MonoNs() - start));
            console.Command(&TForm1::DisconnectBtnClick);
        };
        const auto runTool = [&] {
            const auto args = ToolArgs("mosquitto_pub", o, Unique("bct-"), {"-t", "bench/connect", "-m", "x"});
            const int64_t start = MonoNs();
            TChild publisher = Spawn(args);
            const TExit exit = Reap(publisher);
            tool.push_back(Ms(exit.AtNs - start));
            toolCpu.push_back(Ms(exit.CpuNs));
        };
        InTurn(run, runOurs, runTool);
    }
    std::printf("connecting%s: %d runs\n%-44s %10s %10s %10s\n", o.CaFile.empty() ? "" : " over TLS", o.Runs, "",
                "median ms", "min ms", "max ms");
    auto row = [](const char* name, const std::vector<double>& v) {
        std::printf("%-44s %10.2f %10.2f %10.2f\n", name, Median(v), Percentile(v, 0), Percentile(v, 100));
    };
    row("console, Open + CONNECT until CONNACK", ours);
    row("mosquitto_pub -m, its whole run", tool);
    Figure("ours_ms", ours);
    Figure("tool_ms", tool);
    Figure("tool_cpu_ms", toolCpu);
    Figure("errors", console.Lines.Errors());
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const TOptions o = ParseOptions(argc, argv);
        if (o.Mode == "publish") BenchPublish(o);
        else if (o.Mode == "publish-once") BenchPublishOnce(o);
        else if (o.Mode == "receive") BenchReceive(o);
        else if (o.Mode == "receive-once") BenchReceiveOnce(o);
        else if (o.Mode == "rate") BenchRate(o);
        else if (o.Mode == "rate-once") BenchRateOnce(o);
        else if (o.Mode == "close") BenchClose(o);
        else if (o.Mode == "idle") BenchIdle(o);
        else if (o.Mode == "ping") BenchPing(o);
        else if (o.Mode == "connect") BenchConnect(o);
        else Fail("unknown mode " + o.Mode);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "broker_bench: %s\n", e.what());
        return 1;
    }
}
