#include "kiv/session.h"

#include <cstdlib>
#include <optional>

#include "kiv/errors.h"
#include "kiv/integer.h"
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
                   const std::vector<std::string>& args, int64_t historyLines) {
    Session s;
    s.name = name;
    s.command = {command};
    s.command.insert(s.command.end(), args.begin(), args.end());
    s.pty =
        openPty(command, args, InitialCols, InitialRows, {std::string(SessionVar) + "=" + name});
    s.running = true;
    s.term = screen::newTerminal(InitialCols, InitialRows, historyLines);
    return s;
}

}  // namespace kiv
