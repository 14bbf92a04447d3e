#include "support/TransportServices.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "support/ChildProcess.h"
#include "support/FakeBroker.h"
#include "support/ServiceProcess.h"

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

constexpr int kStartTimeoutMs = 20000;

// Written whole or not at all, also while another test process reads it.
bool WriteFileAtomically(const std::string& path, const std::string& text, fs::perms mode = fs::perms(0644))
{
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
        if (!out)
            return false;
    }
    std::error_code error;
    fs::permissions(temporary, mode, error);
    fs::rename(temporary, path, error);
    return !error;
}

// Waits until ready() or the program ended or the time is up; false with a reason then.
template <class TReady>
bool WaitUntilReady(pid_t& pid, const std::string& what, const std::string& log, std::string& error, TReady ready)
{
    const auto deadline = TClock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    for (;;) {
        if (ready())
            return true;
        int status = 0;
        if (TestServiceEnded(pid, status)) {
            pid = -1;
            error = what + " ended at start (status " + std::to_string(status) + "): " + ReadTextFile(log);
            return false;
        }
        if (TClock::now() >= deadline) {
            StopTestService(pid);
            error = what + " did not start in time: " + ReadTextFile(log);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The PAM service danted asks for a SOCKS5 user: a password file of the one
// test user, no system account. Both files are the same for every run.
constexpr const char* kPamService = "tarnwick-socks-test";
constexpr const char* kPamPasswords = "/etc/tarnwick-socks-test.passwd";
constexpr const char* kPamModule = "/lib/x86_64-linux-gnu/security/pam_pwdfile.so";

bool PrepareSocksUser(std::string& why)
{
    if (::geteuid() != 0) {
        why = "the SOCKS5 user needs a PAM service in /etc/pam.d, which only root can add";
        return false;
    }
    if (::access(kPamModule, R_OK) != 0) {
        why = std::string("no ") + kPamModule + " (Debian package libpam-pwdfile)";
        return false;
    }
    // crypt(3) of the password "s3cret".
    const std::string passwords =
        std::string(TProxyServer::User) +
        ":$6$tarnwicktest$mRBEMAC0eWlpc3GtB2VXBQtcWRKjoLNpfOfDzW0UT7zWjRTbARpYEq1mjkX.smjNCx2qjk43dGok9jEYZZw9M1\n";
    const std::string service = std::string("auth required pam_pwdfile.so pwdfile=") + kPamPasswords +
                                "\naccount required pam_permit.so\n";
    if (!WriteFileAtomically(kPamPasswords, passwords) ||
        !WriteFileAtomically(std::string("/etc/pam.d/") + kPamService, service)) {
        why = "cannot write the PAM service of the SOCKS5 user";
        return false;
    }
    return true;
}

}  // namespace

// ---- TNodeBroker ----

bool TNodeBroker::Prepare(std::string& why)
{
    static std::mutex lock;
    static int state = 0;   // 1 ready, -1 failed
    static std::string reason;
    std::lock_guard<std::mutex> guard(lock);
    if (state == 0) {
        state = -1;
        const std::string dir = TARNWICK_NODE_DIR, source = TARNWICK_WSBROKER_DIR;
        std::error_code error;
        fs::create_directories(dir, error);
        const int lockFd = ::open((dir + "/.lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (::access("/usr/bin/node", X_OK) != 0 || ::access("/usr/bin/npm", X_OK) != 0) {
            reason = "node and npm are not installed (Debian packages nodejs and npm)";
        } else if (lockFd < 0 || ::flock(lockFd, LOCK_EX) != 0) {
            reason = "cannot lock " + dir + "/.lock: " + std::strerror(errno);
        } else {
            // Other test processes install at the same time: one does, the others wait for it.
            const std::string wanted = ReadTextFile(source + "/package.json");
            const bool installed = ReadTextFile(dir + "/.installed") == wanted &&
                                   fs::exists(dir + "/node_modules/aedes/package.json") &&
                                   fs::exists(dir + "/node_modules/ws/package.json");
            if (!installed) {
                WriteFileAtomically(dir + "/package.json", wanted);
                const TChildResult npm = RunChild("/usr/bin/npm",
                    {"install", "--prefix", dir, "--no-audit", "--no-fund", "--loglevel=error"}, "", 300000);
                if (npm.ExitCode == 0)
                    WriteFileAtomically(dir + "/.installed", wanted);
                else
                    reason = "npm could not install aedes and ws: " + (npm.TimedOut ? "timed out" : npm.Err.substr(0, 400));
            }
            // Beside its modules, so that node finds them.
            if (reason.empty() && WriteFileAtomically(dir + "/broker.js", ReadTextFile(source + "/broker.js")))
                state = 1;
            else if (reason.empty())
                reason = "cannot copy broker.js into " + dir;
        }
        if (lockFd >= 0)
            ::close(lockFd);
    }
    why = reason;
    return state > 0;
}

TNodeBroker::~TNodeBroker()
{
    StopTestService(FPid);
}

bool TNodeBroker::StartAedes(const std::string& cert, const std::string& key)
{
    return Start("aedes", cert, key);
}

bool TNodeBroker::StartRelay(int brokerPort, const std::string& cert, const std::string& key)
{
    return Start("relay " + std::to_string(brokerPort), cert, key);
}

bool TNodeBroker::Start(const std::string& mode, const std::string& cert, const std::string& key)
{
    if (!Prepare(FError))
        return false;
    static int started = 0;
    FLog = TestServiceDirectory() + "/node-" + std::to_string(++started) + ".log";
    std::vector<std::string> args{"/usr/bin/node", std::string(TARNWICK_NODE_DIR) + "/broker.js"};
    for (std::size_t at = 0; at != std::string::npos;) {
        const std::size_t blank = mode.find(' ', at);
        args.push_back(mode.substr(at, blank == std::string::npos ? blank : blank - at));
        at = blank == std::string::npos ? blank : blank + 1;
    }
    if (!cert.empty()) {
        args.push_back(cert);
        args.push_back(key);
    }
    FPid = StartTestService(args, FLog);
    if (FPid < 0) {
        FError = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    return WaitUntilReady(FPid, "node " + mode, FLog, FError, [&] {
        return std::sscanf(ReadTextFile(FLog).c_str(), "ready %d %d %d", &FPorts[0], &FPorts[1], &FPorts[2]) == 3;
    });
}

// ---- TRabbitMqBroker ----

TRabbitMqBroker::~TRabbitMqBroker()
{
    if (FDirectory.empty())
        return;
    RunChild("/bin/bash", {TARNWICK_RABBITMQ_SCRIPT, "stop", FDirectory});
    std::error_code ignored;
    fs::remove_all(FDirectory, ignored);
}

bool TRabbitMqBroker::Start()
{
    if (::access("/usr/sbin/rabbitmq-server", X_OK) != 0) {
        FError = "rabbitmq-server not installed (Debian package rabbitmq-server)";
        return false;
    }
    // Beside the run's directory: the node runs as the rabbitmq user, who must reach its folder.
    std::string pattern = (fs::temp_directory_path() / "tarnwick-rabbitmq-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        FError = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    FDirectory = pattern;
    // The node takes the MQTT port and the three after it (AMQP, management, distribution).
    FWsPort = FakeBroker::UnusedPort();
    const TChildResult started = RunChild("/bin/bash", {TARNWICK_RABBITMQ_SCRIPT,
        std::to_string(FakeBroker::UnusedPort()), FDirectory, std::to_string(FWsPort)}, "", 120000);
    if (started.ExitCode != 0)
        FError = "RabbitMQ did not start: " + started.Err + ReadTextFile(FDirectory + "/server.out").substr(0, 2000);
    return started.ExitCode == 0;
}

// ---- TProxyServer ----

TProxyServer::~TProxyServer()
{
    StopTestService(FPid);
    if (!FDirectory.empty()) {
        std::error_code ignored;
        fs::remove_all(FDirectory, ignored);
    }
}

std::string TProxyServer::Log() const
{
    return ReadTextFile(FDirectory + "/proxy.log");
}

bool TProxyServer::Start(TKind kind, bool withUser)
{
    const bool http = kind == TKind::Http;
    const char* program = http ? "/usr/bin/tinyproxy" : "/usr/sbin/danted";
    if (::access(program, X_OK) != 0) {
        FError = std::string(program) + " not installed (Debian package " + (http ? "tinyproxy" : "dante-server") + ")";
        return false;
    }
    if (!http && withUser && !PrepareSocksUser(FError))
        return false;
    std::string pattern = TestServiceDirectory() + "/proxy-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        FError = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    FDirectory = pattern;
    const std::string config = FDirectory + (http ? "/tinyproxy.conf" : "/danted.conf");
    // A free port may be taken before the proxy binds it: then another is tried.
    for (int attempt = 0; attempt < 3; ++attempt) {
        FPort = FakeBroker::UnusedPort();
        std::ofstream out(config, std::ios::trunc);
        if (http) {
            out << "Port " << FPort << "\nListen 127.0.0.1\nTimeout 10\nMaxClients 20\nLogLevel Info\n"
                << "Allow 127.0.0.1\n";
            if (withUser)
                out << "BasicAuth " << User << " " << Password << "\n";
        } else {
            out << "logoutput: stderr\ninternal: 127.0.0.1 port = " << FPort << "\nexternal: 127.0.0.1\n"
                << "socksmethod: " << (withUser ? "pam.username" : "none") << "\n"
                << (::geteuid() == 0 ? "user.privileged: root\nuser.unprivileged: nobody\n" : "")
                << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                << (withUser ? std::string("  pam.servicename: ") + kPamService + "\n" : std::string()) << "}\n";
        }
        out.close();
        const std::vector<std::string> args = http ? std::vector<std::string>{program, "-d", "-c", config}
                                                   : std::vector<std::string>{program, "-f", config, "-N", "1"};
        FPid = StartTestService(args, FDirectory + "/proxy.log");
        if (FPid < 0) {
            FError = std::string("fork: ") + std::strerror(errno);
            return false;
        }
        if (WaitUntilReady(FPid, program, FDirectory + "/proxy.log", FError, [&] { return LoopbackPortAccepts(FPort); }))
            return true;
        if (FPid > 0)
            return false;   // still running, but not listening in time
    }
    return false;
}
