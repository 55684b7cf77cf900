// A session as its daemon starts it: the command on its pseudo-terminal and
// the model of that terminal's screen.
#pragma once

#include <chrono>
#include <cstdint>
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
    // Typed into the command once it is up (its first output, or a moment
    // after its start if it shows none): a restarted shell's saved job.
    std::string typeahead;
};

// Lines of history a session keeps unless KIV_HISTORY says otherwise.
inline constexpr int64_t DefaultHistoryLines = 10000;
inline constexpr int64_t MaxHistoryLines = 1000000;
inline constexpr const char* HistoryVar = "KIV_HISTORY";
// The history length KIV_HISTORY asks for, or the default when it is not
// set; raises UsageError for anything but a whole number from 0 to
// MaxHistoryLines.
int64_t historyLinesFromEnvironment();

// Starts the command with its arguments on a new pseudo-terminal (80x24
// unless a restored session brings its own size), with the session's name
// in its environment, and makes its screen, keeping that many lines of
// history.
Session newSession(const std::string& name, const std::string& command,
                   const std::vector<std::string>& args = {}, WindowSize size = {80, 24},
                   int64_t historyLines = DefaultHistoryLines);

}  // namespace kiv
