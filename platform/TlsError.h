#pragma once

#include <string>

// Failure texts of the TLS layer, in the platform's shape.

// "TLS エラー <code>, <reason> (<where>)" in the system code page: a TLS
// connection or its set-up failed. where names what failed: "host:port" for
// a handshake, the file for a certificate or key that did not load.
std::string TlsErrorMessage(int code, const std::string& reason, const std::string& where);
// "<reason> (<where>)" of such a text, without its "TLS エラー <code>, " head;
// any other text as it is.
std::string TlsErrorReason(const std::string& message);

// One failure's code and OpenSSL's words for it.
struct TTlsReason {
    int Code = 0;
    std::string Text;
};

// The oldest failure in this thread's OpenSSL error queue, which is then
// emptied (the oldest is the cause; later entries are its consequences).
// An empty queue gives {0, fallback}. The code is OpenSSL's reason code, or
// the system error number for a failure of the operating system. withDetail
// adds the text OpenSSL attached to the failure, if any ("unsupported: No
// supported data to decode. Input type: PEM").
TTlsReason TakeTlsReason(const std::string& fallback, bool withDetail = false);
