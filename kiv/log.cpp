#include "kiv/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "kiv/runtime.h"

namespace kiv {

namespace {

bool localNow(std::tm& out) {
    std::time_t now = std::time(nullptr);
    return localtime_r(&now, &out) != nullptr;
}

std::string dataDir() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg) return xdg;
    const char* home = std::getenv("HOME");
    return joinPath(joinPath(home ? home : "", ".local"), "share");
}

}  // namespace

std::string Logger::logFilePath() {
    std::tm now{};
    localNow(now);
    return joinPath(joinPath(dataDir(), "kiv"),
                    "kiv-" + std::to_string(now.tm_year + 1900) + ".log");
}

Logger initLogger(bool enabled) noexcept {
    Logger logger;
    if (!enabled) return logger;
    try {
        std::string path = Logger::logFilePath();
        makeDirs(path.substr(0, path.rfind('/')));
        UniqueFd file(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
        if (!file) return logger;
        logger.file_ = std::move(file);
        logger.path_ = std::move(path);
    } catch (...) {
        // No log then; the daemon runs on without one.
    }
    return logger;
}

void Logger::info(std::string_view message) noexcept {
    if (!file_) return;
    try {
        std::tm now{};
        char stamp[32];
        if (!localNow(now) || std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S ", &now) == 0)
            return;
        std::string line = stamp;
        if (!session_.empty()) line += session_ + ": ";
        line += message;
        line += '\n';
        // O_APPEND makes each write land whole at the end of the file, even
        // with other daemons appending at the same time.
        size_t done = 0;
        while (done < line.size()) {
            ssize_t n = write(file_.get(), line.data() + done, line.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (!(n < 0 && errno == EINTR)) {
                return;
            }
        }
    } catch (...) {
        // A line that cannot be built is dropped.
    }
}

void Logger::close() noexcept {
    file_.reset();
    path_.clear();
}

}  // namespace kiv
