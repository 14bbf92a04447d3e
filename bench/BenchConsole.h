#pragma once
// The console under measurement in the bench's own process, without a window:
// TForm1 driven by its handlers, its lines watched in-process (the fan-out's
// observers, at the instant each line is sent) and, where a kernel time stamp
// is wanted, as datagrams. And what running mosquitto's tools needs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/BenchProcess.h"
#include "console/form/Form1.h"
#include "diag/EventLine.h"
#include "mqtt/engine/MQTTClient.h"
#include "mqtt/engine/SessionObserver.h"
#include "platform/Thread.h"

namespace bench {

struct TOptions {
    std::string Mode, Host = "127.0.0.1", File, Dir = "/tmp", BrokerLog, Lines;
    std::string CaFile;   // not empty: the console and mosquitto's tools speak TLS, trusting this CA
    int PublishPort = -1; // receive and rate: the port the publisher uses, in clear (below 0: Port, as the rest)
    int Port = 1883, Reps = 5, Runs = 1000, Seconds = 5, Count = 2000;
};

inline std::string Unique(const char* prefix)
{
    return std::string(prefix) + std::to_string(::getpid());
}

inline std::string MakeTempDir(const std::string& parent, const char* name)
{
    std::string pattern = parent + "/" + name + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        Fail("mkdtemp: " + std::string(std::strerror(errno)));
    return pattern;
}

// ---------------------------------------------------------------------------
// The console's datagrams with the kernel's arrival time of each
// (SO_TIMESTAMPNS, realtime clock), so that the moment a line was sent is
// known without a reader's wake-up in between.

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
        return true;
    }

    // Reads lines until one whose message starts with one of the prefixes; each
    // wait for a next line lasts at most timeoutMs.
    bool WaitForLine(const std::vector<std::string>& prefixes, TDatagram& found, int timeoutMs)
    {
        TDatagram d;
        while (Next(d, timeoutMs))
            for (const std::string& prefix : prefixes)
                if (d.Line.Message.rfind(prefix, 0) == 0) {
                    found = d;
                    return true;
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

private:
    int FSocket = -1;
    int FPort = 0;
    int FCouldNotReceive = 0;
};

// ---------------------------------------------------------------------------
// The console's lines as the fan-out hands them to its observers: counted,
// failures kept, and the first line with an armed prefix marked with the
// monotonic time and the process's CPU time at that instant.

struct TLineMark {
    std::string Message;
    int64_t AtNs = 0;
    int64_t CpuNs = 0;
};

class TLineWatch {
public:
    // Called under the fan-out's lock: only counts and copies.
    void OnLine(const TEventRecord& record)
    {
        const int64_t at = MonoNs();
        std::lock_guard guard(FLock);
        ++FLines;
        if (record.Message.find("*ERROR*") != std::string::npos
            || record.Message.find("*EXCEPTIN*") != std::string::npos) {
            if (FErrors++ == 0)
                FFirstError = record.Message;
        }
        if (FArmed && !FHit)
            for (const std::string& prefix : FPrefixes)
                if (record.Message.rfind(prefix, 0) == 0) {
                    FMark = TLineMark{record.Message, at, ProcessCpuNs()};
                    FHit = true;
                    FChanged.notify_all();
                    break;
                }
    }

    // Marks the next line that starts with one of the prefixes.
    void Arm(std::vector<std::string> prefixes)
    {
        std::lock_guard guard(FLock);
        FPrefixes = std::move(prefixes);
        FArmed = true;
        FHit = false;
    }

    // The marked line, waiting at most timeoutMs for it; disarms.
    bool Wait(TLineMark& mark, int timeoutMs)
    {
        std::unique_lock lock(FLock);
        FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FHit; });
        FArmed = false;
        if (!FHit)
            return false;
        mark = FMark;
        return true;
    }

    uint64_t Lines() const
    {
        std::lock_guard guard(FLock);
        return FLines;
    }
    int Errors() const
    {
        std::lock_guard guard(FLock);
        return FErrors;
    }
    std::string FirstError() const
    {
        std::lock_guard guard(FLock);
        return FFirstError;
    }

