#pragma once

#include "platform/TlsConfig.h"

typedef struct ssl_ctx_st SSL_CTX;

// The client side's TLS settings loaded once: trusted CA certificates and the
// optional client certificate and key. Made before the TCP connect, so a file
// that does not load fails "Open" before the broker is contacted. Sessions
// (TTlsSession) are made from it; each keeps what it needs, so the context
// may go before them. Safe to use from several threads once made.
class TTlsContext {
public:
    // Raises Exception "TLS エラー <code>, cannot load the <what>: <reason>
    // (<file>)" when a file does not load or the key does not belong to the
    // certificate; code: OpenSSL's reason code or the system error number.
    explicit TTlsContext(const TTlsConfig& config);
    ~TTlsContext();
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;

    const TTlsConfig& Config() const { return FConfig; }
    SSL_CTX* Handle() const { return FContext; }

private:
    TTlsConfig FConfig;
    SSL_CTX* FContext = nullptr;
};
