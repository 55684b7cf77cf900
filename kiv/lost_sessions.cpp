#include "kiv/lost_sessions.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fstream>
#include <vector>

#include "kiv/errors.h"
#include "kiv/session_details.h"
#include "kiv/session_files.h"
#include "kiv/session_names.h"
#include "kiv/shell_words.h"
#include "kiv/state_dir.h"
#include "screen/terminal.h"

namespace kiv {

namespace {

// More than a saved transcript can hold: the daemon's scrollback and two
// screens of the largest size.
constexpr int64_t ReplayScrollback = 10000 + 2 * 4096;

}  // namespace

std::optional<std::string> savedDir(std::string* why) {
    try {
        return stateDir();
    } catch (const SystemError& e) {
        if (why) *why = e.what();
        return std::nullopt;
    }
}

bool daemonAlive(const SavedRecord& record) {
    if (record.pid <= 0 || record.pid > INT32_MAX || record.bootId.empty() ||
        record.bootId != currentBootId())
        return false;
    if (kill(pid_t(record.pid), 0) != 0 && errno != EPERM) return false;
    // The pid may have been reused: its arguments must be "daemon" and
    // the name (with "--" between them as the front end starts it).
    std::ifstream in("/proc/" + std::to_string(record.pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(in, arg, '\0');)
        args.push_back(arg);
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] != "daemon") continue;
        size_t at = args[i + 1] == "--" ? i + 2 : i + 1;
        if (at < args.size() && args[at] == record.name) return true;
    }
    return false;
}

std::optional<SavedRecord> lostRecord(const std::string& name, bool whole) {
    std::optional<std::string> dir = savedDir();
    if (!dir || isActive(name)) return std::nullopt;
    std::optional<SavedRecord> record = loadRecord(*dir, name, whole);
    if (record && daemonAlive(*record)) return std::nullopt;
    return record;
}

std::string savedTranscript(const SavedRecord& record) {
    if (!record.hasContent || record.content.empty()) return "";
    screen::Terminal model(record.cols, record.rows, ReplayScrollback);
    model.write(record.content);
    return model.transcript();
}

namespace {

// A shell that reads its commands from its terminal: one called "...sh"
// (bash, zsh, dash, fish, ksh) not given a command of its own with -c.
bool interactiveShell(const std::vector<std::string>& command) {
    std::string_view program = command.front();
    if (size_t slash = program.rfind('/'); slash != std::string_view::npos)
        program.remove_prefix(slash + 1);
    if (!program.ends_with("sh")) return false;
    return std::find(command.begin() + 1, command.end(), "-c") == command.end();
}

// A typed line must not carry keys of its own: a control character would
// be taken as one (a newline as Enter, ^C, ^D) wherever it stood.
bool typeable(std::string_view text) {
    return std::none_of(text.begin(), text.end(),
                        [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// Within what a terminal's line editing holds for one line.
constexpr size_t MaxTypedBytes = 4000;

}  // namespace

Restart restartOf(const SavedRecord& record) {
    Restart plan{record.command, record.cwd, "", ""};
    if (record.job.empty()) return plan;
    if (!interactiveShell(record.command)) {
        plan.command = record.job;
        if (!record.jobCwd.empty()) plan.cwd = record.jobCwd;
        return plan;
    }
    std::string line = shellLine(record.job);
    if (!record.jobCwd.empty() && record.jobCwd != record.cwd)
        line = "cd " + shellWord(record.jobCwd) + " && " + line;
    if (!typeable(line)) {
        plan.refusal = "it holds control characters";
    } else if (line.size() > MaxTypedBytes) {
        plan.refusal = "it is too long to type";
    } else {
        plan.typed = line + "\r";
    }
    return plan;
}

namespace {

std::string savedWhen(const SavedRecord& record) {
    char when[32] = "?";
    time_t saved = time_t(record.saved);
    struct tm local;
    if (localtime_r(&saved, &local)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    return when;
}

}  // namespace

std::string restartLine(const SavedRecord& record) {
    return "[" + printableName(record.name) + " started again; above, as saved " +
           savedWhen(record) + "]";
}

std::string lostLine(const SavedRecord& record) {
    int64_t age = std::max<int64_t>(0, int64_t(std::time(nullptr)) - record.saved);
    std::string line = "[" + printableName(record.name) + " lost " + formatAge(age) +
                       " ago, saved " + savedWhen(record);
    if (!record.hasContent) line += "; its screen was not saved (KIV_SAVE=0)";
    return line + "]";
}

}  // namespace kiv
