#pragma once

#include <string>
#include <vector>

#include "platform/OpenFailure.h"

// What carries the MQTT bytes between the console and the broker besides TCP
// and TLS (TTlsConfig): WebSocket over either, and a proxy hop before any of
// them. The defaults keep the plain connection.

// MQTT in binary WebSocket messages, after an HTTP upgrade on the connection
// (over TLS when TLS is on: wss).
struct TWebSocketConfig {
    bool Enabled = false;
    std::string Path = "/mqtt";      // of the upgrade request ("/" when empty)
    std::string Subprotocol = "mqtt"; // offered in Sec-WebSocket-Protocol; empty: none offered
    // Extra fields of the upgrade request, "Name: value" each (Authorization,
    // Cookie, Origin, ...). A Host field replaces the one made from the host
    // and port.
    std::vector<std::string> Headers;
};

enum class TProxyKind { None, HttpConnect, Socks5 };

// A tunnel through a proxy to the broker's host and port: the connection is
// made to the proxy, which connects on; TLS and WebSocket then run through it
// as if directly.
struct TProxyConfig {
    TProxyKind Kind = TProxyKind::None;
    std::string Host;
    int Port = 0;
    // Given where the proxy asks for them: HTTP Basic in Proxy-Authorization,
    // or SOCKS5's user name and password method. Empty user: none offered.
    std::string User;
    std::string Password;
};

struct TTransportConfig {
    TWebSocketConfig WebSocket;
    TProxyConfig Proxy;
};

// Why a step of Open failed: Failure in English for the "could not connect"
// line ("WebSocket upgrade refused: HTTP/1.1 404 Not Found"), Error the text
// Open raises ("WebSocket エラー 404, Not Found"). Retry: another attempt
// could go otherwise (a lost connection, not a refusal or a time-out).
struct TStepFailure {
    TOpenFailure Kind = TOpenFailure::None;
    bool Retry = false;
    std::string Failure;
    std::string Error;
};
