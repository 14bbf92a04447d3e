// The console against a real broker, each figure beside the same work done by
// mosquitto's own command-line tools or by a bare socket, in the same run:
//   publish  PUBLISH(file) at QoS 1 until "received PUBACK ["  vs mosquitto_pub -f
//   receive  one big publication until its "Pub_" file is written  vs mosquitto_sub -C 1
//   ping     PINGREQ until "received PINGRESP ["  vs a bare-socket PINGREQ/PINGRESP
//   idle     resident memory of a connected client left idle
// Every mode runs in a process of its own so that its peak resident memory is
// its own. Lines starting with "@" carry the figures for bench/run.
//
//   broker_bench <mode> --host H --port P [--file F] [--reps N] [--runs N]
//                 [--seconds N] [--dir D] [--broker-log PATH]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/form/Form1.h"
#include "diag/EventLine.h"
#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/Thread.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what);
}

double MsSince(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

int64_t RealNowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[at];
}

// A field of /proc/self/status in kB (VmRSS, VmHWM), -1 if missing.
long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    const std::string key = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(key.size()));
    return -1;
}

void Figure(const std::string& key, double value)
{
    std::printf("@%s %.3f\n", key.c_str(), value);
    std::fflush(stdout);
}

// Compared piece by piece, so that no copy of a payload adds to this process's memory.
bool SameContent(const std::string& a, const std::string& b)
{
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb)
        return false;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        fa.read(ba.data(), std::streamsize(ba.size()));
        fb.read(bb.data(), std::streamsize(bb.size()));
        if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
        if (fa.gcount() == 0)
            return true;
    }
}

int64_t FileSize(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

struct TOptions {
    std::string Mode, Host = "127.0.0.1", File, Dir = "/tmp", BrokerLog;
    int Port = 1883, Reps = 3, Runs = 1000, Seconds = 5;
};

TOptions ParseOptions(int argc, char** argv)
{
    if (argc < 2)
        Fail("usage: broker_bench publish|receive|ping|idle --host H --port P [--file F] [--reps N] "
             "[--runs N] [--seconds N] [--dir D] [--broker-log PATH]");
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
        else Fail("unknown option " + key);
    }
    return o;
}

// ---------------------------------------------------------------------------
// The diagnostics of the console under test, read back with the kernel's
// arrival time of each datagram (SO_TIMESTAMPNS, realtime clock), so that the
// moment a line was sent is known without a reader thread's wake-up in between.

struct TDatagram {
    TEventLine Line;
    int64_t ArrivalNs = 0;
};

