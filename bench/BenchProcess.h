#pragma once
// What broker_bench needs of the operating system: clocks, CPU time of this
// process and of others, resident memory, context switches, child processes
// with their exit time and CPU time, and the "@name value" figures for bench/run.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

[[noreturn]] inline void Fail(const std::string& what)
{
    throw std::runtime_error(what);
}

// CLOCK_MONOTONIC: the same clock in every process of the machine.
inline int64_t MonoNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t RealNowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// User + system time of all threads of this process, living and ended, in ns:
// the kernel's sum of the threads' run time, the same total getrusage(RUSAGE_SELF)
// splits into ru_utime and ru_stime.
inline int64_t ProcessCpuNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline double Ms(int64_t ns)
{
    return double(ns) / 1e6;
}

inline std::vector<std::string> TaskIDs(pid_t pid)
{
    std::vector<std::string> tids;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                tids.emplace_back(e->d_name);
        ::closedir(d);
    }
    return tids;
}

// The run time so far of another (running) process: the first field of each
// thread's schedstat, the kernel's sum_exec_runtime in ns, i.e. the same count
// wait4() reports as ru_utime + ru_stime once the process has ended.
inline int64_t OtherProcessCpuNs(pid_t pid)
{
    int64_t total = 0;
    for (const std::string& tid : TaskIDs(pid)) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + tid + "/schedstat");
        long long runNs = 0;
        if (in >> runNs)
            total += runNs;
    }
    return total;
}

// A field of /proc/<pid>/status as a number (kB for VmRSS, VmHWM), -1 if missing.
inline long StatusField(const std::string& statusPath, const char* field)
{
    std::ifstream status(statusPath);
    const std::string key = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(key.size()));
    return -1;
}

inline long StatusKb(const char* field)
{
    return StatusField("/proc/self/status", field);
}

// Context switches (voluntary + involuntary) of each thread of this process,
// by thread id, with the thread's name.
struct TThreadSwitches {
    std::string Name;
    long Switches = 0;
};

inline std::map<std::string, TThreadSwitches> ThreadSwitches()
{
    std::map<std::string, TThreadSwitches> result;
    for (const std::string& tid : TaskIDs(::getpid())) {
        const std::string base = "/proc/self/task/" + tid;
        const long voluntary = StatusField(base + "/status", "voluntary_ctxt_switches");
        const long involuntary = StatusField(base + "/status", "nonvoluntary_ctxt_switches");
        if (voluntary < 0 || involuntary < 0)
            continue;   // the thread ended while it was read
        std::ifstream comm(base + "/comm");
        TThreadSwitches t;
        std::getline(comm, t.Name);
        t.Switches = voluntary + involuntary;
        result[tid] = t;
    }
    return result;
}

inline int64_t FileSize(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// Compared piece by piece, so that no copy of a payload adds to this process's memory.
inline bool SameContent(const std::string& a, const std::string& b)
{
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb)
        return false;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        fa.read(ba.data(), std::streamsize(ba.size()));
        fb.read(bb.data(), std::streamsize(bb.size()));
        if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
        if (fa.gcount() == 0)
            return true;
    }
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline long CountLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 16);
    long lines = 0;
    while (in.read(buffer.data(), std::streamsize(buffer.size())) || in.gcount() > 0)
        lines += long(std::count(buffer.begin(), buffer.begin() + in.gcount(), '\n'));
    return lines;
}

// ---------------------------------------------------------------------------
// Samples and figures.

inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[at];
}

// "@key value": one figure for bench/run.
inline void Figure(const std::string& key, double value)
{
    std::printf("@%s %.3f\n", key.c_str(), value);
    std::fflush(stdout);
}

// "@key median min max count": a figure over repetitions.
inline void Figure(const std::string& key, const std::vector<double>& samples)
{
    if (samples.empty())
        return;
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    std::printf("@%s %.3f %.3f %.3f %zu\n", key.c_str(), Median(samples), *low, *high, samples.size());
    std::fflush(stdout);
}

// The "@key value" figures a child printed.
inline std::map<std::string, double> ReadFigures(const std::string& path)
{
    std::map<std::string, double> figures;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (line.size() > 1 && line[0] == '@') {
            std::istringstream fields(line.substr(1));
            std::string key;
            double value = 0;
            if (fields >> key >> value)
                figures[key] = value;
        }
    return figures;
}

