// Many connected idle clients in one process, through the session: each
// client is opened and CONNECTed, then the process sleeps. Measured: the
// wake-ups of all its threads but the measuring one (voluntary and involuntary
// context switches) over the idle span, and its resident memory against the
// same process before the first client was made.
//
//   session_bench --host H --port P [--clients 100] [--seconds 10]
//
// Prints a line of text and "@name value" figures for bench/run.

#include "bench/BenchProcess.h"
#include "console/session/Session.h"
#include "platform/Random.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <thread>

using namespace bench;

namespace {

struct TSessionBenchOptions {
    std::string Host = "127.0.0.1";
    int Port = 1883, Clients = 100, Seconds = 10;
};

TSessionBenchOptions ParseOptions(int argc, char** argv)
{
    TSessionBenchOptions o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--host")
            o.Host = value;
        else if (key == "--port")
            o.Port = std::stoi(value);
        else if (key == "--clients")
            o.Clients = std::stoi(value);
        else if (key == "--seconds")
            o.Seconds = std::stoi(value);
        else
            Fail("usage: session_bench --host H --port P [--clients N] [--seconds S]");
    }
    return o;
}

// Where the clients' datagrams go: a bound socket nobody reads (a port with
// no socket would answer with errors that fail the lines).
class TDatagramSink {
public:
    TDatagramSink()
    {
        FFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            Fail("cannot bind a datagram socket");
        FPort = ntohs(addr.sin_port);
    }
    ~TDatagramSink() { ::close(FFd); }
    int Port() const { return FPort; }

private:
    int FFd = -1;
    int FPort = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    try {
        Randomize();
        const TSessionBenchOptions o = ParseOptions(argc, argv);
        TDatagramSink sink;
        const long rssBefore = StatusKb("VmRSS");

        TSessionOptions options;
        options.EventPort = sink.Port();
        options.PayloadRoot = "/tmp";
        int made = 0;
        options.Prepare = [&](TSessionClient& client) {
            client.Form().BrokerEdit1.Text = o.Host;
            client.Form().BrokerPortSpn.SetValue(o.Port);
            client.Form().ReportPauseSpn.SetValue(0);
            // 23 characters at most, as MQTT 3.1 wants.
            client.Form().ClientIDEdit.Text = "sb" + std::to_string(::getpid()) + "-" + std::to_string(made++);
        };
        TSession session(options);
        std::atomic<int> accepted{0}, failures{0};
        session.AddLineObserver([&](const TSessionLine& line) {
            if (line.Record.Message == "ConnectReturnCode 0")
                ++accepted;
            if (line.Record.Message.find("*ERROR*") != std::string::npos ||
                line.Record.Message.find("*EXCEPTIN*") != std::string::npos)
                ++failures;
        });
        const int64_t openStart = MonoNs();
        for (int i = 0; i < o.Clients; ++i) {
            TSessionClient& client = session.Client("c" + std::to_string(i));
            client.Click("ConnectBtn");
            client.Click("MQTT_CONNECT_Btn");
        }
        const double openMs = Ms(MonoNs() - openStart);
        int connected = 0;
        for (TSessionClient* client : session.Clients())
            connected += client->Connected() ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));   // the last reports are over

        const std::string self = std::to_string(::gettid());
        const auto start = ThreadSwitches();
        const long rssStart = StatusKb("VmRSS");
        const int64_t startNs = MonoNs();
        std::this_thread::sleep_for(std::chrono::seconds(o.Seconds));
        const double seconds = double(MonoNs() - startNs) / 1e9;
        const auto end = ThreadSwitches();
        const long rssEnd = StatusKb("VmRSS");

        long switches = 0;
        for (const auto& [tid, thread] : end) {
            if (tid == self)
                continue;
            const auto before = start.find(tid);
            switches += thread.Switches - (before == start.end() ? 0 : before->second.Switches);
        }
        const double perClientKb = double(rssEnd - rssBefore) / o.Clients;
        std::printf("%d clients (%d connected, %d accepted) opened and CONNECTed in %.0f ms; idle %.1f s: %ld "
                    "context switches in %zu threads; VmRSS %ld kB before the first client, %ld kB at the start of "
                    "the span, %ld kB at its end (%.0f kB per client)\n",
                    o.Clients, connected, accepted.load(), openMs, seconds, switches, end.size() - 1, rssBefore,
                    rssStart, rssEnd, perClientKb);
        Figure("clients", o.Clients);
        Figure("connected", connected);
        Figure("accepted", accepted.load());
        Figure("wakeups_per_s", double(switches) / seconds);
        Figure("rss_per_client_kb", perClientKb);
        Figure("rss_growth_kb", double(rssEnd - rssStart));
        Figure("errors", failures.load());
        session.CloseAll();
        return connected == o.Clients ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "session_bench: %s\n", e.what());
        return 1;
    }
}
