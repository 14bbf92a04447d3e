#include "platform/TlsError.h"

#include <openssl/err.h>

#include "platform/ClientSocket.h"

std::string TlsErrorMessage(int code, const std::string& reason, const std::string& where)
{
    return SocketErrorMessage("TLS", code, reason + " (" + where + ")");
}

TTlsReason TakeTlsReason(const std::string& fallback)
{
    unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error == 0)
        return {0, fallback};
    const int code = ERR_GET_REASON(error);
    if (ERR_SYSTEM_ERROR(error))
        return {code, SystemErrorText(code)};
    if (const char* reason = ERR_reason_error_string(error))
        return {code, reason};
    // No words registered for it: OpenSSL's full line still names library and code.
    char line[256] = {};
    ERR_error_string_n(error, line, sizeof line);
    return {code, line};
}
