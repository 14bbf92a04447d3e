#include "platform/TlsError.h"

#include <openssl/err.h>

#include "platform/SystemError.h"


std::string TlsErrorMessage(int code, const std::string& reason, const std::string& where)
{
    return SocketErrorMessage("TLS", code, reason + " (" + where + ")");
}

std::string TlsErrorReason(const std::string& message)
{
    // The head is made the same way, in the code page of the moment.
    const std::string head = SocketErrorMessage("TLS", 0, "");
    const std::string prefix = head.substr(0, head.size() - std::string("0, ").size());
    if (message.rfind(prefix, 0) != 0)
        return message;
    const size_t comma = message.find(", ", prefix.size());
    return comma == std::string::npos ? message : message.substr(comma + 2);
}

TTlsReason TakeTlsReason(const std::string& fallback, bool withDetail)
{
    const char* detail = nullptr;
    int flags = 0;
    unsigned long error = ERR_peek_error_all(nullptr, nullptr, nullptr, &detail, &flags);
    TTlsReason reason{0, fallback};
    if (error == 0) {
        // nothing queued
    } else if (ERR_SYSTEM_ERROR(error)) {
        // Its attached text only repeats the call ("calling fopen(...)").
        reason = {ERR_GET_REASON(error), SystemErrorText(ERR_GET_REASON(error))};
    } else {
        reason.Code = ERR_GET_REASON(error);
        if (const char* words = ERR_reason_error_string(error)) {
            reason.Text = words;
        } else {
            // No words registered for it: OpenSSL's full line still names library and code.
            char line[256] = {};
            ERR_error_string_n(error, line, sizeof line);
            reason.Text = line;
        }
        if (withDetail && detail && *detail && (flags & ERR_TXT_STRING))
            reason.Text += std::string(": ") + detail;
    }
    ERR_clear_error();   // only now: detail lives in the queue
    return reason;
}
