#pragma once

#include <stdexcept>
#include <string>

// The system's one general failure: an exception that carries its English
// message text. Subsystems that need their own kind derive from it
// (EAppEventMsg for the diagnostics sender).
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};
