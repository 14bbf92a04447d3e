#include "support/ScriptBroker.h"

#include "support/ChildProcess.h"
#include "support/FakeBroker.h"

#include <cstdlib>
#include <filesystem>

namespace {

const std::string Scripts = TARNWICK_BROKER_SCRIPTS;

}  // namespace

bool ScriptBroker::Start(int timeoutMs)
{
    // A port of the broker's besides PORT may be taken meanwhile (sockets of
    // other tests): then it is tried again on other ports, in a new folder.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Stop();
        std::string pattern = (std::filesystem::temp_directory_path() / ("tarnwick-" + FName + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            FError = "cannot make a folder for " + FName;
            return false;
        }
        FDirectory = pattern;
        FPort = FakeBroker::UnusedPort();
        // npm packages are kept in the build tree, installed once for every run.
        const TChildResult result = RunChild("/usr/bin/env", {"AEDES_NPM_DIR=" TARNWICK_NPM_DIR, "bash",
                                                               Scripts + "/" + FName + ".sh", std::to_string(FPort), FDirectory},
                                             {}, timeoutMs);
        FUnavailable = result.ExitCode == 3;
        FError = FName + (result.TimedOut ? " did not start in time" : " did not start") + ": " + result.Err;
        if (result.ExitCode == 0) return true;
        if (FUnavailable || result.TimedOut) return false;
    }
    return false;
}

void ScriptBroker::Stop()
{
    if (FDirectory.empty()) return;
    RunChild("/usr/bin/env", {"bash", Scripts + "/" + FName + ".sh", "stop", FDirectory}, {}, 30000);
    std::error_code ec;
    std::filesystem::remove_all(FDirectory, ec);
    FDirectory.clear();
}

ScriptBroker::~ScriptBroker()
{
    Stop();
}
