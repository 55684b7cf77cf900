// Session names: the default name, reserving a name, whether a session is
// alive, and which one is the oldest. The session directory is the only
// registry; nothing else records sessions.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

// The session's command finds its session's name in this environment
// variable, so that prompts and scripts can tell they run inside kiv and kiv
// itself can refuse to attach a session to itself.
inline constexpr const char* SessionVar = "KIV_SESSION";

// "~" in the home directory, else the last component of the working
// directory ("root" in the root directory, whose last component is empty).
std::string defaultName();

// A non-empty name is returned as it is. For an empty one, the first free
// candidate of defaultName(), defaultName()+"0", "1", ... is reserved with an
// exclusively created lock file and returned. Raises SystemError
// "cannot create session lock in <dir>".
std::string resolveSession(std::string_view name);

// True when the session's socket file is a socket that accepts a connection.
bool isActive(std::string_view name);

// Why a session whose daemon runs cannot be reached: something other than
// a socket (a directory, say) stands where its socket belongs. The daemon
// puts its socket back once the path is free, and nothing is removed for
// it. Empty when that is not so.
std::string blockedSocket(std::string_view name);

// The active session whose daemon started first (pid file time, then the
// lower pid) among those `accept` takes (all without it), or "" when there
// is none. `accept` is asked in that order, until it takes one.
std::string oldestSession(const std::function<bool(const std::string&)>& accept = {});

// Session names of the ".sock" files in the session directory, in directory
// order. Names that cannot be session names are left out.
std::vector<std::string> socketNames();

}  // namespace kiv
