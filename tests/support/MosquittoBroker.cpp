#include "support/MosquittoBroker.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/FakeBroker.h"

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;

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
        std::remove((FDirectory + "/mosquitto.conf").c_str());
        std::remove((FDirectory + "/mosquitto.log").c_str());
        ::rmdir(FDirectory.c_str());
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
        char pattern[] = "/tmp/tarnwick-mosquitto-XXXXXX";
        if (!::mkdtemp(pattern)) {
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
            out << "listener " << FPort << " 127.0.0.1\n"
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
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::string arg0 = "mosquitto", arg1 = "-c";
        std::string arg2 = config;
        char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
        pid_t pid = -1;
        int spawned = ::posix_spawn(&pid, BinaryPath, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            FError = std::string("posix_spawn: ") + std::strerror(spawned);
            return false;
        }
        FPid = pid;

        // Ready when the port accepts a connection; checked in short steps
        // up to the deadline.
        for (;;) {
            if (PortAccepts(FPort))
                return true;
            int status = 0;
            if (Reaped(FPid, status)) {
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
    ::kill(FPid, SIGTERM);
    int status = 0;
    const auto deadline = TClock::now() + std::chrono::seconds(5);
    while (!Reaped(FPid, status)) {
        if (TClock::now() >= deadline) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    FPid = -1;
}
