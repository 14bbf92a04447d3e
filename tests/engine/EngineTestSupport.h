#pragma once

// Shared pieces of the engine tests: the diagnostic capture, a scratch
// directory for payload files, frame literals and waits with deadlines.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/AppEventMsg.h"
#include "mqtt/engine/MQTTClient.h"
#include "platform/NamedSync.h"
#include "support/UdpCapture.h"

namespace enginetest {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kWaitMs = 10000;   // deadline for things that should happen soon

inline int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls a condition until it holds or the deadline passes.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// The client's write mutex, held by another thread from construction until
// Release() (or the end of the scope), as a writer busy elsewhere would hold it.
class TWriteMutexHeldElsewhere {
public:
    explicit TWriteMutexHeldElsewhere(const std::string& clientID)
    {
        FHolder = std::thread([this, name = TMQTTClient::WriteMutexName(clientID)] {
            auto mutex = TNamedMutex::CreateOrOpen(name);
            const bool acquired = mutex->Wait(1000) == TWaitResult::Acquired;
            FHeld.set_value(acquired);
            if (!acquired)
                return;
            FRelease.get_future().wait();
            mutex->Release();
        });
        EXPECT_TRUE(FHeld.get_future().get()) << "the write mutex of " << clientID << " was not free";
    }
    ~TWriteMutexHeldElsewhere() { Release(); }
    TWriteMutexHeldElsewhere(const TWriteMutexHeldElsewhere&) = delete;
    TWriteMutexHeldElsewhere& operator=(const TWriteMutexHeldElsewhere&) = delete;

    void Release()
    {
        if (!FHolder.joinable())
            return;
        FRelease.set_value();
        FHolder.join();
    }

private:
    std::promise<bool> FHeld;
    std::promise<void> FRelease;
    std::thread FHolder;
};

inline std::string UniqueClientID(const std::string& stem)
{
    static std::atomic<int> n{0};
    return "eng-" + stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
}

// A scratch directory removed with its files at the end.
class TTempDir {
public:
    TTempDir()
    {
        std::string pattern = "/tmp/tarnwick-engine-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        FPath = pattern;
    }
    ~TTempDir()
    {
        for (const auto& name : Files())
            ::unlink((FPath + "/" + name).c_str());
        ::rmdir(FPath.c_str());
    }
    const std::string& Path() const { return FPath; }

    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(FPath.c_str())) {
            while (dirent* e = ::readdir(dir)) {
                std::string name = e->d_name;
                if (name != "." && name != "..")
                    names.push_back(name);
            }
            ::closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // The "Pub_" files only: a payload gets that name once it is complete,
    // while its temporary file may still be there beside it.
    std::vector<std::string> PayloadFiles() const
    {
        std::vector<std::string> names = Files();
        std::erase_if(names, [](const std::string& name) { return name.rfind("Pub_", 0) != 0; });
        return names;
    }

    // In one read: byte by byte, a 64 MiB file took minutes under ThreadSanitizer,
    // long enough for the broker's keep-alive to end the connection under test.
    Bytes Read(const std::string& name) const
    {
        std::ifstream in(FPath + "/" + name, std::ios::binary);
        Bytes bytes(static_cast<size_t>(std::max<int64_t>(Size(name), 0)));
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<size_t>(in.gcount()));
        return bytes;
    }

    // Size of a file, -1 when it is not there.
    int64_t Size(const std::string& name) const
    {
        struct stat st {};
        return ::stat((FPath + "/" + name).c_str(), &st) == 0 ? st.st_size : -1;
    }

private:
    std::string FPath;
};

// Whether a name has the payload-file form "Pub_" + 17 + 5 digits + ".dat".
inline bool IsPayloadFileName(const std::string& name)
{
    if (name.size() != 4 + 22 + 4 || name.rfind("Pub_", 0) != 0 || name.substr(26) != ".dat")
        return false;
    return std::all_of(name.begin() + 4, name.begin() + 26, [](char c) { return c >= '0' && c <= '9'; });
}

