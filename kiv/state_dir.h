// Where kiv keeps what must outlive the machine's runtime directory: the
// saved record of each session. Private to the user, like the session
// directory, but on disk that survives a restart.
#pragma once

#include <string>

namespace kiv {

// $XDG_STATE_HOME/kiv (an absolute value only), else $PREFIX/var/lib/kiv on
// Termux, else ~/.local/state/kiv. Created with missing parents; the
// directory itself is made 0700 and must be a directory (not a link) of
// the current user closed to others. Raises SystemError
// "unsafe state directory: <path> (<why>)" otherwise: nothing is saved then.
std::string stateDir();

}  // namespace kiv
