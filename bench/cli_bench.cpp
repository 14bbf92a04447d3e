// Whole processes on both sides: tarnwick-cli running a session script beside
// mosquitto's own command-line tools doing the same work, taking turns, in the
// same run. Every figure of a side covers that side's whole process: its start,
// connect, the work and its exit.
//
//   rate     N small QoS 1 publications received, every report line and a file
//            each, report pause 0                              vs mosquitto_sub -C N
//   receive  one publication received into a file                vs mosquitto_sub -C 1 -N
//   publish  PUBLISH(file) at QoS 1 until its PUBACK             vs mosquitto_pub -f
//   connect  Open + CONNECT, then Close                          vs mosquitto_pub -m (QoS 0)
//
// Time: receive and rate from just before the publishing mosquitto_pub is
// started (both subscribers subscribed and 250 ms quiet before) until the
// subscriber's process has ended; publish and connect from just before the
// process is started until it has ended. CPU: user + system time of the
// process's whole life (wait4). Memory: the process's own peak resident
// memory (VmHWM, read every 2 ms while it runs). Lines starting with "@" carry
// the figures for bench/run: "@name median min max count".
//
//   cli_bench <mode> --cli PATH --host H --port P [--file F] [--reps N] [--runs N]
//             [--dir D] [--broker-log PATH] [--lines F] [--count N]
//             [--cafile F] [--publish-port N]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench/BenchConsole.h"
#include "bench/BenchProcess.h"

namespace {

using namespace bench;

struct TCliOptions : TOptions {
    std::string Cli;
};

TCliOptions ParseOptions(int argc, char** argv)
{
    if (argc < 2)
        Fail("usage: cli_bench rate|receive|publish|connect --cli PATH --host H --port P [--file F] [--reps N] "
             "[--runs N] [--dir D] [--broker-log PATH] [--lines F] [--count N] [--cafile F] "
             "[--publish-port N]");
    TCliOptions o;
    o.Mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--cli") o.Cli = value;
        else if (key == "--host") o.Host = value;
        else if (key == "--port") o.Port = std::stoi(value);
        else if (key == "--file") o.File = value;
        else if (key == "--reps") o.Reps = std::stoi(value);
        else if (key == "--runs") o.Runs = std::stoi(value);
        else if (key == "--dir") o.Dir = value;
        else if (key == "--broker-log") o.BrokerLog = value;
        else if (key == "--lines") o.Lines = value;
        else if (key == "--count") o.Count = std::stoi(value);
        else if (key == "--cafile") o.CaFile = value;
        else if (key == "--publish-port") o.PublishPort = std::stoi(value);
        else Fail("unknown option " + key);
    }
    if (o.Cli.empty())
        Fail("--cli is needed");
    if (o.Reps < 1 || o.Runs < 1)
        Fail("--reps and --runs must be at least 1");
    return o;
}

// After a SUBACK mosquitto's next small write waits for the subscriber's
// delayed acknowledgement (no TCP_NODELAY): both sides get this quiet time.
constexpr int SettleMs = 250;

