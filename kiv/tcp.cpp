#include "kiv/tcp.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

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

// The deadline passed before the peer said anything.
struct NoAnswer : IoError {
    NoAnswer() : IoError("no answer in time") {}
};

// Some bytes from a non-blocking socket before the deadline. Raises IoError
// when the peer closes, NoAnswer when the deadline passes first.
std::string receiveBy(int fd, Clock::time_point deadline) {
    for (;;) {
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) return std::string(buf, n);
        if (n == 0) throw IoError("connection closed");
        if (errno != EAGAIN && errno != EINTR) throw IoError("connection failed");
        if (!waitReady(fd, POLLIN, deadline)) throw NoAnswer();
    }
}

// A connection to one port of the window, made or under way.
struct Connecting {
    int64_t port = 0;
    UniqueFd fd;
};

// Waits for the first of `pending` to settle before `deadline` and takes it
// out: its port, and its socket when the connection was made (empty when it
// failed). Nothing once the deadline passes first; the rest stay under way.
std::optional<Connecting> nextSettled(std::vector<Connecting>& pending,
                                      Clock::time_point deadline) {
    while (!pending.empty()) {
        std::vector<pollfd> fds;
        for (const Connecting& c : pending)
            fds.push_back({c.fd.get(), POLLOUT, 0});
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        int ready =
            poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 60000)));
        if (ready < 0 && errno != EINTR) return std::nullopt;
        for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Connecting settled = std::move(pending[i]);
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
            if (connectError(settled.fd.get()) != 0) settled.fd.reset();
            return settled;
        }
    }
    return std::nullopt;
}

// Raised when a daemon ends the connection right after the client's proof:
// the one thing that tells a kiv daemon with another key.
struct KeyRefused : IoError {
    KeyRefused() : IoError("key refused") {}
};

// Raised when the peer accepted the connection and closed it before its
// first answer: a daemon whose waiting places are taken, say.
struct ConnectionRefused : IoError {
    ConnectionRefused() : IoError("connection refused") {}
};

// One port of the search, connected: the session when the daemon there
// proves the key and accepts `sessionName`, else nothing. The peer must
// answer the hello within `silence`, and all must be done by `deadline`.
// Raises the failures of the handshake and of the reply.
TcpSession tryPort(UniqueFd fd, const std::string& sessionName, const Key& key,
                   std::chrono::milliseconds silence, Clock::time_point deadline) {
    Clock::time_point answerBy = std::min(deadline, Clock::now() + silence);
    setNoDelay(fd.get());
    auto channel = std::make_unique<SecureChannel>(ChannelRole::Client, key);
    if (!sendBy(fd.get(), channel->hello(), answerBy)) return {};

    // Nothing of the user's, not even the session name, goes out before the
    // peer has proved that it holds the key.
    std::string plain;
    bool proofSent = false;
    bool answered = false;
    while (!channel->established()) {
        std::string reply;
        std::string bytes;
        try {
            bytes = receiveBy(fd.get(), answered ? deadline : answerBy);
        } catch (const NoAnswer&) {
            throw;
        } catch (const IoError&) {
            if (proofSent) throw KeyRefused();
            if (!answered) throw ConnectionRefused();
            throw;
        }
        answered = true;
        channel->receive(bytes, plain, reply);
        if (!sendBy(fd.get(), reply, deadline)) return {};
        proofSent = proofSent || !reply.empty();
    }
    std::string attach;
    channel->seal(frameBytes(MsgKind::Attach, sessionName), attach);
    if (!sendBy(fd.get(), attach, deadline)) return {};

    size_t used = 0;
    MsgKind kind;
    std::string payload;
    while (!takeFrame(plain, used, kind, payload)) {
        std::string reply;
        channel->receive(receiveBy(fd.get(), deadline), plain, reply);
    }
    if (kind != MsgKind::AttachOk) return {};
    plain.erase(0, used);

    int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return {};
    return {std::move(fd), std::move(channel), std::move(plain)};
}

}  // namespace

void setNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

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

namespace {

// "port 7001" or "ports 7001, 7002", then the verb in its singular or plural.
std::string portsDoing(const std::vector<int64_t>& ports, const std::string& one,
                       const std::string& many) {
    std::string text = ports.size() == 1 ? "port " : "ports ";
    for (size_t i = 0; i < ports.size(); ++i)
        text += (i ? ", " : "") + std::to_string(ports[i]);
    return text + " " + (ports.size() == 1 ? one : many);
}

}  // namespace

TcpSession findTcpSession(const ListenAddr& addr, int basePort, const std::string& sessionName,
                          const Key& key, std::chrono::milliseconds attemptLimit) {
    std::vector<int64_t> keyRefused, closed;
    auto attempt = [&](int64_t port, UniqueFd fd) -> TcpSession {
        try {
            return tryPort(std::move(fd), sessionName, key, SilenceLimit,
                           Clock::now() + attemptLimit);
        } catch (const KeyRefused&) {
            keyRefused.push_back(port);
        } catch (const ConnectionRefused&) {
            closed.push_back(port);
        } catch (const Error&) {
            // An impostor, a bad or missing reply: try the next port.
        }
        return {};
    };
    // A port whose connection is not even made within the silence limit
    // (a program that never takes its connections has a full queue after a
    // few searches) is set aside, costing no more than one that says nothing.
    std::vector<Connecting> setAside;
    for (int64_t port = basePort; port <= windowEnd(basePort); ++port) {
        if (!usablePort(port)) continue;
        std::vector<Connecting> one;
        try {
            one.push_back({port, startConnectTcp(addr, static_cast<int>(port))});
        } catch (const SystemError&) {
            continue;  // nobody there
        }
        std::optional<Connecting> made = nextSettled(one, Clock::now() + SilenceLimit);
        if (!made) {
            setAside.push_back(std::move(one.front()));
        } else if (made->fd) {
            if (TcpSession found = attempt(port, std::move(made->fd)); found.fd) return found;
        }
    }
    // A daemon whose queue was full for a moment may be among them: they go
    // on connecting, all at once, for one attempt's time in all.
    Clock::time_point lastChance = Clock::now() + attemptLimit;
    while (std::optional<Connecting> made = nextSettled(setAside, lastChance)) {
        if (!made->fd) continue;
        if (TcpSession found = attempt(made->port, std::move(made->fd)); found.fd) return found;
    }
    // A refusal is not "no such session": the session may well be there.
    std::string message = "connect failed: session not found on socket or tcp";
    if (keyRefused.empty() && closed.empty()) throw SystemError(message);
    std::vector<std::string> why;
    if (!keyRefused.empty())
        why.push_back(
            portsDoing(keyRefused, "refuses this machine's key", "refuse this machine's key"));
    if (!closed.empty())
        why.push_back(portsDoing(closed, "refused the connection", "refused the connection"));
    message += " (" + why[0] + (why.size() > 1 ? "; " + why[1] : "") + ")";
    if (!keyRefused.empty()) throw KeyError(message);
    throw TcpRefused(message);
}

}  // namespace kiv
