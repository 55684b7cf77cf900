#include "kiv/session_details.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/fields.h"
#include "kiv/integer.h"
#include "kiv/protocol.h"
#include "kiv/session_files.h"
#include "kiv/shell_words.h"
#include "screen/terminal.h"

namespace kiv {

namespace {

// Control characters as \xNN, and the backslash doubled, so that what a
// session calls itself or runs cannot drive the user's terminal.
std::string printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Columns on the terminal, not bytes or characters: a wide character takes
// two, a combining mark none.
size_t columns(const std::string& text) {
    return static_cast<size_t>(screen::displayColumns(text));
}

std::string padded(const std::string& text, size_t width) {
    size_t used = columns(text);
    return text + std::string(width > used ? width - used : 0, ' ');
}

}  // namespace

std::string encodeDetails(const SessionDetails& details) {
    std::string out;
    addField(out, "pid", std::to_string(details.pid));
    addField(out, "clients", std::to_string(details.clients));
    addField(out, "readonly", std::to_string(details.readOnly));
    addField(out, "age", std::to_string(details.ageSeconds));
    addField(out, "cols", std::to_string(details.cols));
    addField(out, "rows", std::to_string(details.rows));
    for (const std::string& word : details.command)
        addField(out, "cmd", word);
    for (const std::string& name : details.shownInside)
        addField(out, "in", name);
    if (details.end) appendEndFields(out, *details.end);
    return out;
}

std::optional<SessionDetails> decodeDetails(std::string_view payload) {
    SessionDetails details;
    EndFieldReader endFields;
    bool sawPid = false;
    std::optional<std::vector<Field>> fields = splitFields(payload);
    if (!fields) return std::nullopt;
    for (const auto& [key, value] : *fields) {
        if (key == "cmd") {
            details.command.emplace_back(value);
            continue;
        }
        if (key == "in") {
            details.shownInside.emplace_back(value);
            continue;
        }
        if (endFields.take(key, value)) {
            if (endFields.bad()) return std::nullopt;
            continue;
        }
        int64_t* number = key == "pid"       ? &details.pid
                          : key == "clients" ? &details.clients
                          : key == "readonly" ? &details.readOnly
                          : key == "age"     ? &details.ageSeconds
                          : key == "cols"    ? &details.cols
                          : key == "rows"    ? &details.rows
                                             : nullptr;
        if (!number) continue;  // a newer daemon's field
        std::optional<int64_t> read = readInteger(value);
        if (!read || *read < 0) return std::nullopt;
        *number = *read;
        sawPid = sawPid || key == "pid";
    }
    if (!sawPid) return std::nullopt;
    details.end = endFields.result();
    return details;
}

namespace {

// One daemon being asked: the connection and what it has sent so far.
struct Asking {
    UniqueFd sock;
    std::string received;
};

// Takes what the daemon sent; true once it has answered (or can no longer):
// its details, or nothing.
bool takeAnswer(Asking& asking, DetailsAnswer& answer) {
    char buf[4096];
    ssize_t n = recv(asking.sock.get(), buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return false;
    if (n <= 0) return true;  // closed: it does not know the message
    asking.received.append(buf, static_cast<size_t>(n));
    MsgKind kind;
    std::string payload;
    size_t used = 0;
    try {
        // Nothing else is sent to a client that has not sent its size, but a
        // message of another kind is skipped all the same.
        while (takeFrame(asking.received, used, kind, payload)) {
            if (kind == MsgKind::Details) {
                answer.details = decodeDetails(payload);
                return true;
            }
        }
    } catch (const IoError&) {
        return true;
    }
    asking.received.erase(0, used);
    return false;
}

}  // namespace

std::vector<DetailsAnswer> queryAllDetails(const std::vector<std::string>& names, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<DetailsAnswer> answers(names.size());
    std::vector<Asking> asking(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        try {
            // A daemon whose queue is full does not take the question: it
            // stays without an answer, as if it had not answered in time.
            asking[i].sock = connectUnixNow(socketPath(names[i]));
        } catch (const SystemError& e) {
            answers[i].unreachable = e.what();
            continue;
        }
        // The question fits an empty socket buffer whole.
        if (asking[i].sock && !sendMsg(asking[i].sock.get(), MsgKind::Details, ""))
            asking[i].sock.reset();
    }
    for (;;) {
        std::vector<pollfd> waiting;
        std::vector<size_t> whose;
        for (size_t i = 0; i < names.size(); ++i) {
            if (!asking[i].sock) continue;
            waiting.push_back({asking[i].sock.get(), POLLIN, 0});
            whose.push_back(i);
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        if (waiting.empty() || left.count() <= 0) break;
        int ready = poll(waiting.data(), waiting.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) break;
        for (size_t k = 0; ready > 0 && k < waiting.size(); ++k) {
            if (waiting[k].revents == 0) continue;
            size_t i = whose[k];
            if (takeAnswer(asking[i], answers[i])) asking[i].sock.reset();
        }
    }
    return answers;
}

std::optional<SessionDetails> queryDetails(const std::string& name, int timeoutMs) {
    DetailsAnswer answer = queryAllDetails({name}, timeoutMs).front();
    if (!answer.unreachable.empty()) throw SystemError(answer.unreachable);
    return answer.details;
}

std::string formatAge(int64_t seconds) {
    char text[32];
    if (seconds < 60) {
        std::snprintf(text, sizeof text, "%llds", static_cast<long long>(seconds));
    } else if (seconds < 3600) {
        std::snprintf(text, sizeof text, "%lldm", static_cast<long long>(seconds / 60));
    } else if (seconds < 86400) {
        std::snprintf(text, sizeof text, "%lldh%02lldm", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds % 3600 / 60));
    } else {
        std::snprintf(text, sizeof text, "%lldd%02lldh", static_cast<long long>(seconds / 86400),
                      static_cast<long long>(seconds % 86400 / 3600));
    }
    return text;
}

// "running", or how the session ended and how long ago.
std::string statusOf(const SessionDetails& d) {
    if (!d.end) return "running";
    return describeEnd(*d.end) + ", " + formatAge(d.end->secondsAgo) + " ago";
}

std::vector<std::string> detailsTable(const std::vector<DetailsRow>& rows) {
    std::vector<std::vector<std::string>> cells = {
        {"NAME", "PID", "CLIENTS", "AGE", "SIZE", "STATUS", "COMMAND"}};
    for (const DetailsRow& row : rows) {
        if (!row.details) {
            std::string pid = row.pidFileValue > 0 ? std::to_string(row.pidFileValue) : "?";
            cells.push_back({printable(row.name), pid, "?", "?", "?", "?", "?"});
            continue;
        }
        const SessionDetails& d = *row.details;
        std::string command;
        for (const std::string& word : d.command)
            command += (command.empty() ? "" : " ") + printable(shellWord(word));
        if (row.lostSeconds) {
            // An ended session stays ended; a running one was lost.
            std::string status =
                d.end ? statusOf(d) : "lost, " + formatAge(*row.lostSeconds) + " ago";
            cells.push_back({printable(row.name), "-", "-", formatAge(d.ageSeconds),
                             std::to_string(d.cols) + "x" + std::to_string(d.rows), status,
                             command});
            continue;
        }
        // "2 (1 ro)": two attached, one of them read-only.
        std::string clients = std::to_string(d.clients);
        if (d.readOnly > 0) clients += " (" + std::to_string(d.readOnly) + " ro)";
        cells.push_back({printable(row.name), std::to_string(d.pid), clients,
                         formatAge(d.ageSeconds),
                         std::to_string(d.cols) + "x" + std::to_string(d.rows), statusOf(d),
                         command});
    }
    std::vector<size_t> widths(cells.front().size(), 0);
    for (const auto& line : cells)
        for (size_t i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths[i], columns(line[i]));
    std::vector<std::string> lines;
    for (const auto& line : cells) {
        std::string text;
        for (size_t i = 0; i + 1 < line.size(); ++i)
            text += padded(line[i], widths[i]) + "  ";
        lines.push_back(text + line.back());
    }
    return lines;
}

}  // namespace kiv
