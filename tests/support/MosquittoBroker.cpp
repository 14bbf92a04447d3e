#include "support/MosquittoBroker.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/FakeBroker.h"

namespace {

using TClock = std::chrono::steady_clock;

// Whatever happens to a test process, no broker and no folder outlives it for
// long: each broker runs in its own process group and is killed by the kernel
// when the thread that started it ends (PR_SET_PDEATHSIG, so also on a crash,
// an abort or SIGKILL); brokers still running at exit() are killed by an atexit
// handler; and the folders live under a directory of this run, which the next
// run removes when the process that made it is gone.
const char* const kBaseDirectory = "/tmp/tarnwick-mosquitto";

std::mutex gLock;
std::set<pid_t> gRunning;   // process groups of brokers that were started and not yet stopped

void KillRunningBrokers()
{
    std::lock_guard<std::mutex> guard(gLock);
    for (pid_t pid : gRunning) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    gRunning.clear();
    std::error_code ignored;
    std::filesystem::remove_all(std::string(kBaseDirectory) + "/run-" + std::to_string(::getpid()), ignored);
}

// The directory of this run; on first use, folders of runs whose process is
// gone are removed and the exit handler is installed.
std::string RunDirectory()
{
    static const std::string directory = [] {
        ::mkdir(kBaseDirectory, 0700);
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(kBaseDirectory, error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("run-", 0) != 0)
                continue;
            const pid_t pid = static_cast<pid_t>(std::atoi(name.c_str() + 4));
            if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
                std::error_code ignored;
                std::filesystem::remove_all(entry.path(), ignored);
            }
        }
        const std::string mine = std::string(kBaseDirectory) + "/run-" + std::to_string(::getpid());
        ::mkdir(mine.c_str(), 0700);
        std::atexit(KillRunningBrokers);
        return mine;
    }();
    return directory;
}

// fork + exec rather than posix_spawn: the child must ask for its death signal
// and its own process group before it runs the broker.
pid_t StartInOwnGroup(const char* path, char* const argv[])
{
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    // Child: only async-signal-safe calls from here.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);   // the parent died before the request took effect
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
    }
    ::execv(path, argv);
    ::_exit(127);
}

bool PortAccepts(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
}

// Reaps the child if it has ended; true when it has.
bool Reaped(pid_t pid, int& status)
{
    pid_t result = ::waitpid(pid, &status, WNOHANG);
    return result == pid || (result < 0 && errno == ECHILD);
}

} // namespace

bool MosquittoBroker::Available()
{
    return ::access(BinaryPath, X_OK) == 0;
}

MosquittoBroker::~MosquittoBroker()
{
    Stop();
    if (!FDirectory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(FDirectory, ignored);
    }
}

std::string MosquittoBroker::Log() const
{
    if (FDirectory.empty())
        return {};
    std::ifstream in(FDirectory + "/mosquitto.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool MosquittoBroker::Start(int timeoutMs)
{
    if (Running())
        return true;
    if (!Available()) {
        FError = std::string("mosquitto not found at ") + BinaryPath;
        return false;
    }
    if (FDirectory.empty()) {
        std::string pattern = RunDirectory() + "/broker-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            FError = std::string("mkdtemp: ") + std::strerror(errno);
            return false;
        }
        FDirectory = pattern;
    }
    const std::string config = FDirectory + "/mosquitto.conf";
    const std::string log = FDirectory + "/mosquitto.log";
    // Run as whoever runs the tests: as root mosquitto would otherwise switch
    // to its own user, which cannot write the temporary log.
    const passwd* user = ::getpwuid(::geteuid());
    const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);

    // The free port may be taken by someone else before mosquitto binds it:
    // then it exits at once and another port is tried.
    for (int attempt = 0; attempt < 3; ++attempt) {
        FPort = FakeBroker::UnusedPort();
        {
            std::ofstream out(config, std::ios::trunc);
            out << FOptions << "listener " << FPort << " 127.0.0.1\n"
                << FListenerOptions
                << "allow_anonymous true\n"
                << "persistence false\n"
                << "log_dest file " << log << "\n"
                << "log_type all\n";
            if (user)
                out << "user " << user->pw_name << "\n";
            if (!out) {
                FError = "cannot write " + config;
                return false;
            }
        }
        std::string arg0 = "mosquitto", arg1 = "-c";
        std::string arg2 = config;
        char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
        pid_t pid = -1;
        {
            // Registered under the lock, so the exit handler never misses a broker.
            std::lock_guard<std::mutex> guard(gLock);
            pid = StartInOwnGroup(BinaryPath, argv);
            if (pid < 0) {
                FError = std::string("fork: ") + std::strerror(errno);
                return false;
            }
            ::setpgid(pid, pid);   // also from here: the group exists before anyone signals it
            gRunning.insert(pid);
        }
        FPid = pid;

        // Ready when the port accepts a connection; checked in short steps
        // up to the deadline.
        for (;;) {
            if (PortAccepts(FPort))
                return true;
            int status = 0;
            if (Reaped(FPid, status)) {
                Forget(FPid);
                FPid = -1;
                FError = "mosquitto exited at start (status " + std::to_string(status) + "): " + Log();
                break;
            }
            if (TClock::now() >= deadline) {
                Stop();
                FError = "mosquitto did not accept connections in time: " + Log();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return false;
}

void MosquittoBroker::Stop()
{
    if (FPid <= 0)
        return;
    ::kill(-FPid, SIGTERM);
    int status = 0;
    const auto deadline = TClock::now() + std::chrono::seconds(5);
    while (!Reaped(FPid, status)) {
        if (TClock::now() >= deadline) {
            ::kill(-FPid, SIGKILL);
            ::waitpid(FPid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Forget(FPid);
    FPid = -1;
}

void MosquittoBroker::Forget(pid_t pid)
{
    std::lock_guard<std::mutex> guard(gLock);
    gRunning.erase(pid);
}
