#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The head of an HTTP/1.x response, as a WebSocket upgrade and an HTTP
// CONNECT proxy answer it: the status line and the header fields.
struct THttpHead {
    std::string StatusLine;   // "HTTP/1.1 101 Switching Protocols", without CR LF
    int Status = 0;
    std::vector<std::pair<std::string, std::string>> Fields;   // values without surrounding blanks

    // The value of the first field of the name (letter case aside), or nullptr.
    const std::string* Field(std::string_view name) const;
    // Whether a field of the name holds the token in its comma-separated list
    // (letter case aside): "Connection: keep-alive, Upgrade" holds "upgrade".
    bool FieldHasToken(std::string_view name, std::string_view token) const;
};

// The longest head read; a longer one is refused.
inline constexpr std::size_t kMaxHttpHeadBytes = 16384;

// The bytes of a complete head at the start of data, through its blank line
// (CR LF CR LF, or LF LF); 0 while it is not complete.
std::size_t HttpHeadLength(std::string_view data);
// Parses a complete head. false with the reason when it is not an HTTP/1.x
// response head.
bool ParseHttpHead(std::string_view head, THttpHead& parsed, std::string& problem);

// Whether the text is an HTTP token (a header field's name): letters, digits
// and !#$%&'*+-.^_`|~, at least one.
bool IsHttpToken(std::string_view text);
// Letter case aside, for header names and tokens.
bool SameAscii(std::string_view a, std::string_view b);
// Without the blanks and tabs at both ends.
std::string_view TrimBlanks(std::string_view text);
