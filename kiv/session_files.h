// The files that stand for a session in the session directory: its socket,
// pid file and lock file. socketPath is the only source of their paths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kiv {

inline constexpr size_t MaxSocketPath = 107;  // sun_path holds 108 bytes with the NUL

// 64-bit FNV-1a: long names share their short form only when their hashes
// collide, which 32 bits made likely among tens of thousands of names.
uint64_t fnv1a(std::string_view bytes);
std::string toHex(uint64_t value);  // 16 upper-case digits

// True when `name` can be one path component and be printed safely: not
// empty, no '/', no control character (NUL included), not "." or "..".
bool validSessionName(std::string_view name);

// The name with control characters (and backslashes) written as \xHH,
// for messages and listings: a name must not move the cursor or set a
// window title.
std::string printableName(std::string_view name);

// Which file a path names (lstat: a link is itself), to remove a file only
// while it is still the one that was made.
struct FileId {
    uint64_t dev = 0;
    uint64_t ino = 0;
    bool operator==(const FileId&) const = default;
};
std::optional<FileId> fileId(const std::string& path);
// Removes `path` only when it is still `id`.
void removeIfSame(const std::string& path, const std::optional<FileId>& id);

// Writes this process's pid to the session's pid file, created anew and
// exclusively (a link or file planted there is removed, never followed).
// Returns its identity. Raises SystemError "cannot write pid file: <path>".
FileId writePidFile(std::string_view name);

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

}  // namespace kiv
