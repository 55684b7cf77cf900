#include "kiv/session_saver.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>

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

}  // namespace

bool contentSavingWanted() {
    const char* v = std::getenv("KIV_SAVE");
    if (!v) return true;
    std::string value = v;
    return !(value == "0" || value == "no" || value == "off" || value == "false");
}

SessionSaver::SessionSaver(std::string dir, SavedRecord base, bool withContent, Logger* log)
    : dir_(std::move(dir)), record_(std::move(base)), withContent_(withContent), log_(log) {
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
