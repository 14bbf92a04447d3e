#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ByteLink.h"
#include "platform/HttpHead.h"
#include "platform/TransportConfig.h"

// The opening handshake of a WebSocket client: the HTTP upgrade request and
// the checks of the broker's answer. The key and the accept value are made
// with OpenSSL's random generator, SHA-1 and Base64.

// A fresh Sec-WebSocket-Key: 16 random bytes in Base64.
std::string WebSocketKey();
// The Sec-WebSocket-Accept value the broker must answer to the key.
std::string WebSocketAccept(std::string_view key);

// The extra header lines of a text: one per line (a line break, or the two
// characters "\n" where a line break cannot be typed); blank lines are
// skipped. false with the reason for a line that is not "Name: value" or
// that names a field the handshake sets itself (the subprotocol has its own
// setting).
bool ParseHeaderLines(std::string_view text, std::vector<std::string>& lines, std::string& problem);

// The upgrade request for the broker's host and port. Raises Exception for a
// path with blanks or control characters.
std::string WebSocketUpgradeRequest(const TWebSocketConfig& config, const std::string& host, int port, bool secured,
                                    std::string_view key);

// Whether the answer accepts the upgrade: "" when it does, else why not
// ("WebSocket upgrade refused: HTTP/1.1 404 Not Found", "WebSocket upgrade
// failed: Sec-WebSocket-Accept does not match the key", ...).
std::string CheckWebSocketAnswer(const THttpHead& head, std::string_view key, std::string_view offeredSubprotocol);

// Sends the request over the link and reads the answer, waiting on fd until
// the deadline or the cancel (a handle, -1: none). True when the upgrade was
// accepted: rest then holds the bytes the broker sent after its head, the
// first of the WebSocket stream. timeoutMs: the whole time-out, for the
// failure text.
bool UpgradeToWebSocket(TByteLink& link, int fd, const TWebSocketConfig& config, const std::string& host, int port,
                        bool secured, const TDeadline& deadline, int cancel, int timeoutMs,
                        std::vector<uint8_t>& rest, TStepFailure& failure);
