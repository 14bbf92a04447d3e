#pragma once

#include "console/check/CheckRunner.h"

#include <string>
#include <vector>

// tarnwick-cli check: the options, and the run with its reports.
struct TCheckOptions {
    TCheckSelection Selection;
    std::string ConnectionText;          // set lines, from the flags, --settings files and --profile
    std::string Prefix;
    std::string JUnit, Html;
    std::string PayloadDirectory;        // --dir: where received payloads are kept
    bool List = false;
    bool Help = false;
    bool Quiet = false;
    bool Probe = true;
    int Parallel = 8;
    int QuietMs = 500;
    int AnswerMs = 3000;
};

// False with the reason when the options are wrong (exit status 2).
bool ParseCheckOptions(const std::vector<std::string>& args, TCheckOptions& options, std::string& error);
// Runs "check" with the arguments after the word: 0 nothing failed or could
// not run, 1 otherwise, 2 bad options.
int RunCheckCommand(const std::vector<std::string>& args);
