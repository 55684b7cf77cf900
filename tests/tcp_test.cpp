// The TCP port window: the daemon's listener and the client's search, with
// fake daemons in threads playing the other side of the handshake.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/protocol.h"
#include "kiv/tcp.h"
#include "tests/support/errors.h"
#include "tests/support/net.h"

using namespace kiv;
using namespace std::chrono_literals;

namespace {

const ListenAddr Loopback = parseListen("127.0.0.1:1");

// Something listening on one port of the window. It answers each
// connection's first message as `reply` says, then closes it.
class FakeDaemon {
  public:
    enum Reply { Session, Garbage };

    FakeDaemon(int port, Reply reply, std::string name = "")
        : listener_(listenTcp(Loopback, port)), reply_(reply), name_(std::move(name)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeDaemon() { stop(); }

    // Ends the thread; only then may the records below be read.
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    // Attach payloads received, and what the attached client sent next.
    std::vector<std::string> attaches;
    Message afterAttach{MsgKind::Error, "(nothing)"};

  private:
    void serve() {
        while (!stop_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            UniqueFd peer(accept(listener_.get(), nullptr, nullptr));
            if (!peer) continue;
            timeval guard{10, 0};
            setsockopt(peer.get(), SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
            if (reply_ == Garbage) {
                // Another protocol's greeting: not a kiv frame.
                send(peer.get(), "SSH-2.0-x\r\n", 11, MSG_NOSIGNAL);
                continue;
            }
            try {
                Message m = recvMsg(peer.get());
                attaches.push_back(m.payload);
                if (m.kind != MsgKind::Attach || m.payload != name_) {
                    sendMsg(peer.get(), MsgKind::Error, "no such session");
                    continue;
                }
                sendMsg(peer.get(), MsgKind::AttachOk, "");
                sendMsg(peer.get(), MsgKind::Output, "screen");
                afterAttach = recvMsg(peer.get());
            } catch (const IoError&) {
            }
        }
    }

    UniqueFd listener_;
    Reply reply_;
    std::string name_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(TcpListener, SkipsTakenPorts) {
    int base = testsupport::freePortRun(3);
    UniqueFd taken0 = listenTcp(Loopback, base);
    UniqueFd taken1 = listenTcp(Loopback, base + 1);
    TcpListener listener = startTcpListener(Loopback, base);
    EXPECT_EQ(listener.port, base + 2);
    EXPECT_EQ(testsupport::localPort(listener.fd.get()), base + 2);
    EXPECT_NO_THROW(connectTcp(Loopback, base + 2));
}

TEST(TcpListener, NoFreePort) {
    // Past 65535 the window has nothing to bind; hold the two ports below.
    std::vector<UniqueFd> held;
    for (int port : {65534, 65535}) {
        try {
            held.push_back(listenTcp(Loopback, port));
        } catch (const SystemError&) {
            // Someone else holds it: taken all the same.
        }
    }
    EXPECT_EQ(testsupport::errorOf<SystemError>([] { startTcpListener(Loopback, 65534); }),
              "no free TCP port in 65534..65597");
    // Port 0 would always bind (to any free port), so it is never tried.
    EXPECT_EQ(testsupport::errorOf<SystemError>([] { startTcpListener(Loopback, -63); }),
              "no free TCP port in -63..0");
    EXPECT_EQ(testsupport::errorOf<SystemError>([] { startTcpListener(Loopback, INT32_MAX - 10); }),
              "no free TCP port in 2147483637..2147483700");
}

TEST(TcpSearch, FindsTheSessionPastRefusalsAndSilence) {
    int base = testsupport::freePortRun(5);
    FakeDaemon other(base, FakeDaemon::Session, "other");
    // base + 1: nobody listens.
    UniqueFd silent = listenTcp(Loopback, base + 2);  // accepts, never answers
    FakeDaemon garbage(base + 3, FakeDaemon::Garbage);
    FakeDaemon right(base + 4, FakeDaemon::Session, "work");

    UniqueFd fd = findTcpSession(Loopback, base, "work", 300ms);
    EXPECT_EQ(testsupport::connectionsTo(base, base + 4), 1);  // every other attempt was closed

    // Blocking, no time limit left, and the stream starts right after AttachOk.
    EXPECT_EQ(fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
    timeval limit{1, 1};
    socklen_t size = sizeof limit;
    getsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, &size);
    EXPECT_EQ(limit.tv_sec + limit.tv_usec, 0);
    Message first = recvMsg(fd.get());
    EXPECT_EQ(first.kind, MsgKind::Output);
    EXPECT_EQ(first.payload, "screen");
    ASSERT_TRUE(sendMsg(fd.get(), MsgKind::Resize, std::string("\0\x50\0\x18", 4)));

    right.stop();
    other.stop();
    EXPECT_EQ(right.afterAttach.kind, MsgKind::Resize);
    EXPECT_EQ(right.attaches, std::vector<std::string>{"work"});
    EXPECT_EQ(other.attaches, std::vector<std::string>{"work"});
}

TEST(TcpSearch, SessionNotFound) {
    int base = testsupport::freePortRun(PortWindow);
    FakeDaemon other(base + 10, FakeDaemon::Session, "other");
    EXPECT_EQ(
        testsupport::errorOf<SystemError>([&] { findTcpSession(Loopback, base, "work", 300ms); }),
        "connect failed: session not found on socket or tcp");
    EXPECT_EQ(testsupport::connectionsTo(base, base + PortWindow - 1), 0);
    other.stop();
    EXPECT_EQ(other.attaches, std::vector<std::string>{"work"});
}

}  // namespace
