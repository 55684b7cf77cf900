#include "tests/support/relay.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kiv/config.h"
#include "kiv/endpoints.h"

namespace testsupport {

namespace {

const kiv::ListenAddr Loopback = kiv::parseListen("127.0.0.1:1");

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

TcpRelay::TcpRelay(int port, int target)
    : listener_(kiv::listenTcp(Loopback, port)), target_(target) {
    thread_ = std::thread([this] { serve(); });
}

TcpRelay::~TcpRelay() {
    stop_ = true;
    thread_.join();
}

std::string TcpRelay::fromClient() const {
    std::lock_guard lock(mutex_);
    return fromClient_;
}

std::string TcpRelay::toClient() const {
    std::lock_guard lock(mutex_);
    return toClient_;
}

void TcpRelay::serve() {
    while (!stop_) {
        pollfd p{listener_.get(), POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        kiv::UniqueFd client(accept(listener_.get(), nullptr, nullptr));
        if (!client) continue;
        try {
            kiv::UniqueFd daemon = kiv::connectTcp(Loopback, target_);
            relay(client.get(), daemon.get());
        } catch (const std::exception&) {
            // Nobody at the target: the client sees its connection close.
        }
    }
}

void TcpRelay::relay(int client, int daemon) {
    while (!stop_) {
        pollfd p[2] = {{client, POLLIN, 0}, {daemon, POLLIN, 0}};
        if (poll(p, 2, 20) <= 0) continue;
        for (int side = 0; side < 2; ++side) {
            if (!p[side].revents) continue;
            char buf[65536];
            ssize_t n = ::recv(p[side].fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            {
                std::lock_guard lock(mutex_);
                (side == 0 ? fromClient_ : toClient_).append(buf, n);
            }
            if (!sendAll(side == 0 ? daemon : client, buf, n)) return;
        }
    }
}

}  // namespace testsupport
