#include "kiv/state_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kiv/errors.h"
#include "kiv/runtime.h"

namespace kiv {

namespace {

std::string stateBase() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    // A relative value is invalid by the convention, and would make the
    // place depend on the working directory.
    if (xdg && xdg[0] == '/') return xdg;
    if (isTermux()) return joinPath(std::getenv("PREFIX"), "var/lib");
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') throw SystemError("no state directory: HOME is not set");
    return joinPath(home, ".local/state");
}

[[noreturn]] void unsafe(const std::string& dir, const std::string& why) {
    throw SystemError("unsafe state directory: " + dir + " (" + why + ")");
}

}  // namespace

std::string stateDir() {
    std::string dir = joinPath(stateBase(), "kiv");
    makeDirs(dir.substr(0, dir.rfind('/')));
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw SystemError("Failed to create '" + dir + "': " + std::strerror(errno));
    // The records hold what the user's programs showed: a directory another
    // user can enter, or one planted as a link, must not get them.
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) unsafe(dir, std::strerror(errno));
    if (S_ISLNK(st.st_mode)) unsafe(dir, "a symbolic link");
    if (!S_ISDIR(st.st_mode)) unsafe(dir, "not a directory");
    if (st.st_uid != geteuid()) unsafe(dir, "owned by uid " + std::to_string(st.st_uid));
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        unsafe(dir, std::string("mode ") + mode + ", not 0700");
    }
    return dir;
}

}  // namespace kiv