inline double Need(const std::map<std::string, double>& figures, const std::string& key)
{
    const auto found = figures.find(key);
    if (found == figures.end())
        Fail("figure " + key + " missing");
    return found->second;
}

// ---------------------------------------------------------------------------
// Child processes: started with posix_spawn (the parent waits only until the
// child has called exec), their end seen through a pidfd so that a wait can
// time out without polling.

struct TChild {
    pid_t Pid = -1;
    int PidFd = -1;
    std::string Name;
};

struct TExit {
    int64_t AtNs = 0;       // when the parent saw the exit
    int64_t CpuNs = 0;      // ru_utime + ru_stime of the whole process life
    long HwmKb = -1;        // ReapWatchingMemory: the last VmHWM read before the exit
};

struct TRedirect {
    std::string In, Out, Err;   // empty: inherited
};

inline TRedirect InputFrom(const std::string& in)
{
    TRedirect io;
    io.In = in;
    return io;
}

inline TRedirect OutputTo(const std::string& out, const std::string& err = "")
{
    TRedirect io;
    io.Out = out;
    io.Err = err;
    return io;
}

inline TChild Spawn(const std::vector<std::string>& args, const TRedirect& io = {})
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!io.In.empty())
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, io.In.c_str(), O_RDONLY, 0);
    if (!io.Out.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, io.Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!io.Err.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, io.Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    TChild child;
    child.Name = args[0].substr(args[0].rfind('/') + 1);
    const int rc = ::posix_spawnp(&child.Pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        Fail("cannot start " + args[0] + ": " + std::strerror(rc));
    child.PidFd = int(::syscall(SYS_pidfd_open, child.Pid, 0));
    return child;
}

// Waits for the child's end (at most timeoutMs); its exit status must be 0.
// A child that does not end in time is killed. (Its ru_maxrss is of no use:
// a spawned child starts from the parent's high-water mark.)
inline TExit Reap(TChild& child, int timeoutMs = 120000)
{
    if (child.PidFd >= 0) {
        pollfd p{child.PidFd, POLLIN, 0};
        int n;
        while ((n = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
        }
        if (n == 0) {
            ::kill(child.Pid, SIGKILL);
            ::waitpid(child.Pid, nullptr, 0);
            ::close(child.PidFd);
            child.PidFd = -1;
            Fail(child.Name + " did not end within " + std::to_string(timeoutMs / 1000) + " s");
        }
    }
    TExit exit;
    exit.AtNs = MonoNs();
    int status = 0;
    rusage usage{};
    if (::wait4(child.Pid, &status, 0, &usage) != child.Pid)
        Fail("wait4 " + child.Name + ": " + std::strerror(errno));
    if (child.PidFd < 0)
        exit.AtNs = MonoNs();
    else
        ::close(child.PidFd);
    child.PidFd = -1;
    exit.CpuNs = (int64_t(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000
        + (int64_t(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(child.Name + " failed, status " + std::to_string(status));
    return exit;
}

// Reap, reading the child's VmHWM (its own peak resident memory since exec,
// unlike ru_maxrss) every 2 ms while it runs: the peak of all but its last
// 2 ms, which for the programs measured here is their exit.
inline TExit ReapWatchingMemory(TChild& child, int timeoutMs = 600000)
{
    const std::string status = "/proc/" + std::to_string(child.Pid) + "/status";
    long hwm = -1;
    const int64_t deadline = MonoNs() + int64_t(timeoutMs) * 1000000;
    pollfd p{child.PidFd, POLLIN, 0};
    while (child.PidFd >= 0 && MonoNs() < deadline) {
        const long now = StatusField(status, "VmHWM");
        hwm = std::max(hwm, now);
        if (::poll(&p, 1, 2) > 0)
            break;
    }
    TExit exit = Reap(child, 1000);
    exit.HwmKb = hwm;
    return exit;
}

// Ends a child that runs until told (the log listener).
inline void Stop(TChild& child)
{
    ::kill(child.Pid, SIGTERM);
    int status = 0;
    ::waitpid(child.Pid, &status, 0);
    if (child.PidFd >= 0)
        ::close(child.PidFd);
    child.PidFd = -1;
}

inline std::string SelfPath()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        Fail("readlink /proc/self/exe");
    return std::string(path, size_t(n));
}

}  // namespace bench
