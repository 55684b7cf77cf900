#include "kiv/terminal_restore.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace kiv {

namespace {

// The size the terminal reports, or 80x24 as the daemon is told then.
winsize sizeOf(int fd) {
    winsize ws{};
    if (ioctl(fd, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0 || ws.ws_col == 0) {
        ws.ws_col = 80;
        ws.ws_row = 24;
    }
    return ws;
}

}  // namespace

TerminalRestore::TerminalRestore(int fd) : fd_(fd) {
    winsize ws = sizeOf(fd);
    // No history: leaving needs the screen and the state, nothing above.
    model_ = screen::newTerminal(ws.ws_col, ws.ws_row, 0);
    model_->resize(ws.ws_col, ws.ws_row);
}

TerminalRestore::~TerminalRestore() {
    restore();
}

void TerminalRestore::shown(std::string_view output) {
    model_->write(output);
}

void TerminalRestore::resized() {
    winsize ws = sizeOf(fd_);
    model_->resize(ws.ws_col, ws.ws_row);
}

void TerminalRestore::restore() {
    if (done_) return;
    done_ = true;
    if (!isatty(fd_)) return;
    std::string bytes = model_->leavingSequence();
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

}  // namespace kiv
