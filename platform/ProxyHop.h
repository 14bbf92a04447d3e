#pragma once

#include <string>

#include "platform/Deadline.h"
#include "platform/TransportConfig.h"

// The proxy hop of a connection: on a descriptor connected to the proxy, asks
// it for a tunnel to the broker's host and port (HTTP CONNECT, or SOCKS5 with
// the broker's name resolved by the proxy), waiting with poll() until the
// deadline. Nothing of the broker's stream is read: on success the
// descriptor carries the broker's bytes from their first.
//
// false with the failure: the proxy's refusal in its own words ("HTTP proxy
// refused: HTTP/1.1 407 Proxy Authentication Required", "SOCKS5 proxy
// refused: connection refused (reply 5)", "SOCKS5 proxy refused the user
// name or password"), or why the exchange broke off. timeoutMs: the whole
// time-out, for the failure text.
// cancel: a handle that ends the waits when readable (-1: none).
bool ProxyTunnel(int fd, const TProxyConfig& proxy, const std::string& host, int port, const TDeadline& deadline,
                 int cancel, int timeoutMs, TStepFailure& failure);

// "name:port" of the proxy, an IPv6 address in brackets.
std::string ProxyPlace(const TProxyConfig& proxy);
