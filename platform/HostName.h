#pragma once

#include <cstddef>
#include <string>

// The local host name as the diagnostics and the default client identifier use
// it: looked up into a 125-byte buffer, so at most 124 bytes of name.
constexpr std::size_t HostNameBufferLength = 125;

// 0 and the name, or the error number (errno). A name that does not fit in the
// buffer is a failure (ENAMETOOLONG), never a silently cut name.
int LookupHostName(std::string& name);

// Where the name comes from: gethostname() semantics (0, or -1 with errno set).
// Tests install their own source to reach the failure paths; nullptr restores
// the system's. Returns the source that was installed before.
using THostNameSource = int (*)(char* buffer, std::size_t length);
THostNameSource SetHostNameSource(THostNameSource source);
