#include "kiv/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kiv/errors.h"
#include "kiv/fd.h"
#include "kiv/runtime.h"

namespace kiv {

namespace {

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string missingMessage(const std::string& path) {
    return "no key file " + path +
           ": copy the key file from the daemon's machine (~/.config/kiv/key there by default)"
           " to this path, mode 0600";
}

// Makes `dir` and its missing parents, each private to the user: a key in a
// directory others can enter would be one rename away from a stranger's.
void makePrivateDirs(const std::string& dir) {
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        std::string part = dir.substr(0, pos);
        if (part.empty() || mkdir(part.c_str(), 0700) == 0 || errno == EEXIST) continue;
        throw SystemError("cannot create " + part + ": " + std::strerror(errno));
    }
}

std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes a new key to `path` unless a file is there already; false then.
// The key is written under a temporary name and linked into place, so that
// nobody ever reads half a key, and a concurrent maker's key is never
// overwritten.
bool writeNewKey(const std::string& path, const Key& key) {
    std::string temp = path + ".new-" + std::to_string(getpid());
    unlink(temp.c_str());
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) throw SystemError("cannot create key file " + path + ": " + std::strerror(errno));
    bool written = fchmod(fd.get(), 0600) == 0 &&
                   ::write(fd.get(), key.data(), key.size()) == static_cast<ssize_t>(key.size()) &&
                   fsync(fd.get()) == 0;
    int err = errno;
    fd.reset();
    if (!written) {
        unlink(temp.c_str());
        throw SystemError("cannot write key file " + path + ": " + std::strerror(err));
    }
    int linked = link(temp.c_str(), path.c_str());
    err = errno;
    unlink(temp.c_str());
    if (linked == 0) return true;
    if (err == EEXIST) return false;
    throw SystemError("cannot create key file " + path + ": " + std::strerror(err));
}

// The key's directory is held to what the session directory is: the
// user's own, a real directory, closed to everyone else. Open to others, a
// key in it could be swapped for a stranger's between two reads.
void checkKeyDirectory(const std::string& path) {
    std::string dir = parentOf(path);
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) return;  // the file's own error says more
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0)
        throw KeyError("unsafe key directory: " + dir + " (it must be yours, mode 0700)");
}

}  // namespace

std::string keyFilePath() {
    if (const char* named = std::getenv("KIV_KEY_FILE"); named && *named) return named;
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        config = xdg;
    } else {
        const char* home = std::getenv("HOME");
        config = joinPath(home ? home : "", ".config");
    }
    return joinPath(joinPath(config, "kiv"), "key");
}

Key readKeyFile(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) throw KeyError(missingMessage(path));
        throw KeyError("cannot read key file " + path + ": " + std::strerror(errno));
    }
    // The checks look at the file that was opened, not at the name again.
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        throw KeyError("cannot read key file " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw KeyError("key file " + path + " is not a regular file");
    if (st.st_uid != geteuid())
        throw KeyError("key file " + path + " belongs to another user: make your own");
    if (st.st_mode & 077)
        throw KeyError("key file " + path + " is open to other users (mode " +
                       octalMode(st.st_mode) + "): chmod 600 " + path);
    checkKeyDirectory(path);

    Key key;
    unsigned char extra;
    ssize_t n = ::read(fd.get(), key.data(), key.size());
    if (n == static_cast<ssize_t>(key.size()) && ::read(fd.get(), &extra, 1) == 0) return key;
    if (n < 0) throw KeyError("cannot read key file " + path + ": " + std::strerror(errno));
    throw KeyError("key file " + path + " is not a kiv key (32 bytes expected)");
}

LoadedKey loadOrCreateKeyFile(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 || errno != ENOENT) return {readKeyFile(path), false};
    makePrivateDirs(parentOf(path));
    checkKeyDirectory(path);
    Key key = Key::random();
    if (!writeNewKey(path, key)) return {readKeyFile(path), false};  // another daemon's
    return {key, true};
}

}  // namespace kiv
