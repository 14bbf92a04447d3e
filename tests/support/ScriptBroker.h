#pragma once

#include <string>

// A broker started by a script of scripts/brokers on a free 127.0.0.1 port,
// its files in a temporary folder: "NAME.sh PORT DIR" starts it in the
// background and returns once the port accepts, "NAME.sh stop DIR" ends it
// (the destructor). A script that exits with status 3 says the broker cannot
// be had on this machine (not installed, no npm registry): Unavailable().
// A start that fails otherwise is tried again on other ports.
class ScriptBroker {
public:
    explicit ScriptBroker(std::string name) : FName(std::move(name)) {}
    ~ScriptBroker();
    ScriptBroker(const ScriptBroker&) = delete;
    ScriptBroker& operator=(const ScriptBroker&) = delete;

    bool Start(int timeoutMs);
    int Port() const { return FPort; }
    bool Unavailable() const { return FUnavailable; }
    const std::string& Error() const { return FError; }

private:
    void Stop();

    std::string FName, FDirectory, FError;
    int FPort = 0;
    bool FUnavailable = false;
};
