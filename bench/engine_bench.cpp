// Client engine: time to receive a 64 MiB PUBLISH until its payload file is
// complete, and the resident-memory cost of an idle connected client.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/engine/MQTTClient.h"

namespace {

// One loopback connection accepted from the client under test.
class TLoopbackServer {
public:
    TLoopbackServer()
    {
        FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(FListener, 4) != 0
            || ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            std::abort();
        FPort = ntohs(address.sin_port);
    }
    ~TLoopbackServer()
    {
        if (FConnection >= 0)
            ::close(FConnection);
        ::close(FListener);
    }
    int Port() const { return FPort; }
    void Accept() { FConnection = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC); }
    void SendAll(const std::vector<uint8_t>& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(FConnection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                std::abort();
            sent += static_cast<size_t>(n);
        }
    }

private:
    int FListener = -1;
    int FConnection = -1;
    int FPort = 0;
};

std::vector<uint8_t> PublishFrame(const std::string& topic, size_t payloadSize)
{
    std::vector<uint8_t> frame = {0x30};
    size_t left = 2 + topic.size() + payloadSize;
    do {
        uint8_t b = left % 128;
        left /= 128;
        frame.push_back(left > 0 ? (b | 0x80) : b);
    } while (left > 0);
    frame.push_back(static_cast<uint8_t>(topic.size() >> 8));
    frame.push_back(static_cast<uint8_t>(topic.size() & 0xFF));
    frame.insert(frame.end(), topic.begin(), topic.end());
    frame.resize(frame.size() + payloadSize, 0x5A);
    return frame;
}

std::string MakeTempDir()
{
    std::string pattern = "/tmp/tarnwick-bench-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        std::abort();
    return pattern;
}

// Removes the payload files; returns the size of the largest.
int64_t ClearDir(const std::string& dir)
{
    int64_t largest = -1;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            struct stat st {};
            const std::string path = dir + "/" + name;
            if (::stat(path.c_str(), &st) == 0 && st.st_size > largest)
                largest = st.st_size;
            ::unlink(path.c_str());
        }
        ::closedir(d);
    }
    return largest;
}

bool FileOfSizeExists(const std::string& dir, int64_t size)
{
    bool found = false;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            struct stat st {};
            if (::stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == size)
                found = true;
        }
        ::closedir(d);
    }
    return found;
}

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

void BM_Receive64MiBPublish(benchmark::State& state)
{
    constexpr size_t kPayload = 64u * 1024 * 1024;
    const std::string dir = MakeTempDir();
    TLoopbackServer server;
    std::thread acceptor([&] { server.Accept(); });
    TMQTTClientOptions options;
    options.PayloadDirectory = dir;
    TMQTTClient client("127.0.0.1", server.Port(), "bench-receive", options);
    acceptor.join();
    if (!client.SocketReady) {
        state.SkipWithError("no connection");
        return;
    }
    const auto frame = PublishFrame("bench/big", kPayload);
    for (auto _ : state) {
        server.SendAll(frame);
        // A file only appears complete when the handler has written it all.
        while (!FileOfSizeExists(dir, static_cast<int64_t>(kPayload)))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        state.PauseTiming();
        ClearDir(dir);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPayload));
    ClearDir(dir);
    ::rmdir(dir.c_str());
}
BENCHMARK(BM_Receive64MiBPublish)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_IdleClientResidentGrowth(benchmark::State& state)
{
    const std::string dir = MakeTempDir();
    for (auto _ : state) {
        const long before = ResidentKb();
        TLoopbackServer server;
        std::thread acceptor([&] { server.Accept(); });
        TMQTTClientOptions options;
        options.PayloadDirectory = dir;
        TMQTTClient client("127.0.0.1", server.Port(), "bench-idle", options);
        acceptor.join();
        // Let both threads settle into their idle waits.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        state.counters["rss_growth_kB"] = static_cast<double>(ResidentKb() - before);
    }
    ::rmdir(dir.c_str());
}
BENCHMARK(BM_IdleClientResidentGrowth)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

BENCHMARK_MAIN();
