// The attach client: the user's terminal in raw mode, keystrokes to the
// session, its output to the terminal, until detach (the detach key of the
// configuration, Ctrl-G by default), the end of the session or the end of
// input.
#pragma once

#include <optional>
#include <string>

#include "kiv/config.h"
#include "kiv/session_end.h"

namespace kiv {

// Returns when the session ends for this client, once the terminal is
// back in its own state and a line has said why: "[detached from NAME]"
// (status 0, also when input ends or the client is told to stop), "[NAME
// exited: status N]" or "[NAME killed by SIGNAME]" (the command's status,
// or 128 plus the signal's number), "[NAME killed]" (status 1), "[lost
// connection to NAME]" (status 1). The result is that status. Raises when
// no connection can be made ("connect failed: ...") or the window-change
// pipe cannot be.
int runClient(const std::string& session, const Config& config);

// The line a client leaving this way prints, without its line feed.
std::string leavingLine(const std::string& session, const std::optional<SessionEnd>& end,
                        bool detached);

// The SIGWINCH handler: one byte into the window-change pipe.
void onWinch(int signal);

}  // namespace kiv
