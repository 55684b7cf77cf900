// Sessions shown inside sessions: which session a process runs inside, and
// whether an attach would close a loop. A loop (a session shown, directly
// or through others, inside itself) feeds each session's output to the
// other's input round and round, at full speed, with nobody able to stop it.
#pragma once

#include <sys/types.h>

#include <string>

namespace kiv {

// The session a process runs inside, from the KIV_SESSION of its
// environment; "" when none, or when the process cannot be read.
std::string sessionOfProcess(pid_t pid);

// True when attaching `target` from a process that runs inside `inside`
// would close a loop: `target` is `inside`, or `inside` is already shown
// inside `target`, through any number of sessions. Each daemon tells which
// sessions its clients run inside; a daemon that does not answer counts as
// showing nothing.
bool closesLoop(const std::string& target, const std::string& inside);

}  // namespace kiv