class TDatagramCapture {
public:
    TDatagramCapture()
    {
        FSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (FSocket < 0)
            Fail("UDP socket: " + std::string(std::strerror(errno)));
        const int size = 8 << 20, one = 1;
        if (::setsockopt(FSocket, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            ::setsockopt(FSocket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        ::setsockopt(FSocket, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            Fail("UDP bind: " + std::string(std::strerror(errno)));
        FPort = ntohs(address.sin_port);
    }
    ~TDatagramCapture() { ::close(FSocket); }
    TDatagramCapture(const TDatagramCapture&) = delete;
    TDatagramCapture& operator=(const TDatagramCapture&) = delete;

    int Port() const { return FPort; }

    // The next datagram within timeoutMs.
    bool Next(TDatagram& datagram, int timeoutMs)
    {
        pollfd p{FSocket, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        char buffer[4096];
        alignas(cmsghdr) char control[256];
        iovec io{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(FSocket, &message, 0);
        if (n < 0)
            return false;
        datagram.ArrivalNs = RealNowNs();
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                datagram.ArrivalNs = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
        datagram.Line = TEventLine{};
        ParseEventLine(std::string_view(buffer, size_t(n)), datagram.Line);
        if (datagram.Line.Message.find("*ERROR* could not receive") != std::string::npos)
            ++FCouldNotReceive;
        if (datagram.Line.Message.find("*EXCEPTIN*") != std::string::npos)
            ++FExceptions;
        return true;
    }

    // Reads lines until one whose message starts with one of the prefixes; each
    // wait for a next line lasts at most timeoutMs.
    bool WaitForLine(const std::vector<std::string>& prefixes, TDatagram& found, int timeoutMs,
                     const std::function<void(const TDatagram&)>& seen = nullptr)
    {
        TDatagram d;
        while (Next(d, timeoutMs)) {
            if (seen)
                seen(d);
            for (const std::string& prefix : prefixes)
                if (d.Line.Message.rfind(prefix, 0) == 0) {
                    found = d;
                    return true;
                }
        }
        return false;
    }

    void Drain()
    {
        TDatagram d;
        while (Next(d, 0)) {
        }
    }

    int CouldNotReceive() const { return FCouldNotReceive; }
    int Exceptions() const { return FExceptions; }

private:
    int FSocket = -1;
    int FPort = 0;
    int FCouldNotReceive = 0;
    int FExceptions = 0;
};

// ---------------------------------------------------------------------------
// The console without a window.

class TBenchFrontEnd : public TFrontEnd {
public:
    std::vector<std::string> Errors;
    void ShowError(const std::string& text) override { Errors.push_back(text); }
    void ShowMessageBox(const std::string& title, const std::string& text, bool) override
    {
        Errors.push_back(title + ": " + text);
    }
    bool ChooseFile(const std::string&, const std::string&, std::string&) override { return false; }
    void SetPingTimer(bool, int) override {}
    void ControlsChanged() override {}
};

class TConsole {
public:
    TDatagramCapture Capture;
    TBenchFrontEnd FrontEnd;
    std::unique_ptr<TForm1> Form;

    TConsole(const TOptions& options, const std::string& clientID, const std::string& payloadDir = "")
    {
        Form = std::make_unique<TForm1>(FrontEnd, Capture.Port());
        Command(&TForm1::FormCreate);
        Form->BrokerEdit1.Text = options.Host;
        Form->BrokerPortSpn.SetValue(options.Port);
        Form->ClientIDEdit.Text = clientID;
        Form->PayloadDirectory = payloadDir;
    }
    ~TConsole()
    {
        if (Form && Form->Client)
            Form->Run(&TForm1::DisconnectBtnClick);
    }

    void Command(THandler handler)
    {
        Form->Run(handler);
        if (!FrontEnd.Errors.empty())
            Fail("console error: " + FrontEnd.Errors.front());
    }

    // "Open" and "CONNECT", answered with return code 0.
    void OpenSession()
    {
        Command(&TForm1::ConnectBtnClick);
        if (!Form->Client || !Form->Client->SocketReady)
            Fail("Open did not connect");
        Command(&TForm1::MQTT_CONNECT_BtnClick);
        TDatagram d;
        if (!Capture.WaitForLine({"ConnectReturnCode "}, d, 5000) || d.Line.Message != "ConnectReturnCode 0")
            Fail("CONNECT not accepted: " + d.Line.Message);
    }
};

// ---------------------------------------------------------------------------
// mosquitto's tools as child processes.

struct TChild {
    pid_t Pid = -1;
};

TChild Spawn(const std::vector<std::string>& args, const std::string& stdoutPath = "")
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdoutPath.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    TChild child;
    const int rc = ::posix_spawnp(&child.Pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        Fail("cannot start " + args[0] + ": " + std::strerror(rc));
    return child;
}

// Waits for the child; its exit status must be 0. (Its ru_maxrss would be of no
// use: a spawned child starts from this process's high-water mark.)
void Reap(const TChild& child, const std::string& name)
{
    int status = 0;
    if (::waitpid(child.Pid, &status, 0) != child.Pid)
        Fail("waitpid " + name + ": " + std::strerror(errno));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(name + " failed, status " + std::to_string(status));
}

std::vector<std::string> ToolArgs(const char* tool, const TOptions& o, const std::string& clientID)
{
    return {tool, "-h", o.Host, "-p", std::to_string(o.Port), "-V", "mqttv31", "-i", clientID};
}

// Waits until the broker's log shows the subscription "<clientID> <qos> <topic>";
// without a log, gives the tool a generous moment instead.
void WaitForSubscription(const TOptions& o, const std::string& clientID, const std::string& topic)
{
    if (o.BrokerLog.empty()) {
        SleepMs(1000);
        return;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        std::ifstream log(o.BrokerLog);
        std::string line;
        while (std::getline(log, line))
            if (line.find(clientID + " ") != std::string::npos && line.find(" " + topic) != std::string::npos)
                return;
        SleepMs(2);
    }
    Fail("no subscription of " + clientID + " in " + o.BrokerLog);
}

// ---------------------------------------------------------------------------
// Payload files: IN_CLOSE_WRITE of a "Pub_" file in the directory.

class TPayloadWatch {
public:
    explicit TPayloadWatch(const std::string& dir) : FDir(dir)
    {
        FFd = ::inotify_init1(IN_CLOEXEC);
        if (FFd < 0 || ::inotify_add_watch(FFd, dir.c_str(), IN_CLOSE_WRITE) < 0)
            Fail("inotify: " + std::string(std::strerror(errno)));
    }
    ~TPayloadWatch() { ::close(FFd); }
    TPayloadWatch(const TPayloadWatch&) = delete;
    TPayloadWatch& operator=(const TPayloadWatch&) = delete;

    // The path of the next "Pub_" file closed after writing, within timeoutMs.
    std::string WaitForClosedFile(int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            pollfd p{FFd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, left) <= 0)
                return "";
            alignas(inotify_event) char buffer[4096];
            const ssize_t n = ::read(FFd, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                const std::string name = e->len ? e->name : "";
                if (name.rfind("Pub_", 0) == 0)
                    return FDir + "/" + name;
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
    }

private:
    std::string FDir;
    int FFd = -1;
};

std::string MakeTempDir(const std::string& parent, const char* name)
{
    std::string pattern = parent + "/" + name + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        Fail("mkdtemp: " + std::string(std::strerror(errno)));
    return pattern;
}

std::string Unique(const char* prefix)
{
    return std::string(prefix) + std::to_string(::getpid());
}

// ---------------------------------------------------------------------------

void ReportMemory(const std::string& mode)
{
    Figure(mode + "_hwm_kb", double(StatusKb("VmHWM")));
}

// PUBLISH(file) at QoS 1: from the start of the command until the "received
// PUBACK [" line left the process (the 10 ms pause after that line is not
// counted). mosquitto_pub: from its start until it exited (its own connect and
// disconnect included).
void BenchPublish(const TOptions& o)
{
    const int64_t size = FileSize(o.File);
    if (size <= 0)
        Fail("--file must name a non-empty file");
    TConsole console(o, Unique("bp-"));
    console.Form->PublishDataFileEdit.Text = o.File;
    console.Form->PublishTopicEdit.Text = "bench/publish/console";
    console.Form->PublishSpn.SetValue(1);
    console.Form->PublishRetainChk = false;
    console.OpenSession();

    std::vector<double> ours, tool;
    std::printf("PUBLISH(file) of %lld bytes at QoS 1\n%-4s %14s %16s %14s\n", (long long)size, "rep",
                "console ms", "(whole click ms)", "mosquitto_pub ms");
    for (int rep = 0; rep < o.Reps; ++rep) {
        console.Capture.Drain();
        const int64_t startNs = RealNowNs();
        const auto start = Clock::now();
        console.Command(&TForm1::Button7Click);
        const double whole = MsSince(start, Clock::now());
        TDatagram d;
        if (!console.Capture.WaitForLine({"received PUBACK [", "*ERROR*"}, d, 5000)
            || d.Line.Message.rfind("received PUBACK [", 0) != 0)
            Fail("no PUBACK: " + d.Line.Message);
        ours.push_back(double(d.ArrivalNs - startNs) / 1e6);

        auto args = ToolArgs("mosquitto_pub", o, Unique("bpt-"));
        for (const char* a : {"-q", "1", "-t", "bench/publish/tool", "-f"})
            args.emplace_back(a);
        args.push_back(o.File);
        const auto toolStart = Clock::now();
        const TChild child = Spawn(args);
        Reap(child, "mosquitto_pub");
        tool.push_back(MsSince(toolStart, Clock::now()));
        std::printf("%-4d %14.1f %16.1f %14.1f\n", rep + 1, ours.back(), whole, tool.back());
    }
    Figure("publish_ours_ms", Median(ours));
    Figure("publish_tool_ms", Median(tool));
    Figure("publish_errors", console.Capture.CouldNotReceive() + console.Capture.Exceptions());
    ReportMemory("publish");
}

// One publication of the file's size, published by mosquitto_pub at QoS 1 to
// a subscription at QoS 1, from the publisher's start until the payload file
// is complete: the console's "Pub_" file closed, or mosquitto_sub -C 1 -N
// exited. The console's report lines before the file is written pause 10 ms
// each; those pauses are subtracted (10 ms per paused line seen).
void BenchReceive(const TOptions& o)
{
    const int64_t size = FileSize(o.File);
    if (size <= 0)
        Fail("--file must name a non-empty file");
    const std::string dir = MakeTempDir(o.Dir, "receive");
    const long rssBefore = StatusKb("VmRSS");

    TConsole console(o, Unique("br-"), dir);
    console.Form->SubscribeTopicListEdit.Text = "bench/receive/console";
    console.Form->SubscribeQoSListEdit.Text = "1";
    console.OpenSession();
    console.Command(&TForm1::Button2Click);
    TDatagram d;
    if (!console.Capture.WaitForLine({"SubackGrantedQoSList "}, d, 5000) || d.Line.Message != "SubackGrantedQoSList 1")
        Fail("SUBSCRIBE not granted: " + d.Line.Message);

    // Lines of the event-handler thread that are followed by a 10 ms pause.
    const std::vector<std::string> paused = {"received PUBLISH [", "----- PublishData -------", "MessageType     ",
        "MessageID       ", "FixedDup        ", "FixedQos        ", "FixedRetain     ", "PublishTopic    ",
        "PublishDataSize ", "PublishData(UTF8) ", "received PUBREL ["};

    std::vector<double> ours, oursRaw, tool;
    // Where the console's time goes: the frame stored by the reader, then the
    // report lines, then the file written after the last one's pause.
    std::printf("receiving one publication of %lld bytes at QoS 1\n%-4s %12s %10s %8s %11s %11s %16s\n",
                (long long)size, "rep", "console ms", "(raw ms)", "pauses", "stored at", "file write",
                "mosquitto_sub ms");
    for (int rep = 0; rep < o.Reps; ++rep) {
        // The console.
        {
            TPayloadWatch watch(dir);
            console.Capture.Drain();
            auto args = ToolArgs("mosquitto_pub", o, Unique("brp-"));
            for (const char* a : {"-q", "1", "-t", "bench/receive/console", "-f"})
                args.emplace_back(a);
            args.push_back(o.File);
            const int64_t startNs = RealNowNs();
            const auto start = Clock::now();
            const TChild publisher = Spawn(args);
            const std::string path = watch.WaitForClosedFile(60000);
            const auto end = Clock::now();
            const int64_t endNs = RealNowNs();
            if (path.empty())
                Fail("no payload file within 60 s");
            Reap(publisher, "mosquitto_pub");
            int pauses = 0;
            int64_t storedNs = 0, lastPausedNs = 0;
            TDatagram line;
            while (console.Capture.Next(line, 0)) {
                if (line.Line.Message.rfind("TMQTTClientReaderThread: store frame", 0) == 0 && !storedNs)
                    storedNs = line.ArrivalNs;
                for (const std::string& prefix : paused)
                    if (line.Line.Message.rfind(prefix, 0) == 0) {
                        ++pauses;
                        lastPausedNs = line.ArrivalNs;
                    }
            }
            const double raw = MsSince(start, end);
            oursRaw.push_back(raw);
            ours.push_back(raw - 10.0 * pauses);
            if (!SameContent(path, o.File))
                Fail("payload file differs from the published file");
            ::unlink(path.c_str());
            std::printf("%-4d %12.1f %10.1f %8d %11.1f %11.1f", rep + 1, ours.back(), raw, pauses,
                        double(storedNs - startNs) / 1e6, double(endNs - lastPausedNs) / 1e6 - 10.0);
        }
        // mosquitto_sub, subscribed before the clock starts.
        {
            const std::string out = dir + "/tool.out";
            const std::string subID = Unique("brs-") + "-" + std::to_string(rep);
            auto subArgs = ToolArgs("mosquitto_sub", o, subID);
            for (const char* a : {"-q", "1", "-C", "1", "-N", "-t", "bench/receive/tool"})
                subArgs.emplace_back(a);
            const TChild subscriber = Spawn(subArgs, out);
            WaitForSubscription(o, subID, "bench/receive/tool");
            auto pubArgs = ToolArgs("mosquitto_pub", o, Unique("brq-"));
            for (const char* a : {"-q", "1", "-t", "bench/receive/tool", "-f"})
                pubArgs.emplace_back(a);
            pubArgs.push_back(o.File);
            const auto start = Clock::now();
            const TChild publisher = Spawn(pubArgs);
            Reap(subscriber, "mosquitto_sub");
            tool.push_back(MsSince(start, Clock::now()));
            Reap(publisher, "mosquitto_pub");
            if (!SameContent(out, o.File))
                Fail("mosquitto_sub output differs from the published file");
            ::unlink(out.c_str());
            std::printf(" %16.1f\n", tool.back());
        }
    }
    ::rmdir(dir.c_str());
    Figure("receive_ours_ms", Median(ours));
    Figure("receive_ours_raw_ms", Median(oursRaw));
    Figure("receive_tool_ms", Median(tool));
    Figure("receive_payload_bytes", double(size));
    Figure("receive_rss_before_kb", double(rssBefore));
    Figure("receive_errors", console.Capture.CouldNotReceive() + console.Capture.Exceptions());
    ReportMemory("receive");
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
    Figure("ping_exceptions", console.Capture.Exceptions());
    ReportMemory("ping");
}

// Resident memory before "Open" and after "Open", "CONNECT" and some seconds idle.
void BenchIdle(const TOptions& o)
{
    TConsole console(o, Unique("bi-"));
    const long before = StatusKb("VmRSS");
    console.OpenSession();
    std::printf("idle connected client: VmRSS before Open %ld kB", before);
    for (int s = 0; s < o.Seconds; ++s) {
        SleepMs(1000);
        std::printf(", %ds %ld kB", s + 1, StatusKb("VmRSS"));
    }
    std::printf("\n");
    const long after = StatusKb("VmRSS");
    Figure("idle_before_kb", double(before));
    Figure("idle_after_kb", double(after));
    Figure("idle_growth_kb", double(after - before));
    Figure("idle_seconds", o.Seconds);
    Figure("idle_errors", console.Capture.CouldNotReceive() + console.Capture.Exceptions());
    ReportMemory("idle");
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const TOptions o = ParseOptions(argc, argv);
        if (o.Mode == "publish") BenchPublish(o);
        else if (o.Mode == "receive") BenchReceive(o);
        else if (o.Mode == "ping") BenchPing(o);
        else if (o.Mode == "idle") BenchIdle(o);
        else Fail("unknown mode " + o.Mode);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "broker_bench: %s\n", e.what());
        return 1;
    }
}
