#include "support/MosquittoBroker.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <thread>
#include <unistd.h>

#include "support/FakeBroker.h"
#include "support/ServiceProcess.h"

namespace {

using TClock = std::chrono::steady_clock;

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
    return FDirectory.empty() ? std::string() : ReadTextFile(FDirectory + "/mosquitto.log");
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
        std::string pattern = TestServiceDirectory() + "/broker-XXXXXX";
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
        const pid_t pid = StartTestService({BinaryPath, "-c", config});
        if (pid < 0) {
            FError = std::string("fork: ") + std::strerror(errno);
            return false;
        }
        FPid = pid;

        // Ready when the port accepts a connection; checked in short steps
        // up to the deadline.
        for (;;) {
            if (LoopbackPortAccepts(FPort))
                return true;
            int status = 0;
            if (TestServiceEnded(FPid, status)) {
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
    StopTestService(FPid);
}
