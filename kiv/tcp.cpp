#include "kiv/tcp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/protocol.h"

namespace kiv {

namespace {

using Clock = std::chrono::steady_clock;

bool usablePort(int64_t port) {
    return port >= 1 && port <= 65535;
}

// The window's last port in 64-bit arithmetic, so that no base can overflow.
int64_t windowEnd(int basePort) {
    return int64_t{basePort} + PortWindow - 1;
}

// Waits until `fd` is ready for `events`; false once the deadline passes.
bool waitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Sends all of `bytes` on a non-blocking socket before the deadline.
bool sendBy(int fd, std::string_view bytes, Clock::time_point deadline) {
    while (!bytes.empty()) {
        ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!waitReady(fd, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Reads exactly `count` bytes from a non-blocking socket before the deadline.
bool readBy(int fd, char* dst, size_t count, Clock::time_point deadline) {
    while (count > 0) {
        ssize_t n = recv(fd, dst, count, 0);
        if (n > 0) {
            dst += n;
            count -= static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!waitReady(fd, POLLIN, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// One port of the search: the connection when the daemon there accepts
// `sessionName`, else nothing. Raises the failures of connecting and the
// protocol errors of the reply.
UniqueFd tryPort(const ListenAddr& addr, int port, const std::string& sessionName,
                 Clock::time_point deadline) {
    UniqueFd fd = connectTcp(addr, port, deadline);
    setNonBlocking(fd.get());
    if (!sendBy(fd.get(), frameBytes(MsgKind::Attach, sessionName), deadline)) return {};

    unsigned char header[HeaderSize];
    if (!readBy(fd.get(), reinterpret_cast<char*>(header), sizeof header, deadline))
        throw IoError("short read on message header");
    FrameHeader reply = decodeHeader(header);
    if (reply.kind != MsgKind::AttachOk) return {};
    // A kiv daemon's AttachOk is empty; whatever else one carries is read
    // so that the next message starts at a frame boundary.
    std::string payload(reply.length, '\0');
    if (!readBy(fd.get(), payload.data(), payload.size(), deadline))
        throw IoError("short read on message payload");

    int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return {};
    return fd;
}

}  // namespace

TcpListener startTcpListener(const ListenAddr& addr, int basePort) {
    for (int64_t port = basePort; port <= windowEnd(basePort); ++port) {
        if (!usablePort(port)) continue;
        try {
            return {listenTcp(addr, static_cast<int>(port)), static_cast<int>(port)};
        } catch (const SystemError&) {
            // Taken, in practice: the next port may be free.
        }
    }
    throw SystemError("no free TCP port in " + std::to_string(basePort) + ".." +
                      std::to_string(windowEnd(basePort)));
}

UniqueFd findTcpSession(const ListenAddr& addr, int basePort, const std::string& sessionName,
                        std::chrono::milliseconds attemptLimit) {
    for (int64_t port = basePort; port <= windowEnd(basePort); ++port) {
        if (!usablePort(port)) continue;
        try {
            UniqueFd fd =
                tryPort(addr, static_cast<int>(port), sessionName, Clock::now() + attemptLimit);
            if (fd) return fd;
        } catch (const Error&) {
            // Nobody there, a reset, a bad or missing reply: try the next port.
        }
    }
    throw SystemError("connect failed: session not found on socket or tcp");
}

}  // namespace kiv
