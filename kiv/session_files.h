// The files that stand for a session in the session directory: its socket,
// pid file and lock file. socketPath is the only source of their paths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kiv {

inline constexpr size_t MaxSocketPath = 107;  // sun_path holds 108 bytes with the NUL

uint32_t fnv1a(std::string_view bytes);
std::string toHex(uint32_t value);  // 8 upper-case digits

// True when `name` can be one path component: not empty, no '/' or NUL,
// not "." or "..".
bool validSessionName(std::string_view name);

// The socket path of a session, shortened with a hash of the whole name when
// it would not fit a socket address. Creates the session directory. A name
// that is not a single path component raises UsageError
// "invalid session name: <name>".
std::string socketPath(std::string_view name);

// The socket path with ".sock" replaced by `extension` (".pid", ".lock").
std::string sessionFile(std::string_view name, std::string_view extension);

// The daemon's pid from the pid file, or 0 when there is no usable one. Only
// a positive 32-bit process id counts: anything else could make `kill`
// signal a process group or every process.
int daemonPid(std::string_view name);

void removeSocket(std::string_view name);
void removeLock(std::string_view name);

}  // namespace kiv
