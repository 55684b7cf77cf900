#include "kiv/foreground.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <charconv>
#include <string>
#include <string_view>

namespace kiv {

namespace {

// The next space-separated number of a stat record; false when there is none.
bool nextNumber(std::string_view& rest, long long& value) {
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (ec != std::errc()) return false;
    rest.remove_prefix(static_cast<size_t>(end - rest.data()));
    return true;
}

}  // namespace

Foreground::Foreground(pid_t pid, dev_t terminal)
    : stat_(::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC)),
      terminal_(terminal) {}

bool Foreground::check(bool running) const {
    if (!stat_) return false;
    char buf[512];
    // The open record stays this process's: once it has gone, the read fails
    // rather than describe another process that took its number.
    ssize_t n = ::pread(stat_.get(), buf, sizeof buf, 0);
    if (n <= 0) return false;
    // "pid (name) state ppid pgrp session tty_nr tpgid ...": the name may
    // hold spaces and parentheses, so the fields start after the last ')'.
    std::string_view record(buf, static_cast<size_t>(n));
    size_t close = record.rfind(')');
    if (close == std::string_view::npos || close + 3 > record.size()) return false;
    char state = record[close + 2];
    std::string_view rest = record.substr(close + 3);
    long long ppid, pgrp, session, tty, tpgid;
    if (!nextNumber(rest, ppid) || !nextNumber(rest, pgrp) || !nextNumber(rest, session) ||
        !nextNumber(rest, tty) || !nextNumber(rest, tpgid))
        return false;
    // The kernel's device encoding: minor in bits 0-7 and 20-31, major in 8-19.
    auto major = static_cast<unsigned>((tty >> 8) & 0xfff);
    auto minor = static_cast<unsigned>((tty & 0xff) | ((tty >> 12) & 0xfff00));
    bool stopped = state == 'T' || state == 't';
    return !(running && stopped) && major == ::major(terminal_) && minor == ::minor(terminal_) &&
           tpgid == pgrp;
}

}  // namespace kiv
