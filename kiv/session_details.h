// What `kiv ls` shows of each session on a terminal: the daemon's answer to
// a Details message, how it travels, and the table made of the answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/session_end.h"

namespace kiv {

struct SessionDetails {
    int64_t pid = 0;
    int64_t clients = 0;     // attached and getting output
    int64_t ageSeconds = 0;  // since the daemon started
    int64_t cols = 0;
    int64_t rows = 0;
    std::vector<std::string> command;  // the program and its arguments
    std::optional<SessionEnd> end;     // an ended session, kept until collected
    // The sessions its attached clients run inside, each once.
    std::vector<std::string> shownInside;
    int64_t readOnly = 0;  // of the clients, read-only ones
};

// The payload: "key=value" fields, each ended by a NUL byte, one "cmd=" per
// word of the command. A reader skips keys it does not know, so either side
// may add fields.
std::string encodeDetails(const SessionDetails& details);
// Nothing when the payload is not a set of such fields.
std::optional<SessionDetails> decodeDetails(std::string_view payload);

// What asking one session's daemon found.
struct DetailsAnswer {
    // Why nobody could be asked (nobody listens on the socket), else empty.
    std::string unreachable;
    // Nothing when the daemon did not answer in time (stopped, hung) or does
    // not know the message (a daemon older than this one drops the
    // connection).
    std::optional<SessionDetails> details;
};

// Asks the daemons of every session named, over their Unix sockets, all at
// once: one wait of `timeoutMs` in all, that a daemon which does not answer
// cannot make longer for the others. One answer per name, in their order.
std::vector<DetailsAnswer> queryAllDetails(const std::vector<std::string>& names, int timeoutMs);

// The same for one session. Raises SystemError when nobody accepts on its
// socket.
std::optional<SessionDetails> queryDetails(const std::string& name, int timeoutMs);

// "45s", "12m", "3h05m", "2d04h".
std::string formatAge(int64_t seconds);

// One row of the table; without details, the pid from the pid file (0 when
// unknown) and "?" for the rest.
struct DetailsRow {
    std::string name;
    std::optional<SessionDetails> details;
    int64_t pidFileValue = 0;
    // Its daemon is gone: the details are the saved record's, and this is
    // the time since it was last saved.
    std::optional<int64_t> lostSeconds;
};

// "running", or how an ended session ended and how long ago.
std::string statusOf(const SessionDetails& details);

// The lines of the table, a header first, columns aligned, the command last;
// control characters of names and commands are shown escaped.
std::vector<std::string> detailsTable(const std::vector<DetailsRow>& rows);

}  // namespace kiv
