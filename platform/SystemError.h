#pragma once

#include <string>

// Failure texts of the operating system, in the platform's shape.

// "<operation> エラー <code>, <text>" in the system code page.
std::string SocketErrorMessage(const char* operation, int code, const std::string& text);
// The system's text for errno code.
std::string SystemErrorText(int code);
