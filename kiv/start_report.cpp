#include "kiv/start_report.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kiv/errors.h"
#include "kiv/integer.h"

namespace kiv {

StartReport::StartReport() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw SystemError("pipe failed");
    read_.reset(fds[0]);
    write_.reset(fds[1]);
}

bool StartReport::handOver() {
    read_.reset();
    int fd = write_.get();
    if (fcntl(fd, F_SETFD, 0) != 0) return false;  // kept across the exec
    return setenv(StartReportVar, std::to_string(fd).c_str(), 1) == 0;
}

std::string StartReport::reason(std::chrono::steady_clock::time_point deadline) {
    std::string text;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd p{read_.get(), POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buf[512];
        ssize_t n = ::read(read_.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (text.size() < 4096) text.append(buf, n);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

UniqueFd takeStartReport() {
    const char* value = std::getenv(StartReportVar);
    std::optional<int64_t> fd = value ? readInteger(value) : std::nullopt;
    unsetenv(StartReportVar);
    if (!fd || *fd < 3 || *fd > 1023 || fcntl(static_cast<int>(*fd), F_GETFD) < 0) return {};
    fcntl(static_cast<int>(*fd), F_SETFD, FD_CLOEXEC);
    return UniqueFd(static_cast<int>(*fd));
}

void reportStartFailure(const UniqueFd& report, const std::string& reason) {
    if (!report) return;
    std::string line = reason + "\n";
    ssize_t ignored = ::write(report.get(), line.data(), line.size());
    (void)ignored;
}

}  // namespace kiv
