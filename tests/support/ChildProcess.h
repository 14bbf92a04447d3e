#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Runs a program to its end as a subprocess: standard input fed from a text,
// standard output and error collected, under a UTF-8 C locale. A program that
// has not ended after timeoutMs is killed (TimedOut). whileRunning, if given,
// runs on a thread of its own with the child's process id while the child runs
// (to signal it), and is waited for before the result returns.
struct TChildResult {
    int ExitCode = -1;          // -1 when it did not exit normally
    bool TimedOut = false;
    std::string Out, Err;
};

TChildResult RunChild(const std::string& path, const std::vector<std::string>& args, const std::string& input = {},
                      int timeoutMs = 60000, const std::function<void(pid_t)>& whileRunning = {});
