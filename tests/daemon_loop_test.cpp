// The daemon driven in-process: a Daemon object with a real command on a
// real pseudo-terminal, its clients on socketpairs, its loop run step by step.
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "kiv/session_daemon.h"
#include "kiv/protocol.h"

using kiv::ClientStage;
using kiv::MsgKind;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

kiv::Session shellSession(const std::string& script) {
    kiv::Session s;
    s.name = "inproc";
    s.pty = kiv::openPty("/bin/sh", {"-c", script}, 80, 24);
    s.term = screen::newTerminal(80, 24, 100);
    s.running = true;
    return s;
}

// One end of a socketpair handed to the daemon, the other kept by the test.
struct Peer {
    kiv::UniqueFd mine;
    kiv::ClientId id = 0;
    std::string received;  // raw bytes from the daemon

    Peer(kiv::Daemon& d, bool trusted) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        mine.reset(fds[0]);
        id = d.adoptClient(kiv::UniqueFd(fds[1]), trusted);
    }
    void send(MsgKind kind, std::string_view payload) {
        std::string frame = kiv::frameBytes(kind, payload);
        ASSERT_EQ(::send(mine.get(), frame.data(), frame.size(), 0), ssize_t(frame.size()));
    }
    void drain() {
        char buf[65536];
        ssize_t n;
        while ((n = recv(mine.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0)
            received.append(buf, n);
    }
};

// Steps the daemon until `done` holds; false when the limit passes first.
bool stepUntil(kiv::Daemon& d, const std::function<bool()>& done,
               std::chrono::seconds limit = 10s) {
    auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        d.step(50);
    }
    return true;
}

TEST(DaemonLoop, ClientStagesFromAttachToLiveOutput) {
    kiv::Daemon d(shellSession("while read line; do echo \"[$line]\"; done"));
    Peer local(d, true), remote(d, false);
    ASSERT_NE(local.id, 0u);
    EXPECT_EQ(d.client(local.id)->stage(), ClientStage::AwaitingSnapshot);
    EXPECT_EQ(d.client(remote.id)->stage(), ClientStage::AwaitingAttach);

    remote.send(MsgKind::Resize, kiv::resizePayload({80, 24}));  // ignored before Attach
    remote.send(MsgKind::Attach, "inproc");
    ASSERT_TRUE(
        stepUntil(d, [&] { return d.client(remote.id)->stage() == ClientStage::AwaitingSnapshot; }));
    local.send(MsgKind::Resize, kiv::resizePayload({100, 30}));
    remote.send(MsgKind::Resize, kiv::resizePayload({100, 30}));
    ASSERT_TRUE(stepUntil(d, [&] {
        return d.client(local.id)->stage() == ClientStage::Live &&
               d.client(remote.id)->stage() == ClientStage::Live;
    }));
    local.send(MsgKind::Input, "typed\r");
    ASSERT_TRUE(stepUntil(d, [&] {
        remote.drain();
        return remote.received.find("[typed]") != std::string::npos;
    }));
    EXPECT_EQ(remote.received.substr(0, 6), kiv::frameBytes(MsgKind::AttachOk, ""));

    // A Detach is swept after its batch; the handle then finds nothing.
    local.send(MsgKind::Detach, "");
    ASSERT_TRUE(stepUntil(d, [&] { return d.client(local.id) == nullptr; }));
    EXPECT_EQ(d.clientCount(), 1u);
}

TEST(DaemonLoop, SteadyOutputCostsNoSelectorCalls) {
    // Megabytes of output to a client that keeps up: the interest stays
    // "read" throughout, so no epoll_ctl is needed per chunk.
    kiv::Daemon d(shellSession("read go; head -c 3000000 /dev/zero | tr '\\0' x; echo; echo END"));
    Peer c(d, true);
    c.send(MsgKind::Resize, kiv::resizePayload({80, 24}));
    ASSERT_TRUE(stepUntil(d, [&] {
        c.drain();
        return !c.received.empty();
    }));
    long before = d.selector().controlCalls();
    c.send(MsgKind::Input, "go\r");
    int steps = 0;
    ASSERT_TRUE(stepUntil(d, [&] {
        c.drain();
        ++steps;
        return c.received.find("END") != std::string::npos;
    }));
    EXPECT_GT(steps, 20);  // each step reads up to 64 KiB
    EXPECT_LT(d.selector().controlCalls() - before, steps / 10);
}

}  // namespace
