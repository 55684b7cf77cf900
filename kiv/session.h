// A session as its daemon starts it: the command on its pseudo-terminal and
// the model of that terminal's screen.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "kiv/protocol.h"
#include "kiv/pty.h"
#include "screen/terminal.h"

namespace kiv {

struct Session {
    std::string name;
    std::vector<std::string> command;  // program and arguments, as `kiv ls` shows them
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    WindowSize size{80, 24};  // the terminal's, as the last Resize set it
    Pty pty;
    std::unique_ptr<screen::Terminal> term;
    bool running = false;  // until the command's terminal closes
};

// Starts the command with its arguments on a new 80x24 pseudo-terminal, with
// the session's name in its environment, and makes its screen.
Session newSession(const std::string& name, const std::string& command,
                   const std::vector<std::string>& args = {});

}  // namespace kiv
