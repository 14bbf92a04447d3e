#pragma once

// Pieces of the hostile-broker and load tests: a hang watchdog, a payload
// directory that reports finished files, expected-line sequences matched
// incrementally against the diagnostic capture, and MQTT frame literals.

#include "console/ConsoleTestSupport.h"
#include "support/MqttFrames.h"
#include "support/UdpCapture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace hostile {

using Clock = std::chrono::steady_clock;
using namespace testframes;

inline const std::string HandlerSource = "TMQTTEventHandlerThread";

// Aborts the process when the guarded scope does not end in time: a hang
// then shows as a named failure instead of a run that never ends.
class TWatchdog {
public:
    TWatchdog(std::string what, int timeoutMs) : FWhat(std::move(what))
    {
        FThread = std::thread([this, timeoutMs] {
            std::unique_lock<std::mutex> lock(FLock);
            if (!FDone.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FFinished; })) {
                std::fprintf(stderr, "\nHANG: %s did not end within %d ms\n", FWhat.c_str(), timeoutMs);
                std::fflush(stderr);
                std::abort();
            }
        });
    }
    ~TWatchdog()
    {
        {
            std::lock_guard<std::mutex> guard(FLock);
            FFinished = true;
        }
        FDone.notify_all();
        FThread.join();
    }
    TWatchdog(const TWatchdog&) = delete;
    TWatchdog& operator=(const TWatchdog&) = delete;

private:
    std::string FWhat;
    std::mutex FLock;
    std::condition_variable FDone;
    bool FFinished = false;
    std::thread FThread;
};

// A scratch directory for payload files. A "Pub_" name appears only once its
// file is complete (renamed, or linked, from a temporary name), and inotify
// tells when one appears, so a test waits for finished files.
class TPayloadDir {
public:
    TPayloadDir()
    {
        std::string pattern = "/tmp/tarnwick-hostile-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        FPath = pattern;
        FNotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (FNotify < 0 || ::inotify_add_watch(FNotify, FPath.c_str(), IN_MOVED_TO | IN_CREATE) < 0)
            throw std::runtime_error("inotify failed");
    }
    ~TPayloadDir()
    {
        for (const std::string& name : AllFiles())
            ::unlink((FPath + "/" + name).c_str());
        ::rmdir(FPath.c_str());
        if (FNotify >= 0)
            ::close(FNotify);
    }
    TPayloadDir(const TPayloadDir&) = delete;
    TPayloadDir& operator=(const TPayloadDir&) = delete;

    const std::string& Path() const { return FPath; }

    // Waits until count "Pub_" files have appeared in all.
    bool WaitForFiles(std::size_t count, int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            Drain();
            if (FClosed >= count)
                return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd pfd{FNotify, POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(left));
        }
    }
    std::size_t ClosedCount()
    {
        Drain();
        return FClosed;
    }

    // Names of the payload files now present.
    std::vector<std::string> PayloadFiles() const
    {
        std::vector<std::string> names;
        for (const std::string& name : AllFiles())
            if (name.rfind("Pub_", 0) == 0)
                names.push_back(name);
        return names;
    }
    // Their contents, sorted, to compare as a multiset.
    std::vector<std::string> PayloadContents() const
    {
        std::vector<std::string> contents;
        for (const std::string& name : PayloadFiles())
            contents.push_back(Read(FPath + "/" + name));
        std::sort(contents.begin(), contents.end());
        return contents;
    }

    static std::string Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::vector<std::string> AllFiles() const
    {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(FPath.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..")
                    names.push_back(name);
            }
            ::closedir(dir);
        }
        return names;
    }
    void Drain()
    {
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(FNotify, buffer, sizeof buffer);
            if (n <= 0)
                return;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 && std::string(event->name).rfind("Pub_", 0) == 0)
                    ++FClosed;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    std::string FPath;
    int FNotify = -1;
    std::size_t FClosed = 0;
};

// ---- expected diagnostic lines ----

// One expected line: source name and message, the message exact or as a prefix.
struct TExp {
    std::string Source;
    std::string Text;
    bool Prefix = false;

