#include "kiv/runtime.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kiv/errors.h"

namespace kiv {

namespace {

std::string envOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Makes one directory; an existing directory (links followed) is fine.
void makeDir(const std::string& path, mode_t mode) {
    if (mkdir(path.c_str(), mode) == 0) return;
    int err = errno;
    struct stat st;
    if (err == EEXIST) {
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
        throw SystemError("Failed to create '" + path + "'");
    }
    throw SystemError("Failed to create '" + path + "': " + std::strerror(err));
}

}  // namespace

std::string joinPath(std::string_view a, std::string_view b) {
    std::string out(a);
    if (out.empty() || out.back() != '/') out += '/';
    out += b;
    return out;
}

bool isTermux() {
    std::string prefix = envOrEmpty("PREFIX");
    return !prefix.empty() && endsWith(prefix, "com.termux/files/usr");
}

std::string runtimeDir() {
    if (std::string xdg = envOrEmpty("XDG_RUNTIME_DIR"); !xdg.empty()) return xdg;
    if (std::string tmp = envOrEmpty("TMPDIR"); !tmp.empty()) return tmp;
    if (isTermux()) return joinPath(envOrEmpty("PREFIX"), "tmp");
    return "/tmp";
}

void makeDirs(const std::string& path) {
    // Walk the components left to right so that each parent exists before
    // its child is made.
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
        if (path[pos - 1] != '/') makeDir(path.substr(0, pos), 0777);
    if (!path.empty() && path.back() != '/') makeDir(path, 0777);
}

std::string sessionDir() {
    // XDG_RUNTIME_DIR is the user's own; the others are shared by every user
    // of the machine, where one name for all would let whoever makes it
    // first lock everyone else out.
    if (!envOrEmpty("XDG_RUNTIME_DIR").empty()) return joinPath(runtimeDir(), "kiv");
    return joinPath(runtimeDir(), "kiv-" + std::to_string(geteuid()));
}

std::string kivDir() {
    std::string dir = sessionDir();
    std::string parent = dir.substr(0, dir.rfind('/'));
    if (!parent.empty()) makeDirs(parent);

    // The session directory holds sockets that accept keystrokes and pid
    // files that `kill` signals, so it must be ours and closed to others.
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw SystemError("Failed to create '" + dir + "': " + std::strerror(errno));
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT) throw SystemError("Failed to create '" + dir + "'");
        throw SystemError("unsafe session directory: " + dir);
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        throw SystemError("unsafe session directory: " + dir);
    // Open to others, it may already hold their planted sockets and links:
    // tightening it now would trust those. It is refused instead.
    if ((st.st_mode & 077) != 0) throw SystemError("unsafe session directory: " + dir);
    return dir;
}

}  // namespace kiv
