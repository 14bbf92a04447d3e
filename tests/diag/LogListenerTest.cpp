// The log listener program, run as a subprocess on a free port.

#include "diag/AppEventMsg.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr int WaitMs = 10000;

class ListenerProcess {
public:
    explicit ListenerProcess(std::vector<std::string> args)
    {
#ifndef TARNWICK_LOG_LISTENER
        ADD_FAILURE() << "the listener's path is not configured";
#else
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

        args.insert(args.begin(), TARNWICK_LOG_LISTENER);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        // A UTF-8 terminal, and no colour preference inherited from whoever runs the tests.
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "LC_", 3) != 0 && std::strncmp(*e, "LANG=", 5) != 0 &&
                std::strncmp(*e, "NO_COLOR=", 9) != 0)
                env.emplace_back(*e);
        env.emplace_back("LC_ALL=C.UTF-8");
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        const int rc = posix_spawn(&Pid, TARNWICK_LOG_LISTENER, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        Out = out[0];
        Err = err[0];
        if (rc != 0)
            throw std::runtime_error("posix_spawn failed");
        PidFd = static_cast<int>(syscall(SYS_pidfd_open, Pid, 0));
#endif
    }

    ~ListenerProcess()
    {
        if (Pid > 0 && !Reaped) {
            ::kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        for (int fd : {Out, Err, PidFd})
            if (fd >= 0)
                ::close(fd);
    }

    // The port the listener reports on its standard error, or 0.
    int WaitForPort()
    {
        std::string line;
        if (!ReadLine(Err, ErrBuffer, "listening on", line))
            return 0;
        std::smatch match;
        if (!std::regex_search(line, match, std::regex(R"(port (\d+))")))
            return 0;
        return std::stoi(match[1]);
    }

    // The next printed line that contains text (earlier lines are kept in Seen).
    bool WaitForLine(const std::string& text, std::string& line) { return ReadLine(Out, OutBuffer, text, line); }

    // Sends the signal and returns the exit status, or -1 when the program does not end in time.
    int Stop(int signal)
    {
        ::kill(Pid, signal);
        return WaitForExit();
    }

    int WaitForExit()
    {
        pollfd fd{PidFd, POLLIN, 0};
        if (::poll(&fd, 1, WaitMs) != 1)
            return -1;
        int status = 0;
        waitpid(Pid, &status, 0);
        Reaped = true;
        return status;
    }

    std::vector<std::string> Seen;

private:
    bool ReadLine(int fd, std::string& buffer, const std::string& text, std::string& line)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
        for (;;) {
            std::size_t end;
            while ((end = buffer.find('\n')) != std::string::npos) {
                line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                Seen.push_back(line);
                if (line.find(text) != std::string::npos)
                    return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1)
                return false;
            char chunk[4096];
            const ssize_t size = ::read(fd, chunk, sizeof chunk);
            if (size <= 0)
                return false;
            buffer.append(chunk, static_cast<std::size_t>(size));
        }
    }

    pid_t Pid = -1;
    int PidFd = -1, Out = -1, Err = -1;
    bool Reaped = false;
    std::string OutBuffer, ErrBuffer;
};

struct Sender {
    TAppEventMsg Msg;
    explicit Sender(int port) : Msg(port, "127.0.0.1")
    {
        Msg.StartupWinsock();
        Msg.OpenSocket();
    }
};

TEST(LogListener, PrintsEachDatagramAsOneLineAndEndsCleanly)
{
    ListenerProcess listener({"--port", "0", "--all", "--color", "never"});
    const int port = listener.WaitForPort();
    ASSERT_GT(port, 0);
    Sender sender(port);
    sender.Msg.SendEventMsg("FormCreate: program start.. ", "Tarnwick", 0, 0);
    sender.Msg.SendEventMsg("*ERROR* \xE6\x97\xA5\xE6\x9C\xAC: kept", "MQTT_Unit", 0, 0);

    std::string line;
    ASSERT_TRUE(listener.WaitForLine("program start", line));
    std::string host;
    sender.Msg.GetLocalHostName(host);
    EXPECT_TRUE(std::regex_match(
        line, std::regex(R"(\d{4}/\d\d/\d\d \d\d\.\d\d\.\d\d \d{1,5} )" + host + " Tarnwick 0 0: FormCreate: program start.. ")))
        << line;
    ASSERT_TRUE(listener.WaitForLine("*ERROR*", line));
    EXPECT_NE(line.find(" MQTT_Unit 0 0: *ERROR* \xE6\x97\xA5\xE6\x9C\xAC: kept"), std::string::npos) << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos);

    const int status = listener.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(LogListener, ConvertsFromTheSendersCodePageAndColoursFailures)
{
    ListenerProcess listener({"--port", "0", "--codepage", "CP932", "--color", "always"});
    const int port = listener.WaitForPort();
    ASSERT_GT(port, 0);
    Sender sender(port);
    // "テスト" as a CP932 sender holds it.
    sender.Msg.SendEventMsg("*EXCEPTIN* \x83\x65\x83\x58\x83\x67", "TMQTTEventHandlerThread", 0, 0);
    sender.Msg.SendEventMsg("plain", "Tarnwick", 0, 0);

    std::string line;
    ASSERT_TRUE(listener.WaitForLine("*EXCEPTIN*", line));
    EXPECT_EQ(line.substr(0, 7), "\x1b[1;35m");
    EXPECT_NE(line.find("TMQTTEventHandlerThread: *EXCEPTIN* \xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88\x1b[0m"),
              std::string::npos)
        << line;
    ASSERT_TRUE(listener.WaitForLine("plain", line));
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;

    const int status = listener.Stop(SIGINT);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(LogListener, KeepsUpWithABurstFromSeveralThreads)
{
    ListenerProcess listener({"--port", "0"});
    const int port = listener.WaitForPort();
    ASSERT_GT(port, 0);
    Sender sender(port);
    constexpr int threads = 4, perThread = 500;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&sender, t] {
            for (int i = 0; i < perThread; ++i)
                sender.Msg.SendEventMsg("burst " + std::to_string(t * perThread + i), "MQTT_Unit", 0, 0);
        });
    for (std::thread& worker : workers)
        worker.join();
    sender.Msg.SendEventMsg("end of burst", "MQTT_Unit", 0, 0);

    std::string line;
    ASSERT_TRUE(listener.WaitForLine("end of burst", line));
    int burstLines = 0;
    for (const std::string& seen : listener.Seen)
        if (seen.find(": burst ") != std::string::npos)
            ++burstLines;
    EXPECT_EQ(burstLines, threads * perThread);
    EXPECT_TRUE(WIFEXITED(listener.Stop(SIGTERM)));
}

} // namespace