    bool Matches(const std::string& source, const std::string& message) const
    {
        return source == Source && (Prefix ? message.rfind(Text, 0) == 0 : message == Text);
    }
};
// Lines that must come in this order (others may lie between). Lines written
// by different threads go into separate sequences, which are independent.
using TSeq = std::vector<TExp>;

inline std::string DescribeExp(const TExp& e)
{
    return e.Source + " | " + e.Text + (e.Prefix ? "..." : "");
}

// Waits until every sequence has been seen in order. Matching is incremental:
// each datagram is looked at once, so floods of thousands of lines stay cheap.
inline ::testing::AssertionResult WaitForSequences(UdpCapture& capture, const std::vector<TSeq>& seqs, int timeoutMs)
{
    std::vector<std::size_t> next(seqs.size(), 0);
    std::size_t seen = 0;
    auto done = [&] {
        for (std::size_t i = 0; i < seqs.size(); ++i)
            if (next[i] < seqs[i].size())
                return false;
        return true;
    };
    const bool ok = capture.WaitFor(
        [&](const std::vector<std::string>& datagrams) {
            for (; seen < datagrams.size(); ++seen) {
                const std::string source = UdpCapture::Field(datagrams[seen], 4);
                const std::string message = UdpCapture::Field(datagrams[seen], 7);
                for (std::size_t i = 0; i < seqs.size(); ++i)
                    if (next[i] < seqs[i].size() && seqs[i][next[i]].Matches(source, message))
                        ++next[i];
            }
            return done();
        },
        timeoutMs);
    if (ok)
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure();
    for (std::size_t i = 0; i < seqs.size(); ++i)
        if (next[i] < seqs[i].size())
            failure << "sequence " << i << " stops before: " << DescribeExp(seqs[i][next[i]]) << "\n";
    failure << "lines were:\n" << Describe(LinesOf(capture));
    return failure;
}

// Waits until count lines match e (a flood's worth of one line).
inline bool WaitForCountOf(UdpCapture& capture, const TExp& e, std::size_t count, int timeoutMs)
{
    std::size_t seen = 0, matched = 0;
    return capture.WaitFor(
        [&](const std::vector<std::string>& datagrams) {
            for (; seen < datagrams.size(); ++seen)
                if (e.Matches(UdpCapture::Field(datagrams[seen], 4), UdpCapture::Field(datagrams[seen], 7)))
                    ++matched;
            return matched >= count;
        },
        timeoutMs);
}

inline std::size_t CountOf(const std::vector<TLine>& lines, const TExp& e)
{
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const TLine& l) { return e.Matches(l.first, l.second); }));
}

// ---- frames ----

// A PUBLISH with the topic's bytes as given (no conversion, so invalid UTF-8 is possible).
inline TFrame Publish(int qos, int id, const std::string& topic, const std::string& payload, int extraFlags = 0)
{
    const std::size_t remain = 2 + topic.size() + (qos > 0 ? 2 : 0) + payload.size();
    TFrame f{static_cast<uint8_t>(0x30 | (qos << 1) | extraFlags)};
    f.reserve(5 + remain);   // one allocation; also spares g++ 12 -O3 a false stringop-overflow warning
    AppendLength(f, remain);
    f.push_back(static_cast<uint8_t>(topic.size() >> 8));
    f.push_back(static_cast<uint8_t>(topic.size()));
    f.insert(f.end(), topic.begin(), topic.end());
    if (qos > 0) {
        f.push_back(static_cast<uint8_t>(id >> 8));
        f.push_back(static_cast<uint8_t>(id));
    }
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}
inline TFrame Concat(const std::vector<TFrame>& frames)
{
    TFrame all;
    for (const TFrame& f : frames)
        all.insert(all.end(), f.begin(), f.end());
    return all;
}
inline TFrame Repeat(const TFrame& f, std::size_t times)
{
    TFrame all;
    all.reserve(f.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        all.insert(all.end(), f.begin(), f.end());
    return all;
}

}  // namespace hostile
