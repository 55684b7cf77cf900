#include "kiv/session_saver.h"

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <vector>

#include "kiv/session_daemon.h"
#include "kiv/errors.h"

namespace kiv {

namespace {

// The command's working directory now (a shell follows the user's `cd`),
// else what was known before.
std::string commandCwd(int pid, const std::string& fallback) {
    if (pid <= 0) return fallback;
    char buf[PATH_MAX];
    std::string link = "/proc/" + std::to_string(pid) + "/cwd";
    ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || size_t(n) >= sizeof buf || buf[0] != '/') return fallback;
    return std::string(buf, size_t(n));
}

// A process's arguments, none when it is gone (or a zombie).
std::vector<std::string> arguments(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> words;
    for (std::string word; std::getline(in, word, '\0');)
        words.push_back(word);
    return words;
}

// A process's parent and process group, from /proc/<pid>/stat (the fields
// after the name, which may itself hold parentheses and blanks).
bool parentAndGroup(pid_t pid, long& parent, long& group) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    char state;
    return std::sscanf(stat.c_str() + close + 1, " %c %ld %ld", &state, &parent, &group) == 3;
}

// More than one command of the shell's in the group: a pipeline, of which
// the leader is only the first command.
bool pipeline(pid_t group) {
    long shell, leaderGroup;
    if (!parentAndGroup(group, shell, leaderGroup)) return false;
    DIR* proc = opendir("/proc");
    if (!proc) return false;
    bool found = false;
    while (dirent* entry = readdir(proc)) {
        char* end;
        long pid = std::strtol(entry->d_name, &end, 10);
        long parent, inGroup;
        if (*end != '\0' || pid <= 0 || pid == group) continue;
        if (parentAndGroup(pid_t(pid), parent, inGroup) && inGroup == group && parent == shell) {
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}

// The job in the foreground of the session's terminal (the process group
// the terminal gives its input to), by its leader's arguments and
// directory. Nothing when that is the command itself (a shell at its
// prompt), when the leader is gone, and when the arguments would not start
// the job again: a subshell's ("(cd src && make)") are the shell's own, a
// pipeline's leader is only its first command.
void foregroundJob(int master, int commandPid, SavedRecord& record) {
    record.job.clear();
    record.jobCwd.clear();
    pid_t group = commandPid > 0 ? tcgetpgrp(master) : -1;
    if (group <= 0 || group == commandPid) return;
    std::vector<std::string> words = arguments(group);
    if (words.empty() || words.front().empty() || words == arguments(commandPid)) return;
    if (pipeline(group)) return;
    record.job = std::move(words);
    record.jobCwd = commandCwd(group, "");
}

}  // namespace

bool contentSavingWanted() {
    const char* v = std::getenv("KIV_SAVE");
    if (!v) return true;
    std::string value = v;
    return !(value == "0" || value == "no" || value == "off" || value == "false");
}

SessionSaver::SessionSaver(std::string dir, SavedRecord base, bool withContent, int master,
                           Logger* log)
    : dir_(std::move(dir)),
      record_(std::move(base)),
      withContent_(withContent),
      master_(master),
      log_(log) {
    record_.hasContent = withContent_;
    record_.bootId = currentBootId();
    record_.pid = getpid();
}

void SessionSaver::changed(Clock::time_point now) {
    if (!dirtySince_) dirtySince_ = now;
}

std::optional<SessionSaver::Clock::time_point> SessionSaver::due() const {
    if (!dirtySince_) return std::nullopt;
    return *dirtySince_ + (busy_ ? MaxBehind : QuietDelay);
}

void SessionSaver::maybeWrite(Clock::time_point now, bool quiet, const screen::Terminal& term,
                              int commandPid) {
    if (!dirtySince_ || now < *dirtySince_ + QuietDelay) return;
    if (!quiet && now < *dirtySince_ + MaxBehind) {
        busy_ = true;  // no waking at once again: the bound is the next chance
        return;
    }
    write(term, commandPid);
}

void SessionSaver::write(const screen::Terminal& term, int commandPid) {
    dirtySince_.reset();
    busy_ = false;
    record_.saved = std::time(nullptr);
    record_.cwd = commandCwd(commandPid, record_.cwd);
    // What the user runs is theirs too: kept off the disk with the screen.
    foregroundJob(master_, withContent_ ? commandPid : 0, record_);
    record_.cols = term.cols();
    record_.rows = term.rows();
    if (withContent_) record_.content = term.transcript(SnapshotHistoryBudget);
    try {
        writeRecord(dir_, record_);
        if (failedBefore_ && log_) log_->info("saved record written again");
        failedBefore_ = false;
    } catch (const SystemError& e) {
        // A full disk must not cost the session: the next change tries
        // again, and the log says it once.
        if (!failedBefore_ && log_) log_->info(e.what());
        failedBefore_ = true;
    }
    record_.content.clear();
    record_.content.shrink_to_fit();
}

void SessionSaver::ended(const SessionEnd& end) {
    record_.end = end;
    record_.endedAt = std::time(nullptr);
}

void SessionSaver::remove() {
    dirtySince_.reset();
    removeRecord(dir_, record_.name);
}

}  // namespace kiv
