#include "kiv/session_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "kiv/errors.h"
#include "kiv/fd.h"
#include "kiv/integer.h"
#include "kiv/runtime.h"

namespace kiv {

uint64_t fnv1a(std::string_view bytes) {
    uint64_t hash = 0xCBF29CE484222325u;
    for (unsigned char b : bytes) {
        hash ^= b;
        hash *= 0x100000001B3u;
    }
    return hash;
}

std::string toHex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(value));
    return text;
}

namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

}  // namespace

bool validSessionName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos &&
           std::none_of(name.begin(), name.end(), [](char c) { return isControl(c); });
}

std::string printableName(std::string_view name) {
    std::string out;
    for (unsigned char c : name) {
        if (isControl(c) || c == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<FileId> fileId(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return std::nullopt;
    return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

void removeIfSame(const std::string& path, const std::optional<FileId>& id) {
    if (id && fileId(path) == id) unlink(path.c_str());
}

FileId writePidFile(std::string_view name) {
    std::string path = sessionFile(name, ".pid");
    unlink(path.c_str());  // a leftover, or a link planted to be followed
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    std::string pid = std::to_string(getpid());
    struct stat st;
    if (!fd) throw SystemError("cannot write pid file: " + path);
    // A full disk must not leave an empty pid file behind.
    if (::write(fd.get(), pid.data(), pid.size()) != static_cast<ssize_t>(pid.size()) ||
        fstat(fd.get(), &st) != 0) {
        unlink(path.c_str());
        throw SystemError("cannot write pid file: " + path);
    }
    return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::string socketPath(std::string_view name) {
    if (!validSessionName(name)) throw UsageError("invalid session name: " + printableName(name));
    std::string dir = kivDir();
    std::string full = joinPath(dir, name) + ".sock";
    if (full.size() <= MaxSocketPath) return full;

    // Room for "/", "-", 16 hex digits and ".sock" next to the directory.
    long keep = static_cast<long>(MaxSocketPath) - static_cast<long>(dir.size()) - 1 - 5 - 17;
    if (keep <= 0) return full;  // too long either way; bind/connect will say so
    std::string_view prefix = name.substr(0, std::min<size_t>(keep, name.size()));
    return joinPath(dir, prefix) + "-" + toHex(fnv1a(name)) + ".sock";
}

std::string sessionFile(std::string_view name, std::string_view extension) {
    std::string path = socketPath(name);
    path.resize(path.size() - 5);  // ".sock"
    path += extension;
    return path;
}

int daemonPid(std::string_view name) {
    try {
        // Never through a link: it could make `kill` read any file's number.
        UniqueFd fd(open(sessionFile(name, ".pid").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) return 0;
        std::string text;
        char buf[64];
        ssize_t n;
        while (text.size() < 256 && (n = ::read(fd.get(), buf, sizeof buf)) > 0)
            text.append(buf, n);
        const char* space = " \t\v\r\n\f";
        size_t first = text.find_first_not_of(space);
        if (first == std::string::npos) return 0;
        size_t last = text.find_last_not_of(space);
        auto pid = readInteger(std::string_view(text).substr(first, last - first + 1));
        if (!pid || *pid <= 0 || *pid > INT32_MAX) return 0;
        return static_cast<int>(*pid);
    } catch (const std::exception&) {
        return 0;
    }
}

void removeSocket(std::string_view name) {
    unlink(socketPath(name).c_str());
}

}  // namespace kiv