private:
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::string> FPrefixes;
    bool FArmed = false, FHit = false;
    TLineMark FMark;
    uint64_t FLines = 0;
    int FErrors = 0;
    std::string FFirstError;
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
    TLineWatch Lines;
    TBenchFrontEnd FrontEnd;
    std::unique_ptr<TForm1> Form;

    // The datagrams go to Capture.
    TConsole(const TOptions& options, const std::string& clientID)
    {
        Form = std::make_unique<TForm1>(FrontEnd, Capture.Port());
        Form->Events.AddObserver([this](const TEventRecord& record) { Lines.OnLine(record); });
        Command(&TForm1::FormCreate);
        Form->BrokerEdit1.Text = options.Host;
        Form->BrokerPortSpn.SetValue(options.Port);
        Form->ClientIDEdit.Text = clientID;
    }
    ~TConsole()
    {
        if (Form && Form->Client)
            Form->Run(&TForm1::DisconnectBtnClick);
        Form.reset();
    }
    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    void Command(THandler handler)
    {
        Form->Run(handler);
        if (!FrontEnd.Errors.empty())
            Fail("console error: " + FrontEnd.Errors.front());
    }

    // Runs a command and waits for the line that answers it.
    std::string CommandAndWait(THandler handler, const std::string& prefix)
    {
        Lines.Arm({prefix});
        Command(handler);
        TLineMark mark;
        if (!Lines.Wait(mark, 5000))
            Fail("no \"" + prefix + "\" line" + (Lines.Errors() ? ": " + Lines.FirstError() : ""));
        return mark.Message;
    }

    // "Open" and "CONNECT", answered with return code 0.
    void OpenSession()
    {
        Command(&TForm1::ConnectBtnClick);
        if (!Form->Client || !Form->Client->SocketReady)
            Fail("Open did not connect");
        const std::string answer = CommandAndWait(&TForm1::MQTT_CONNECT_BtnClick, "ConnectReturnCode ");
        if (answer != "ConnectReturnCode 0")
            Fail("CONNECT not accepted: " + answer);
    }
};

// ---------------------------------------------------------------------------
// mosquitto's tools.

inline std::vector<std::string> ToolArgs(const char* tool, const TOptions& o, const std::string& clientID,
                                         std::initializer_list<const char*> more)
{
    std::vector<std::string> args = {tool, "-h", o.Host, "-p", std::to_string(o.Port), "-V", "mqttv31", "-i", clientID};
    if (!o.CaFile.empty())
        args.insert(args.end(), {"--cafile", o.CaFile});
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// The publisher's options of a receiving figure: in clear on its own port when
// one is given, so that only the subscriber's connection is what is measured.
inline TOptions PublisherOptions(const TOptions& o)
{
    TOptions p = o;
    if (o.PublishPort >= 0) {
        p.Port = o.PublishPort;
        p.CaFile.clear();
    }
    return p;
}

// Waits until the broker's log shows the subscription "<clientID> <qos> <topic>";
// without a log, gives the tool a generous moment instead.
inline void WaitForSubscription(const TOptions& o, const std::string& clientID, const std::string& topic)
{
    if (o.BrokerLog.empty()) {
        SleepMs(1000);
        return;
    }
    const int64_t deadline = MonoNs() + 10'000'000'000;
    while (MonoNs() < deadline) {
        std::ifstream log(o.BrokerLog);
        std::string line;
        while (std::getline(log, line))
            if (line.find(clientID + " ") != std::string::npos && line.find(" " + topic) != std::string::npos)
                return;
        SleepMs(2);
    }
    Fail("no subscription of " + clientID + " in " + o.BrokerLog);
}

}  // namespace bench
