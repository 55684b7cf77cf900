// Where the per-user session directory lives.
#pragma once

#include <string>
#include <string_view>

namespace kiv {

// Joins two path parts with exactly one '/'.
std::string joinPath(std::string_view a, std::string_view b);

// $XDG_RUNTIME_DIR, else $TMPDIR, else $PREFIX/tmp on Termux, else /tmp.
// Creates nothing.
std::string runtimeDir();

// Where the session directory is: <runtimeDir>/kiv under XDG_RUNTIME_DIR,
// else <runtimeDir>/kiv-<uid>, one per user. Creates nothing.
std::string sessionDir();

// The session directory (sessionDir), created (with missing parents) on
// every call. The directory itself is private (0700) and must belong to the
// current user; anything else (another owner, access for others, a link)
// raises SystemError "unsafe session directory: <path>".
std::string kivDir();

bool isTermux();

// Creates every missing directory of `path` (mode 0777 less the umask).
// Raises SystemError naming the path that failed.
void makeDirs(const std::string& path);

}  // namespace kiv
