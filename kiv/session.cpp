#include "kiv/session.h"

#include "kiv/session_daemon.h"
#include "kiv/session_names.h"

namespace kiv {

namespace {

constexpr int InitialCols = 80;
constexpr int InitialRows = 24;
constexpr int Scrollback = 10000;

}  // namespace

Session newSession(const std::string& name, const std::string& command,
                   const std::vector<std::string>& args, WindowSize size) {
    Session s;
    s.name = name;
    s.command = {command};
    s.command.insert(s.command.end(), args.begin(), args.end());
    s.size = fitGrid(size.cols > 0 && size.rows > 0 ? size : WindowSize{InitialCols, InitialRows});
    s.pty =
        openPty(command, args, s.size.cols, s.size.rows, {std::string(SessionVar) + "=" + name});
    s.running = true;
    s.term = screen::newTerminal(s.size.cols, s.size.rows, Scrollback);
    return s;
}

}  // namespace kiv
