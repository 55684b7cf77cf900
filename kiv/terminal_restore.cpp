#include "kiv/terminal_restore.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "kiv/whole_write.h"

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

TerminalTracker trackerOf(int fd) {
    winsize ws = sizeOf(fd);
    return TerminalTracker(ws.ws_col, ws.ws_row);
}

}  // namespace

TerminalRestore::TerminalRestore(int fd) : fd_(fd), tracker_(trackerOf(fd)) {}

TerminalRestore::~TerminalRestore() {
    restore();
}

void TerminalRestore::shown(std::string_view output) {
    parser_.feed(output, tracker_);
}

void TerminalRestore::resized() {
    winsize ws = sizeOf(fd_);
    tracker_.resize(ws.ws_col, ws.ws_row);
}

void TerminalRestore::enter() {
    if (titleSaved_ || !isatty(fd_)) return;
    titleSaved_ = true;
    writeWhole(fd_, "\x1b[22;0t");  // push the window and icon titles
}

void TerminalRestore::restore() {
    if (done_) return;
    done_ = true;
    if (!isatty(fd_)) return;
    std::string bytes = screen::leavingSequence(tracker_.leaving());
    if (titleSaved_) bytes += "\x1b[23;0t";  // and pop them
    writeWhole(fd_, bytes);
}

}  // namespace kiv
