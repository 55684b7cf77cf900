// Unix and TCP endpoints on real sockets, failure texts and descriptor hygiene.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/protocol.h"
#include "tests/support/errors.h"
#include "tests/support/net.h"
#include "tests/support/scratch.h"

using namespace kiv;
using testsupport::localPort;
using testsupport::openFdCount;
using testsupport::ScratchDir;

namespace {

// A path of exactly `size` bytes inside the scratch directory.
std::string pathOfSize(const ScratchDir& dir, size_t size) {
    std::string path = dir / "";
    return path + std::string(size - path.size(), 's');
}

// Sends one message from `client` and checks that `listener` accepts it.
void expectConnected(int listener, int client) {
    UniqueFd peer(accept(listener, nullptr, nullptr));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(sendMsg(client, MsgKind::Input, "ping"));
    EXPECT_EQ(recvMsg(peer.get()).payload, "ping");
}

TEST(UnixEndpoints, PathLengthLimit) {
    ScratchDir scratch;
    std::string fits = pathOfSize(scratch, 107);
    UniqueFd listener = listenUnix(fits);
    UniqueFd client = connectUnix(fits);
    expectConnected(listener.get(), client.get());
    EXPECT_EQ(fcntl(client.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(client.get(), F_GETFL) & O_NONBLOCK, 0);

    std::string tooLong = pathOfSize(scratch, 108);
    int before = openFdCount();
    EXPECT_EQ(testsupport::errorOf<SystemError>([&] { connectUnix(tooLong); }),
              "socket path too long");
    EXPECT_EQ(testsupport::errorOf<SystemError>([&] { listenUnix(tooLong); }),
              "socket path too long");
    EXPECT_EQ(openFdCount(), before);
}

TEST(UnixEndpoints, DeadAndMissingSockets) {
    ScratchDir scratch;
    std::string path = scratch / "dead.sock";
    listenUnix(path);  // closed at once: the file stays, nobody listens
    ASSERT_TRUE(testsupport::exists(path));
    int before = openFdCount();
    EXPECT_EQ(testsupport::errorOf<SystemError>([&] { connectUnix(path); }),
              "connect failed: " + path);
    EXPECT_EQ(testsupport::errorOf<SystemError>([&] { connectUnix(scratch / "none"); }),
              "connect failed: " + (scratch / "none"));
    EXPECT_EQ(testsupport::errorOf<SystemError>([&] { listenUnix(path); }), "bind failed: " + path);
    EXPECT_EQ(openFdCount(), before);
}

TEST(TcpEndpoints, TakenPortAndReuse) {
    ListenAddr loopback = parseListen("127.0.0.1:1");
    UniqueFd first = listenTcp(loopback, 0);
    int port = localPort(first.get());
    int before = openFdCount();
    EXPECT_EQ(testsupport::errorOf<SystemError>([&] { listenTcp(loopback, port); }),
              "cannot bind 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(openFdCount(), before);

    // The side that closes first keeps the port in TIME_WAIT; a new
    // listener may bind it all the same.
    UniqueFd client = connectTcp(loopback, port);
    UniqueFd served(accept(first.get(), nullptr, nullptr));
    served.reset();
    first.reset();
    char byte;
    EXPECT_EQ(read(client.get(), &byte, 1), 0);
    client.reset();
    EXPECT_NO_THROW(listenTcp(loopback, port));

    before = openFdCount();
    EXPECT_EQ(testsupport::errorOf<SystemError>([&] { connectTcp(loopback, port); }),
              "connect failed: 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(openFdCount(), before);
}

TEST(TcpEndpoints, Ipv6Loopback) {
    ListenAddr v6 = parseListen("::1:1");
    UniqueFd listener;
    try {
        listener = listenTcp(v6, 0);
    } catch (const SystemError& e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
    int port = localPort(listener.get());
    int only = 0;
    socklen_t size = sizeof only;
    ASSERT_EQ(getsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, &size), 0);
    EXPECT_EQ(only, 1);

    UniqueFd client = connectTcp(v6, port);
    expectConnected(listener.get(), client.get());
    UniqueFd timed =
        connectTcp(v6, port, std::chrono::steady_clock::now() + std::chrono::seconds(5));
    expectConnected(listener.get(), timed.get());
    EXPECT_EQ(fcntl(timed.get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(testsupport::errorOf<SystemError>([&] { listenTcp(v6, port); }),
              "cannot bind ::1:" + std::to_string(port));
}

}  // namespace
