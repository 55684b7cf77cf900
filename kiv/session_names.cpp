#include "kiv/session_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/runtime.h"
#include "kiv/session_files.h"

namespace kiv {

namespace {

std::string currentDir() {
    std::string buf(PATH_MAX, '\0');
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) return "";
        buf.resize(buf.size() * 2);
    }
    buf.resize(std::strlen(buf.c_str()));
    return buf;
}

bool isRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string defaultName() {
    std::string cwd = currentDir();
    const char* homeEnv = std::getenv("HOME");
    std::string home = homeEnv ? std::string(homeEnv) + "/" : "/";
    struct stat cwdStat, homeStat;
    if (stat(cwd.c_str(), &cwdStat) == 0 && stat(home.c_str(), &homeStat) == 0 &&
        cwdStat.st_dev == homeStat.st_dev && cwdStat.st_ino == homeStat.st_ino)
        return "~";
    while (cwd.size() > 1 && cwd.back() == '/')
        cwd.pop_back();
    std::string last = cwd.substr(cwd.rfind('/') + 1);
    // The root directory has no last component; "root" names it plainly.
    return last.empty() ? "root" : last;
}

std::string resolveSession(std::string_view name) {
    if (!name.empty()) return std::string(name);
    std::string base = defaultName();
    std::string dir = kivDir();
    for (long counter = -1;; ++counter) {
        std::string candidate = counter < 0 ? base : base + std::to_string(counter);
        if (isRegularFile(socketPath(candidate))) continue;
        std::string lock = sessionFile(candidate, ".lock");
        if (isRegularFile(lock)) continue;
        int fd = open(lock.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return candidate;
        }
        if (errno != EEXIST || counter > 1000000)
            throw SystemError("cannot create session lock in " + dir);
    }
}

bool isActive(std::string_view name) {
    std::string path = socketPath(name);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    // Without waiting: a stopped daemon, its queue full of connections it
    // does not take, is there all the same, and must not hold up the asker.
    try {
        connectUnixNow(path);
        return true;
    } catch (const SystemError&) {
        return false;  // nobody listens, or a path too long to reach
    }
}

std::string blockedSocket(std::string_view name) {
    std::string path = socketPath(name);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISSOCK(st.st_mode)) return "";
    int pid = daemonPid(name);
    if (pid <= 0 || kill(pid, 0) != 0) return "";
    std::string what = S_ISDIR(st.st_mode) ? "a directory" : "not a socket";
    return "session " + printableName(name) + " cannot be reached: " + path + " is " + what +
           " (once it is gone, the session puts its socket back within seconds)";
}

std::vector<std::string> socketNames() {
    std::vector<std::string> names;
    std::string dir = kivDir();
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* entry = readdir(d)) {
        std::string file = entry->d_name;
        if (file.size() <= 5 || file.compare(file.size() - 5, 5, ".sock") != 0) continue;
        std::string name = file.substr(0, file.size() - 5);
        if (validSessionName(name)) names.push_back(name);
    }
    closedir(d);
    return names;
}

std::string oldestSession(const std::function<bool(const std::string&)>& accept) {
    struct Candidate {
        int64_t time, pid;
        std::string name;
        bool operator<(const Candidate& other) const {
            return std::tie(time, pid) < std::tie(other.time, other.pid);
        }
    };
    std::vector<Candidate> candidates;
    for (const std::string& name : socketNames()) {
        if (!isActive(name)) continue;
        struct stat st;
        if (stat(sessionFile(name, ".pid").c_str(), &st) != 0) continue;
        candidates.push_back({st.st_mtim.tv_sec, daemonPid(name), name});
    }
    // Stable: among equals the directory's order decides, as before.
    std::stable_sort(candidates.begin(), candidates.end());
    for (const Candidate& c : candidates)
        if (!accept || accept(c.name)) return c.name;
    return "";
}

}  // namespace kiv
