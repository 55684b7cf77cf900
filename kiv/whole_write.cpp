#include "kiv/whole_write.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace kiv {

bool waitWritable(int fd) {
    for (;;) {
        pollfd p{fd, POLLOUT, 0};
        int ready = poll(&p, 1, -1);
        if (ready < 0 && errno == EINTR) continue;
        // Ready for writing, or an error the next write reports.
        return ready > 0 && (p.revents & POLLOUT);
    }
}

bool writeWhole(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitWritable(fd)) return false;
        } else {
            return false;  // an error, or a write that takes nothing at all
        }
    }
    return true;
}

}  // namespace kiv
