#pragma once

#include <cstdint>

// Why a connection could not be opened (TClientSocket::Open).
enum class TOpenFailure : uint8_t {
    None,
    InvalidPort,
    Lookup,           // the host name does not resolve
    Refused,          // nothing listens on the port
    TimedOut,         // no answer (lookup, connect or handshake) within the connect time-out
    Network,          // another failure of the system (unreachable, reset, ...)
    TlsSetup,         // the TLS files did not load; nobody was contacted
    TlsHandshake,     // the TLS handshake failed (an alert, a broker that does not speak TLS)
    TlsCertificate,   // the broker's certificate was refused
    Cancelled,        // the cancel signal was given
    ProxyRefused,     // the proxy refused the tunnel (its answer says why)
    WebSocketRefused, // the broker refused the WebSocket upgrade, or its answer was not one
};
