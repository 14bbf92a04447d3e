#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Helper programs of the integration tests (brokers, proxies). Whatever
// happens to a test process, none outlives it for long: each runs in its own
// process group and is killed by the kernel when the thread that started it
// ends (PR_SET_PDEATHSIG, so also on a crash, an abort or SIGKILL); those
// still running at exit() are killed by an exit handler; and their folders
// live under a directory of this run, which the next run removes once the
// process that made it is gone.

// The directory of this run for the programs' folders.
std::string TestServiceDirectory();
// Starts argv[0] (a path) with its standard output and error appended to
// logFile (empty: /dev/null). The pid, or -1 with errno set.
pid_t StartTestService(const std::vector<std::string>& argv, const std::string& logFile = {});
// SIGTERM to its group, then SIGKILL after 5 s; reaped; pid set to -1.
void StopTestService(pid_t& pid);
// Reaps it if it has ended; true when it has (status set).
bool TestServiceEnded(pid_t pid, int& status);
// A connection to 127.0.0.1:port is accepted.
bool LoopbackPortAccepts(int port);
std::string ReadTextFile(const std::string& path);
