#include "kiv/session_files.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "kiv/errors.h"
#include "kiv/integer.h"
#include "kiv/runtime.h"

namespace kiv {

uint32_t fnv1a(std::string_view bytes) {
    uint32_t hash = 0x811C9DC5u;
    for (unsigned char b : bytes) {
        hash ^= b;
        hash *= 0x01000193u;
    }
    return hash;
}

std::string toHex(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

bool validSessionName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string socketPath(std::string_view name) {
    if (!validSessionName(name)) throw UsageError("invalid session name: " + std::string(name));
    std::string dir = kivDir();
    std::string full = joinPath(dir, name) + ".sock";
    if (full.size() <= MaxSocketPath) return full;

    // Room for "/", "-", 8 hex digits and ".sock" next to the directory.
    long keep = static_cast<long>(MaxSocketPath) - static_cast<long>(dir.size()) - 1 - 5 - 9;
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
        std::ifstream in(sessionFile(name, ".pid"), std::ios::binary);
        if (!in) return 0;
        std::ostringstream content;
        content << in.rdbuf();
        std::string text = content.str();
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

void removeLock(std::string_view name) {
    unlink(sessionFile(name, ".lock").c_str());
}

}  // namespace kiv
