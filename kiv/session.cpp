#include "kiv/session.h"

#include <cstdlib>
#include <optional>

#include "kiv/errors.h"
#include "kiv/integer.h"
#include "kiv/session_daemon.h"
#include "kiv/session_names.h"

namespace kiv {

namespace {

constexpr int InitialCols = 80;
constexpr int InitialRows = 24;

}  // namespace

int64_t historyLinesFromEnvironment() {
    const char* value = std::getenv(HistoryVar);
    if (!value) return DefaultHistoryLines;
    std::optional<int64_t> lines = readInteger(value);
    if (!lines || *lines < 0 || *lines > MaxHistoryLines)
        throw UsageError(std::string(HistoryVar) + " must be a number of lines from 0 to " +
                         std::to_string(MaxHistoryLines) + ", not: " + value);
    return *lines;
}

Session newSession(const std::string& name, const std::string& command,
                   const std::vector<std::string>& args, WindowSize size, int64_t historyLines) {
    Session s;
    s.name = name;
    s.command = {command};
    s.command.insert(s.command.end(), args.begin(), args.end());
    s.size = fitGrid(size.cols > 0 && size.rows > 0 ? size : WindowSize{InitialCols, InitialRows});
    // A session started from a tmux or screen window must not drive that
    // outer multiplexer: `tmux new` inside it would open a window there and
    // show it through kiv.
    s.pty = openPty(command, args, s.size.cols, s.size.rows,
                    {std::string(SessionVar) + "=" + name, "TMUX", "TMUX_PANE", "STY", "WINDOW"});
    s.running = true;
    s.term = screen::newTerminal(s.size.cols, s.size.rows, historyLines);
    return s;
}

}  // namespace kiv
