#include "kiv/session.h"

#include "kiv/session_names.h"

namespace kiv {

namespace {

constexpr int InitialCols = 80;
constexpr int InitialRows = 24;
constexpr int Scrollback = 10000;

}  // namespace

Session newSession(const std::string& name, const std::string& command,
                   const std::vector<std::string>& args) {
    Session s;
    s.name = name;
    s.command = {command};
    s.command.insert(s.command.end(), args.begin(), args.end());
    // A session started from a tmux or screen window must not drive that
    // outer multiplexer: `tmux new` inside it would open a window there and
    // show it through kiv.
    s.pty = openPty(command, args, InitialCols, InitialRows,
                    {std::string(SessionVar) + "=" + name, "TMUX", "TMUX_PANE", "STY", "WINDOW"});
    s.running = true;
    s.term = screen::newTerminal(InitialCols, InitialRows, Scrollback);
    return s;
}

}  // namespace kiv
