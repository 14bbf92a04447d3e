#include "platform/SystemError.h"

#include <cstring>

#include "platform/CodePage.h"

namespace {

// strerror_r comes in a GNU and an XSI flavour; both are handled.
[[maybe_unused]] std::string ErrorTextOf(const char* result, const char*) { return result; }
[[maybe_unused]] std::string ErrorTextOf(int result, const char* buffer)
{
    return result == 0 ? buffer : "Unknown error";
}

} // namespace

std::string SystemErrorText(int code)
{
    char buffer[256] = {};
    return ErrorTextOf(strerror_r(code, buffer, sizeof buffer), buffer);
}

std::string SocketErrorMessage(const char* operation, int code, const std::string& text)
{
    // Converted on every call: the code page may change while the program runs.
    return operation + CodePage::FromUTF8Literal(" エラー ") + std::to_string(code) + ", " + text;
}
