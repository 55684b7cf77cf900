#include "kiv/endpoints.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kiv/errors.h"

namespace kiv {

namespace {

constexpr int Backlog = 5;

UniqueFd streamSocket(int family, int extraFlags = 0) {
    UniqueFd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC | extraFlags, 0));
    if (!fd) throw SystemError("socket failed");
    return fd;
}

// The whole structure is passed to bind and connect, zero-filled, so that a
// NUL always follows the path.
sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) throw SystemError("socket path too long");
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

struct TcpAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

TcpAddress tcpAddress(const ListenAddr& addr, int port) {
    TcpAddress out;
    if (addr.family == AF_INET6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(out.storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&in6.sin6_addr, addr.addr.data(), sizeof in6.sin6_addr);
        out.length = sizeof in6;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(out.storage);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&in4.sin_addr, addr.addr.data(), sizeof in4.sin_addr);
        out.length = sizeof in4;
    }
    return out;
}

// "127.0.0.1:7000" or "::1:7000": the port after the last ':', as users
// write a listen address.
std::string endpointText(const ListenAddr& addr, int port) {
    return addressText(addr) + ":" + std::to_string(port);
}

void clearNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Waits for a non-blocking connect to finish; false when it failed or the
// deadline passed first.
bool finishConnect(int fd, std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    for (;;) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0) break;
    }
    return connectError(fd) == 0;
}

}  // namespace

UniqueFd connectUnix(const std::string& path) {
    UniqueFd fd = streamSocket(AF_UNIX);
    sockaddr_un address = unixAddress(path);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw SystemError("connect failed: " + path);
    return fd;
}

UniqueFd connectUnixNow(const std::string& path) {
    UniqueFd fd = streamSocket(AF_UNIX, SOCK_NONBLOCK);
    sockaddr_un address = unixAddress(path);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (errno == EAGAIN) return {};
    throw SystemError("connect failed: " + path);
}

UniqueFd listenUnix(const std::string& path) {
    UniqueFd fd = streamSocket(AF_UNIX);
    sockaddr_un address = unixAddress(path);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw SystemError("bind failed: " + path);
    if (listen(fd.get(), Backlog) != 0) throw SystemError("listen failed");
    return fd;
}

UniqueFd connectTcp(const ListenAddr& addr, int port) {
    UniqueFd fd = streamSocket(addr.family);
    TcpAddress address = tcpAddress(addr, port);
    if (connect(fd.get(), address.get(), address.length) != 0)
        throw SystemError("connect failed: " + endpointText(addr, port));
    return fd;
}

UniqueFd startConnectTcp(const ListenAddr& addr, int port) {
    UniqueFd fd = streamSocket(addr.family, SOCK_NONBLOCK);
    TcpAddress address = tcpAddress(addr, port);
    if (connect(fd.get(), address.get(), address.length) != 0 && errno != EINPROGRESS)
        throw SystemError("connect failed: " + endpointText(addr, port));
    return fd;
}

int connectError(int fd) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}

UniqueFd connectTcp(const ListenAddr& addr, int port,
                    std::chrono::steady_clock::time_point deadline) {
    UniqueFd fd = startConnectTcp(addr, port);
    if (!finishConnect(fd.get(), deadline))
        throw SystemError("connect failed: " + endpointText(addr, port));
    clearNonBlocking(fd.get());
    return fd;
}

UniqueFd listenTcp(const ListenAddr& addr, int port) {
    UniqueFd fd = streamSocket(addr.family);
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Without this an IPv6 wildcard listener would also take IPv4 clients,
    // and the port it binds would depend on a system setting.
    if (addr.family == AF_INET6) setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    TcpAddress address = tcpAddress(addr, port);
    if (bind(fd.get(), address.get(), address.length) != 0)
        throw SystemError("cannot bind " + endpointText(addr, port));
    if (listen(fd.get(), Backlog) != 0) throw SystemError("listen failed");
    return fd;
}

void setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace kiv
