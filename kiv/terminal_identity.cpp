#include "kiv/terminal_identity.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace kiv {

namespace {

std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The start time of a process in clock ticks since boot (field 22 of its
// stat file, counted after the command name, which may hold anything).
std::string startTime(pid_t pid) {
    std::string stat = firstLine("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return "";
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 22; ++i)
        if (!(fields >> field)) return "";
    return field;
}

}  // namespace

std::string terminalIdentity(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return "";
    pid_t leader = tcgetsid(fd);
    if (leader <= 0) return "";
    std::string started = startTime(leader);
    std::string boot = firstLine("/proc/sys/kernel/random/boot_id");
    if (started.empty() || boot.empty()) return "";
    return boot + " " + std::to_string(st.st_rdev) + " " + std::to_string(leader) + " " + started;
}

}  // namespace kiv
