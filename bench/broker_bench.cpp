// The console's own figures against a real broker, in this process, each
// with the span it covers (tarnwick-cli against mosquitto's tools, whole
// processes on both sides, is cli_bench):
//   close    "Close" of a connected idle client: the whole command
//   idle     wake-ups and resident memory of a connected idle client
//   ping     PINGREQ until "received PINGRESP [" arrived as a datagram  vs a
//            bare-socket PINGREQ/PINGRESP from this process, run by run
// Lines starting with "@" carry the figures for bench/run: "@name median min max count".
//
//   broker_bench <mode> --host H --port P [--reps N] [--runs N] [--seconds N] [--broker-log PATH]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
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
        Fail("usage: broker_bench close|idle|ping --host H --port P [--reps N] [--runs N] [--seconds N] "
             "[--broker-log PATH]");
    TOptions o;
    o.Mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--host") o.Host = value;
        else if (key == "--port") o.Port = std::stoi(value);
        else if (key == "--reps") o.Reps = std::stoi(value);
        else if (key == "--runs") o.Runs = std::stoi(value);
        else if (key == "--seconds") o.Seconds = std::stoi(value);
        else if (key == "--broker-log") o.BrokerLog = value;
        else Fail("unknown option " + key);
    }
    if (o.Reps < 1)
        Fail("--reps must be at least 1");
    return o;
}

void ReportMemory(const std::string& mode)
{
    Figure(mode + "_hwm_kb", double(StatusKb("VmHWM")));
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

}  // namespace

int main(int argc, char** argv)
{
    try {
        const TOptions o = ParseOptions(argc, argv);
        if (o.Mode == "close") BenchClose(o);
        else if (o.Mode == "idle") BenchIdle(o);
        else if (o.Mode == "ping") BenchPing(o);
        else Fail("unknown mode " + o.Mode);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "broker_bench: %s\n", e.what());
        return 1;
    }
}