// A sender to a fresh UdpCapture: the sink that the engine objects under test are given.
class TLogCapture {
public:
    TLogCapture()
        : FSender(Capture.Port(), "127.0.0.1")
    {
        FSender.StartupWinsock();
        FSender.OpenSocket();
    }
    ~TLogCapture()
    {
        FSender.CloseSocket();
        FSender.CleanupWinsock();
    }

    TEventSink& Sink() { return FSender; }
    // Client options whose lines go to this capture.
    TMQTTClientOptions Options(TMQTTClientOptions options = {}) { options.Sink = &FSender; return options; }

    // Sends a marker line and waits for it: every line sent before it has
    // then arrived too.
    bool Flush()
    {
        static std::atomic<int> n{0};
        const std::string marker = "--marker " + std::to_string(++n) + "--";
        FSender.SendEventMsg(marker, "test", 0, 0);
        return Capture.WaitForMessage(marker, kWaitMs);
    }

    // Messages (without markers), optionally only those from one source.
    std::vector<std::string> Lines(const std::string& source = "") const
    {
        std::vector<std::string> lines;
        for (const auto& d : Capture.Datagrams()) {
            if (UdpCapture::Field(d, 4) == "test")
                continue;
            if (source.empty() || UdpCapture::Field(d, 4) == source)
                lines.push_back(UdpCapture::Field(d, 7));
        }
        return lines;
    }

    // (source, message) of every line but markers.
    std::vector<std::pair<std::string, std::string>> SourcedLines() const
    {
        std::vector<std::pair<std::string, std::string>> lines;
        for (const auto& d : Capture.Datagrams())
            if (UdpCapture::Field(d, 4) != "test")
                lines.emplace_back(UdpCapture::Field(d, 4), UdpCapture::Field(d, 7));
        return lines;
    }

    int CountOf(const std::string& message) const
    {
        const auto lines = Lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), message));
    }

    bool WaitForLine(const std::string& message, int timeoutMs = kWaitMs)
    {
        return Capture.WaitFor(
            [&](const std::vector<std::string>& ds) {
                return std::any_of(ds.begin(), ds.end(),
                    [&](const std::string& d) { return UdpCapture::Field(d, 7) == message; });
            },
            timeoutMs);
    }

    bool WaitForLineCount(const std::string& message, int count, int timeoutMs = kWaitMs)
    {
        return Capture.WaitFor(
            [&](const std::vector<std::string>& ds) {
                return std::count_if(ds.begin(), ds.end(),
                           [&](const std::string& d) { return UdpCapture::Field(d, 7) == message; })
                    >= count;
            },
            timeoutMs);
    }

    bool WaitForLinesStartingWith(const std::string& prefix, int count, int timeoutMs = kWaitMs)
    {
        return Capture.WaitFor(
            [&](const std::vector<std::string>& ds) {
                return std::count_if(ds.begin(), ds.end(),
                           [&](const std::string& d) { return UdpCapture::Field(d, 7).rfind(prefix, 0) == 0; })
                    >= count;
            },
            timeoutMs);
    }

    UdpCapture Capture;

private:
    TAppEventMsg FSender;
};

// Whether line is a failed connect attempt's line: head (up to the reason's
// end), then " (attempt <attempt>, <ms> ms) [<id>]".
inline bool IsAttemptLine(const std::string& line, const std::string& head, int attempt, const std::string& id)
{
    const std::string open = head + " (attempt " + std::to_string(attempt) + ", ";
    const std::string close = " ms) [" + id + "]";
    if (line.size() <= open.size() + close.size() || line.rfind(open, 0) != 0 || !line.ends_with(close))
        return false;
    const std::string ms = line.substr(open.size(), line.size() - open.size() - close.size());
    return std::all_of(ms.begin(), ms.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Index of the first line equal to message at or after from; -1 when none.
inline int IndexOf(const std::vector<std::string>& lines, const std::string& message, int from = 0)
{
    for (int i = from; i < static_cast<int>(lines.size()); ++i)
        if (lines[i] == message)
            return i;
    return -1;
}

} // namespace enginetest
