// Running a session's daemon: what the front end needs of it.
#pragma once

#include <functional>
#include <string>

#include "kiv/session.h"

namespace kiv {

// Start-up, the loop and shutdown of a session's daemon, with the log and
// the termination signals. Returns when the command's terminal has closed or
// a termination signal arrived; raises when start-up fails.
// `onListening` runs once the session can be reached.
void runDaemon(Session session, const std::string& command, const std::string& listen, bool log,
               const std::function<void()>& onListening = {});

}  // namespace kiv
