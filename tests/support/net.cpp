#include "tests/support/net.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <stdexcept>

namespace testsupport {

namespace {

bool canBind(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

int portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    return -1;
}

}  // namespace

int localPort(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("getsockname failed");
    return portOf(address);
}

int connectionsTo(int first, int last) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) throw std::runtime_error("cannot list /proc/self/fd");
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        int fd = std::atoi(entry->d_name);
        sockaddr_storage peer{}, self{};
        socklen_t peerSize = sizeof peer, selfSize = sizeof self;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfSize) != 0)
            continue;
        int to = portOf(peer), from = portOf(self);
        if (to >= first && to <= last && !(from >= first && from <= last)) ++count;
    }
    closedir(dir);
    return count;
}

int openFdCount() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) throw std::runtime_error("cannot list /proc/self/fd");
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count - 1;  // the directory stream's own descriptor
}

int freePortRun(int count, int from, int to) {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 200; ++attempt) {
        int base = std::uniform_int_distribution<int>(from, to - count)(random);
        bool free = true;
        for (int port = base; free && port < base + count; ++port)
            free = canBind(port);
        if (free) return base;
    }
    throw std::runtime_error("no run of free ports");
}

}  // namespace testsupport