// A UDP port for the console's datagrams. Counting: a thread reads them as
// they come (recvmmsg) and counts those holding given texts, so that every
// report line is checked without a log listener's work on the machine; else
// nobody reads them and the kernel drops them once its buffer is full. Either
// way no port-unreachable answer is made for them.
class TDatagramSink {
public:
    explicit TDatagramSink(std::vector<std::string> counted = {}) : FTexts(std::move(counted))
    {
        FFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        // Room for several seconds of report lines: on a loaded machine this
        // reader can be kept off the processor for a while, and a datagram
        // that finds the buffer full is lost.
        const int size = 64 << 20;
        if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            Fail("datagram sink: " + std::string(std::strerror(errno)));
        if (::setsockopt(FFd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            ::setsockopt(FFd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        FPort = ntohs(address.sin_port);
        FCounts.assign(FTexts.size(), 0);
        if (!FTexts.empty())
            FReader = std::thread([this] { Read(); });
    }
    ~TDatagramSink()
    {
        FStop = true;
        if (FReader.joinable())
            FReader.join();
        ::close(FFd);
    }
    TDatagramSink(const TDatagramSink&) = delete;
    TDatagramSink& operator=(const TDatagramSink&) = delete;
    int Port() const { return FPort; }

    // Datagrams holding each text (and all datagrams) since the last Take,
    // once nothing has come for 200 ms.
    std::vector<long> Take(long& all)
    {
        long last = -1;
        while (FAll.load() != last) {
            last = FAll.load();
            SleepMs(200);
        }
        std::lock_guard guard(FLock);
        all = FAll.exchange(0);
        std::vector<long> counts(FCounts.size(), 0);
        counts.swap(FCounts);
        return counts;
    }

private:
    void Read()
    {
        constexpr int kBatch = 64;
        std::vector<std::array<char, 2048>> buffers(kBatch);
        std::vector<iovec> pieces(kBatch);
        std::vector<mmsghdr> messages(kBatch);
        while (!FStop) {
            pollfd p{FFd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            for (int i = 0; i < kBatch; ++i) {
                pieces[i] = iovec{buffers[i].data(), buffers[i].size()};
                messages[i] = mmsghdr{};
                messages[i].msg_hdr.msg_iov = &pieces[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = ::recvmmsg(FFd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
            if (n <= 0)
                continue;
            std::lock_guard guard(FLock);
            for (int i = 0; i < n; ++i) {
                const std::string_view text(buffers[i].data(), messages[i].msg_len);
                for (size_t t = 0; t < FTexts.size(); ++t)
                    FCounts[t] += text.find(FTexts[t]) != std::string_view::npos;
            }
            FAll += n;
        }
    }

    int FFd = -1;
    int FPort = 0;
    const std::vector<std::string> FTexts;
    std::mutex FLock;
    std::vector<long> FCounts;
    std::atomic<long> FAll{0};
    std::atomic<bool> FStop{false};
    std::thread FReader;
};

// The script's first lines: the connection's fields, Open, CONNECT.
std::string SessionStart(const TCliOptions& o, const std::string& clientID)
{
    std::string s = "set BrokerEdit1 " + o.Host + "\nset Port " + std::to_string(o.Port) + "\nset ClientIDEdit " +
                    clientID + "\nset ReportPauseSpn 0\n";
    if (!o.CaFile.empty())
        s += "set TlsChk on\nset TlsCaFileEdit \"" + o.CaFile + "\"\nset TlsVerifyHostChk on\n";
    s += "open\nexpect ClientSocketOnConnect: start\nconnect\nexpect ConnectReturnCode 0\n";
    return s;
}

std::string Subscription(const std::string& topic)
{
    return "set SubscribeTopicListEdit " + topic + "\nset SubscribeQoSListEdit 1\nsubscribe\n"
           "expect SubackGrantedQoSList 1\n";
}

std::string WriteScript(const TCliOptions& o, const std::string& name, const std::string& text)
{
    const std::string path = o.Dir + "/" + name + ".tws";
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::vector<std::string> CliArgs(const TCliOptions& o, int eventPort, const std::string& dir, const std::string& script)
{
    return {o.Cli, "--quiet", "--event-port", std::to_string(eventPort), "--dir", dir, script};
}

// A side's figures over the repetitions.
struct TSide {
    std::vector<double> Ms, CpuMs, HwmKb;
    void Add(const TExit& exit, int64_t startNs)
    {
        Ms.push_back(bench::Ms(exit.AtNs - startNs));
        CpuMs.push_back(bench::Ms(exit.CpuNs));
        // A process that ends within 2 ms of its start may not be read at all.
        if (exit.HwmKb > 0)
            HwmKb.push_back(double(exit.HwmKb));
    }
    void Report(const std::string& prefix) const
    {
        Figure(prefix + "_ms", Ms);
        Figure(prefix + "_cpu_ms", CpuMs);
        Figure(prefix + "_hwm_kb", HwmKb);
    }
};

void PrintRow(int rep, const TSide& ours, const TSide& tool, const std::string& more = "")
{
    auto peak = [](const TSide& side) { return side.HwmKb.empty() ? -1.0 : side.HwmKb.back() / 1024; };
    std::printf("%-4d %10.1f %10.1f %10.1f   %10.1f %10.1f %10.1f%s\n", rep + 1, ours.Ms.back(), ours.CpuMs.back(),
                peak(ours), tool.Ms.back(), tool.CpuMs.back(), peak(tool), more.c_str());
}

void PrintHeader(const char* what, const char* tool)
{
    std::printf("%s\n%-4s %10s %10s %10s   %10s %10s %10s\n%-4s %32s   %32s\n", what, "rep", "ms", "CPU ms",
                "peak MiB", "ms", "CPU ms", "peak MiB", "", "tarnwick-cli", tool);
}

// The console's run and its yardstick's take turns to go first.
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

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::vector<std::string> FilesIn(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (std::string(e->d_name).rfind("Pub_", 0) == 0)
                names.push_back(dir + "/" + e->d_name);
        ::closedir(d);
    }
    return names;
}

// ---------------------------------------------------------------------------
// Receiving: tarnwick-cli subscribed and waiting for the last message's
// report line, or mosquitto_sub -C N; the publisher is started once the
// subscription is in the broker's log and 250 ms have passed.

struct TReceiveRun {
    TExit Exit;
    int64_t StartNs = 0;
};

TReceiveRun RunSubscriber(const TCliOptions& o, const std::vector<std::string>& subscriber, const std::string& out,
                          const std::string& clientID, const std::string& topic,
                          const std::vector<std::string>& pubMore, const std::string& pubInput)
{
    TChild sub = Spawn(subscriber, OutputTo(out));
    try {
        WaitForSubscription(o, clientID, topic);
    } catch (...) {
        ::kill(sub.Pid, SIGKILL);
        throw;
    }
    SleepMs(SettleMs);
    auto pub = ToolArgs("mosquitto_pub", PublisherOptions(o), clientID + "-pub", {"-q", "1", "-t", topic.c_str()});
    pub.insert(pub.end(), pubMore.begin(), pubMore.end());
    TReceiveRun run;
    run.StartNs = MonoNs();
    TChild publisher = Spawn(pub, pubInput.empty() ? TRedirect{} : InputFrom(pubInput));
    run.Exit = ReapWatchingMemory(sub);
    Reap(publisher);
    return run;
}

void BenchRate(const TCliOptions& o)
{
    const std::vector<std::string> lines = ReadLines(o.Lines);
    if (int(lines.size()) != o.Count)
        Fail("--lines must hold --count lines");
    const std::unordered_set<std::string> distinct(lines.begin(), lines.end());
    if (distinct.size() != lines.size())
        Fail("--lines must hold distinct lines");
    const std::string dir = MakeTempDir(o.Dir, "rate");
    TDatagramSink sink({"PublishDataFile ", "PublishData(UTF8) "});
    TSide ours, tool;
    std::vector<double> filesWrong, linesMissing, datagrams;
    PrintHeader((std::to_string(o.Count) + " messages of " + std::to_string(lines.front().size()) +
                 " bytes at QoS 1, report pause 0, every line counted as it arrives; whole processes")
                    .c_str(),
                "mosquitto_sub");
    for (int rep = 0; rep < o.Reps; ++rep) {
        std::string more;
        const auto runOurs = [&] {
            const std::string files = dir + "/files";
            ::mkdir(files.c_str(), 0755);
            const std::string id = Unique("bcr") + "-" + std::to_string(rep);
            const std::string script = WriteScript(o, "rate", SessionStart(o, id) + Subscription("bench/cli/rate") +
                "expect \"PublishData(UTF8) " + lines.back() + "\" within 600000\nclose\n");
            const TReceiveRun run = RunSubscriber(o, CliArgs(o, sink.Port(), files, script), dir + "/cli.out", id,
                                                  "bench/cli/rate", {"-l"}, o.Lines);
            ours.Add(run.Exit, run.StartNs);
            // Every message once in a file, and every report line at the port.
            std::unordered_set<std::string> expected = distinct;
            int wrong = 0;
            for (const std::string& path : FilesIn(files)) {
                wrong += expected.erase(ReadFile(path)) != 1;
                ::unlink(path.c_str());
            }
            ::rmdir(files.c_str());
            filesWrong.push_back(wrong + double(expected.size()));
            long all = 0;
            const std::vector<long> seen = sink.Take(all);
            linesMissing.push_back(double(2L * o.Count - seen[0] - seen[1]));
            datagrams.push_back(double(all));
            more = "   files wrong/lost " + std::to_string(int(filesWrong.back())) + ", report lines lost " +
                   std::to_string(int(linesMissing.back())) + ", datagrams " + std::to_string(all);
        };
        const auto runTool = [&] {
            const std::string out = dir + "/tool.out", id = Unique("bcs") + "-" + std::to_string(rep);
            const std::string count = std::to_string(o.Count);
            auto sub = ToolArgs("mosquitto_sub", o, id, {"-q", "1", "-C", count.c_str(), "-t", "bench/cli/rate-tool"});
            const TReceiveRun run = RunSubscriber(o, sub, out, id, "bench/cli/rate-tool", {"-l"}, o.Lines);
            if (CountLines(out) != o.Count)
                Fail("mosquitto_sub wrote " + std::to_string(CountLines(out)) + " lines, not " + count);
            ::unlink(out.c_str());
            tool.Add(run.Exit, run.StartNs);
        };
        InTurn(rep, runOurs, runTool);
        PrintRow(rep, ours, tool, more);
    }
    ::rmdir(dir.c_str());
    ours.Report("ours");
    tool.Report("tool");
    Figure("files_wrong", filesWrong);
    Figure("lines_missing", linesMissing);
    Figure("datagrams", datagrams);
    Figure("count", o.Count);
}

void BenchReceive(const TCliOptions& o)
{
    const int64_t size = FileSize(o.File);
    if (size <= 0)
        Fail("--file must name a non-empty file");
    const std::string dir = MakeTempDir(o.Dir, "receive");
    TDatagramSink sink;
    TSide ours, tool;
    PrintHeader(("one publication of " + std::to_string(size) + " bytes at QoS 1, report pause 0; whole processes")
                    .c_str(),
                "mosquitto_sub");
    for (int rep = 0; rep < o.Reps; ++rep) {
        const auto runOurs = [&] {
            const std::string id = Unique("bcv") + "-" + std::to_string(rep), files = dir + "/files";
            ::mkdir(files.c_str(), 0755);
            const std::string script = WriteScript(o, "receive", SessionStart(o, id) + Subscription("bench/cli/receive") +
                "expect \"PublishDataFile \" within 600000\nclose\n");
            const TReceiveRun run = RunSubscriber(o, CliArgs(o, sink.Port(), files, script), dir + "/cli.out", id,
                                                  "bench/cli/receive", {"-f", o.File}, "");
            const std::vector<std::string> saved = FilesIn(files);
            if (saved.size() != 1 || !SameContent(saved.front(), o.File))
                Fail("tarnwick-cli's payload file differs from the published file");
            ::unlink(saved.front().c_str());
            ::rmdir(files.c_str());
            ours.Add(run.Exit, run.StartNs);
        };
        const auto runTool = [&] {
            const std::string out = dir + "/tool.out", id = Unique("bcw") + "-" + std::to_string(rep);
            auto sub = ToolArgs("mosquitto_sub", o, id, {"-q", "1", "-C", "1", "-N", "-t", "bench/cli/receive-tool"});
            const TReceiveRun run = RunSubscriber(o, sub, out, id, "bench/cli/receive-tool", {"-f", o.File}, "");
            if (!SameContent(out, o.File))
                Fail("mosquitto_sub's output differs from the published file");
            ::unlink(out.c_str());
            tool.Add(run.Exit, run.StartNs);
        };
        InTurn(rep, runOurs, runTool);
        PrintRow(rep, ours, tool);
    }
    ::rmdir(dir.c_str());
    ours.Report("ours");
    tool.Report("tool");
    Figure("payload_bytes", double(size));
}

// ---------------------------------------------------------------------------
// Publishing and connecting: each side's process from its start to its end.

TExit RunWhole(const std::vector<std::string>& args, const std::string& out, int64_t& startNs)
{
    startNs = MonoNs();
    TChild child = Spawn(args, OutputTo(out));
    return ReapWatchingMemory(child);
}

void BenchPublish(const TCliOptions& o)
{
    const int64_t size = FileSize(o.File);
    if (size <= 0)
        Fail("--file must name a non-empty file");
    TDatagramSink sink;
    TSide ours, tool;
    PrintHeader(("PUBLISH(file) of " + std::to_string(size) + " bytes at QoS 1; whole processes").c_str(),
                "mosquitto_pub");
    for (int rep = 0; rep < o.Reps; ++rep) {
        const auto runOurs = [&] {
            const std::string id = Unique("bcp") + "-" + std::to_string(rep);
            const std::string script = WriteScript(o, "publish", SessionStart(o, id) +
                "set PublishTopicEdit bench/cli/publish\nset PublishSpn 1\nset PublishRetainChk off\n"
                "set PublishDataFileEdit \"" + o.File + "\"\npublish-file\nexpect received PUBACK within 600000\nclose\n");
            int64_t start = 0;
            const TExit exit = RunWhole(CliArgs(o, sink.Port(), o.Dir, script), o.Dir + "/cli.out", start);
            ours.Add(exit, start);
        };
        const auto runTool = [&] {
            const auto args = ToolArgs("mosquitto_pub", o, Unique("bcq") + "-" + std::to_string(rep),
                                       {"-q", "1", "-t", "bench/cli/publish-tool", "-f", o.File.c_str()});
            int64_t start = 0;
            const TExit exit = RunWhole(args, o.Dir + "/tool.out", start);
            tool.Add(exit, start);
        };
        InTurn(rep, runOurs, runTool);
        PrintRow(rep, ours, tool);
    }
    ours.Report("ours");
    tool.Report("tool");
    Figure("payload_bytes", double(size));
}

void BenchConnect(const TCliOptions& o)
{
    TDatagramSink sink;
    TSide ours, tool;
    PrintHeader(("Open + CONNECT" + std::string(o.CaFile.empty() ? "" : " over TLS") +
                 ", then Close; mosquitto_pub -m x at QoS 0; whole processes")
                    .c_str(),
                "mosquitto_pub");
    for (int run = 0; run < o.Runs; ++run) {
        const auto runOurs = [&] {
            const std::string script =
                WriteScript(o, "connect", SessionStart(o, Unique("bcc") + "-" + std::to_string(run)) + "close\n");
            int64_t start = 0;
            const TExit exit = RunWhole(CliArgs(o, sink.Port(), o.Dir, script), o.Dir + "/cli.out", start);
            ours.Add(exit, start);
        };
        const auto runTool = [&] {
            const auto args = ToolArgs("mosquitto_pub", o, Unique("bcd") + "-" + std::to_string(run),
                                       {"-t", "bench/cli/connect", "-m", "x"});
            int64_t start = 0;
            const TExit exit = RunWhole(args, o.Dir + "/tool.out", start);
            tool.Add(exit, start);
        };
        InTurn(run, runOurs, runTool);
    }
    std::printf("%d runs each (ms: median [min..max]): tarnwick-cli %.2f [%.2f..%.2f], mosquitto_pub %.2f [%.2f..%.2f]\n",
                o.Runs, Median(ours.Ms), Percentile(ours.Ms, 0), Percentile(ours.Ms, 100), Median(tool.Ms),
                Percentile(tool.Ms, 0), Percentile(tool.Ms, 100));
    ours.Report("ours");
    tool.Report("tool");
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const TCliOptions o = ParseOptions(argc, argv);
        if (o.Mode == "rate") BenchRate(o);
        else if (o.Mode == "receive") BenchReceive(o);
        else if (o.Mode == "publish") BenchPublish(o);
        else if (o.Mode == "connect") BenchConnect(o);
        else Fail("unknown mode " + o.Mode);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cli_bench: %s\n", e.what());
        return 1;
    }
}
