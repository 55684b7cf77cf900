// The attach client: the user's terminal in raw mode, keystrokes to the
// session, its output to the terminal, until detach (the detach key of the
// configuration, Ctrl-G by default), the end of the session or the end of
// input.
#pragma once

#include <string>

#include "kiv/config.h"

namespace kiv {

// Returns when the session ends for this client; raises when no connection
// can be made ("connect failed: ...") or the window-change pipe cannot be.
void runClient(const std::string& session, const Config& config);

// The SIGWINCH handler: one byte into the window-change pipe.
void onWinch(int signal);

}  // namespace kiv
