// Who the user's terminal is, as the attach client tells the daemon: the
// same text on every attach from one terminal window, and a different one
// from any other window, even one that got the same device back after the
// first was closed.
#pragma once

#include <string>

namespace kiv {

// The identity of the terminal on `fd`, which must be the caller's
// controlling terminal: the machine's boot, the terminal device, and the
// process id and start time of the terminal's session leader (the shell
// the window opened). A new window has a new leader; a pid that comes back
// has another start time; another machine or a reboot another boot id.
// Empty when any of it cannot be had: such a terminal is always sent the
// whole history.
std::string terminalIdentity(int fd);

}  // namespace kiv
