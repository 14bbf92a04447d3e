#include "support/ServiceProcess.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;

const char* const kBaseDirectory = "/tmp/tarnwick-mosquitto";

std::mutex gLock;
std::set<pid_t> gRunning;   // process groups of programs that were started and not yet stopped

void KillRunningServices()
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

void Forget(pid_t pid)
{
    std::lock_guard<std::mutex> guard(gLock);
    gRunning.erase(pid);
}

} // namespace

std::string TestServiceDirectory()
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
        std::atexit(KillRunningServices);
        return mine;
    }();
    return directory;
}

// fork + exec rather than posix_spawn: the child must ask for its death signal
// and its own process group before it runs the program.
pid_t StartTestService(const std::vector<std::string>& args, const std::string& logFile)
{
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string output = logFile.empty() ? std::string("/dev/null") : logFile;
    // Registered under the lock, so the exit handler never misses one.
    std::lock_guard<std::mutex> guard(gLock);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Child: only async-signal-safe calls from here.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);   // the parent died before the request took effect
        const int null = ::open("/dev/null", O_RDWR);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (pid > 0) {
        ::setpgid(pid, pid);   // also from here: the group exists before anyone signals it
        gRunning.insert(pid);
    }
    return pid;
}

bool TestServiceEnded(pid_t pid, int& status)
{
    const pid_t result = ::waitpid(pid, &status, WNOHANG);
    const bool ended = result == pid || (result < 0 && errno == ECHILD);
    if (ended)
        Forget(pid);
    return ended;
}

void StopTestService(pid_t& pid)
{
    if (pid <= 0)
        return;
    ::kill(-pid, SIGTERM);
    int status = 0;
    const auto deadline = TClock::now() + std::chrono::seconds(5);
    while (!TestServiceEnded(pid, status)) {
        if (TClock::now() >= deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            Forget(pid);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid = -1;
}

bool LoopbackPortAccepts(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
}

std::string ReadTextFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
