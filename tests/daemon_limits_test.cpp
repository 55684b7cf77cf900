// What strangers, floods and absurd sizes may cost a daemon: bounded memory,
// bounded waits, no spinning, and the owner still served.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kiv/client_connection.h"
#include "kiv/endpoints.h"
#include "kiv/key_file.h"
#include "kiv/protocol.h"
#include "kiv/tcp.h"
#include "tests/support/daemon.h"
#include "tests/support/net.h"

using namespace testsupport;
using kiv::MsgKind;

namespace {

std::string script(const ScratchDir& scratch, const std::string& body) {
    std::string path = scratch / "cmd";
    writeFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

// utime + stime of a process in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

int tcpPort(DaemonProcess& d) {
    std::string log = d.waitLog("listening on tcp 127.0.0.1:");
    size_t at = log.find("listening on tcp 127.0.0.1:");
    return at == std::string::npos ? -1 : std::stoi(log.substr(at + 27));
}

std::string header(MsgKind kind, size_t length) {
    return {2,
            static_cast<char>(kind),
            static_cast<char>(length >> 24),
            static_cast<char>(length >> 16),
            static_cast<char>(length >> 8),
            static_cast<char>(length)};
}

TEST(DaemonLimits, StrangersOverTcpAreBoundedInMemoryNumberAndTime) {
    ScratchDir scratch;
    int base = freePortRun(4);
    DaemonProcess d(scratch, "guarded", "/bin/cat",
                    {"-l", "127.0.0.1:" + std::to_string(base), "--log"});
    ASSERT_TRUE(d.waitReady());
    int port = tcpPort(d);
    ASSERT_GT(port, 0);
    kiv::ListenAddr addr = kiv::parseListen("127.0.0.1:" + std::to_string(port));
    long before = d.rssKb();

    {  // Frames that announce 16 MiB and never end are refused at their header.
        std::vector<std::unique_ptr<ProtoClient>> big;
        for (MsgKind kind : {MsgKind::Attach, MsgKind::Input, MsgKind::Output, MsgKind::Attach,
                             MsgKind::Input, MsgKind::Output}) {
            big.push_back(std::make_unique<ProtoClient>(kiv::connectTcp(addr, port)));
            big.back()->sendRaw(header(kind, kiv::MaxPayload) + std::string(200000, 'x'));
        }
        for (auto& c : big)
            EXPECT_TRUE(c->waitClosed(3s));
        EXPECT_LT(d.rssKb() - before, 4 * 1024) << "kB grown";
    }

    // At most 4 from one address wait for their Attach: a fifth closes the
    // oldest. One that sends no hello goes after 1 s.
    std::vector<std::unique_ptr<ProtoClient>> silent;
    for (int i = 0; i < 5; ++i) {
        silent.push_back(std::make_unique<ProtoClient>(kiv::connectTcp(addr, port)));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(silent.front()->waitClosed(500ms));
    EXPECT_FALSE(silent.back()->waitClosed(500ms));
    for (auto& c : silent)
        EXPECT_TRUE(c->waitClosed(2s));
    ProtoClient owner = ProtoClient::overTcp(addr, port, kiv::readKeyFile(d.keyFile()));
    owner.send(MsgKind::Attach, "guarded");
    auto ok = owner.next();
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->kind, MsgKind::AttachOk);
}

// A stranger that keeps reopening 16 connections to the TCP port, so that
// every waiting place stays taken, cannot keep the owner out, and its
// knocking costs a log line per interval, not one per connection.
TEST(DaemonLimits, StrangerHoldingEveryPlaceCannotLockTheOwnerOut) {
    ScratchDir scratch;
    int base = freePortRun(4);
    DaemonProcess d(scratch, "guarded", "/bin/cat",
                    {"-l", "127.0.0.1:" + std::to_string(base), "--log"});
    ASSERT_TRUE(d.waitReady());
    int port = tcpPort(d);
    ASSERT_GT(port, 0);
    kiv::ListenAddr addr = kiv::parseListen("127.0.0.1:" + std::to_string(port));
    kiv::Key key = kiv::readKeyFile(d.keyFile());

    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::thread stranger([&] {
        std::vector<kiv::UniqueFd> held(16);
        while (!stop) {
            for (auto& fd : held) {
                char byte;
                if (fd && recv(fd.get(), &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN) continue;
                try {
                    fd = kiv::connectTcp(addr, port, std::chrono::steady_clock::now() + 100ms);
                    ++opened;
                } catch (const kiv::Error&) {
                    fd.reset();  // the backlog was full for a moment
                }
            }
            std::this_thread::sleep_for(2ms);
        }
    });
    std::this_thread::sleep_for(500ms);
    int attached = 0;
    for (int i = 0; i < 16; ++i) {
        try {
            kiv::TcpSession s = kiv::findTcpSession(addr, port, "guarded", key);
            attached += s.fd ? 1 : 0;
        } catch (const kiv::Error& e) {
            ADD_FAILURE() << e.what();
        }
        std::this_thread::sleep_for(100ms);
    }
    stop = true;
    stranger.join();
    EXPECT_EQ(attached, 16);
    EXPECT_GT(opened, 32) << "the stranger did not keep the places full";
    std::string log = d.logText();
    size_t lines = 0;
    for (size_t at = log.find("tcp connection closed"); at != std::string::npos;
         at = log.find("tcp connection closed", at + 1))
        ++lines;
    EXPECT_LE(lines, 2u) << log;
}

TEST(DaemonLimits, FullDescriptorTableNeitherSpinsNorLocksOutTheOwner) {
    ScratchDir scratch;
    DaemonProcess d(scratch, "fdlimit", "/bin/cat", {"--log"});
    ASSERT_TRUE(d.waitReady());
    rlimit small{24, 24};
    ASSERT_EQ(prlimit(d.pid(), RLIMIT_NOFILE, &small, nullptr), 0);

    std::vector<std::unique_ptr<ProtoClient>> crowd;
    for (int i = 0; i < 40; ++i)
        crowd.push_back(std::make_unique<ProtoClient>(kiv::connectUnix(d.socketPath())));
    std::this_thread::sleep_for(300ms);  // let the daemon meet the limit
    long ticks = cpuTicks(d.pid());
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpuTicks(d.pid()) - ticks, sysconf(_SC_CLK_TCK) / 5) << "the daemon spins";
    EXPECT_NE(d.waitLog("no descriptor left").find("no descriptor left"), std::string::npos);

    crowd.clear();
    std::this_thread::sleep_for(300ms);
    ProtoClient owner = ProtoClient::overUnix(d.socketPath());
    owner.resize(80, 24);
    auto snap = owner.next();
    ASSERT_TRUE(snap);
    EXPECT_EQ(snap->kind, MsgKind::Output);
}

TEST(DaemonLimits, LargeFramesGiveTheirMemoryBack) {
    ScratchDir scratch;
    DaemonProcess d(scratch, "bigframes", "/bin/cat");
    ASSERT_TRUE(d.waitReady());
    std::string frame = kiv::frameBytes(MsgKind::Output, std::string(kiv::MaxPayload - 1, 'o'));
    std::vector<std::unique_ptr<ProtoClient>> clients;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(std::make_unique<ProtoClient>(kiv::connectUnix(d.socketPath())));
        // A kind clients never send, so it is read whole and ignored; the
        // screen after it shows that it was consumed.
        ASSERT_TRUE(clients.back()->sendRaw(frame));
        clients.back()->resize(80, 24);
        ASSERT_TRUE(clients.back()->next(30s));
    }
    long rss = d.rssKb();
    std::cout << "RSS after 16 completed 16 MiB frames: " << rss << " kB\n";
    if (RssIsMeaningful) {
        EXPECT_LT(rss, 32 * 1024);
    }
}

TEST(DaemonLimits, HugeResizeIsCutToWhatTheGridHolds) {
    ScratchDir scratch;
    std::string cmd =
        script(scratch, "while read line; do printf '\\033[41m\\033[2J'; stty size; done\n");
    DaemonProcess d(scratch, "huge", cmd);
    ASSERT_TRUE(d.waitReady());
    ProtoClient a = ProtoClient::overUnix(d.socketPath());
    a.resize(65535, 65535);
    ASSERT_TRUE(a.outputUntil([&](const std::string&) { return !a.others().empty(); }));
    EXPECT_EQ(a.others()[0].payload, kiv::resizePayload({4096, 256}));
    a.send(MsgKind::Input, "\r");
    EXPECT_TRUE(a.outputContains("256 4096"));  // the command sees the grid's size
    // No side may be zero either: to the grid that means no bound at all.
    a.others().clear();
    a.resize(0, 0);
    ASSERT_TRUE(a.outputUntil([&](const std::string&) { return !a.others().empty(); }));
    EXPECT_EQ(a.others()[0].payload, kiv::resizePayload({1, 1}));
    a.resize(65535, 65535);

    // Another client at that size gets its whole screen.
    ProtoClient b = ProtoClient::overUnix(d.socketPath());
    b.resize(65535, 65535);
    ASSERT_TRUE(b.outputUntil([&](const std::string&) { return !b.others().empty(); }, 30s));
    EXPECT_NE(b.output().find("\x1b[2J"), std::string::npos);
    long rss = d.rssKb();
    std::cout << "RSS after a 65535x65535 Resize, a coloured erase and an attach: " << rss
              << " kB\n";
    EXPECT_LT(rss, 64 * 1024);
}

TEST(DaemonLimits, NewClientIsServedWhileAnotherFloodsACommandThatDoesNotRead) {
    ScratchDir scratch;
    std::string cmd = script(scratch, "stty raw -echo\necho RAW-MODE\nsleep 60\n");
    DaemonProcess d(scratch, "flooded", cmd);
    ASSERT_TRUE(d.waitReady());
    auto flooder = std::make_unique<ProtoClient>(kiv::connectUnix(d.socketPath()));
    flooder->resize(80, 24);
    ASSERT_TRUE(flooder->outputContains("RAW-MODE", 20s));
    int flooderFd = flooder->fd();
    std::thread writer([flooderFd] {
        std::string frame = kiv::frameBytes(MsgKind::Input, std::string(4000, 'f'));
        for (int i = 0; i < 2000; ++i)
            if (::send(flooderFd, frame.data(), frame.size(), MSG_NOSIGNAL) <= 0) break;
    });
    std::this_thread::sleep_for(1s);  // the daemon now holds the flood back

    ProtoClient late = ProtoClient::overUnix(d.socketPath());
    late.resize(100, 30);
    auto snap = late.next(10s);
    EXPECT_TRUE(snap && snap->kind == MsgKind::Output)
        << "no screen for a new client during a flood";
    late.send(MsgKind::Detach, "");
    EXPECT_TRUE(late.waitClosed(5s));

    shutdown(flooderFd, SHUT_RDWR);  // ends the writer
    writer.join();
    flooder.reset();
}

TEST(DaemonLimits, SlowReaderGetsTheLastOutputWhole) {
    ScratchDir scratch;
    std::string cmd =
        script(scratch, "read go\nhead -c 8388608 /dev/zero | tr '\\0' z\necho FINAL-MARK\n");
    DaemonProcess d(scratch, "slowend", cmd);
    ASSERT_TRUE(d.waitReady());
    ProtoClient c = ProtoClient::overUnix(d.socketPath());
    c.resize(80, 24);
    ASSERT_TRUE(c.outputUntil([&](const std::string&) { return !c.others().empty(); }));
    c.send(MsgKind::Input, "go\r");
    // About 3 MB/s: the command is long gone before the reader is done.
    std::string bytes;
    auto deadline = std::chrono::steady_clock::now() + 60s;
    char buf[32768];
    ssize_t n;
    while (std::chrono::steady_clock::now() < deadline &&
           (n = recv(c.fd(), buf, sizeof buf, 0)) > 0) {
        bytes.append(buf, n);
        std::this_thread::sleep_for(10ms);
    }
    // The bytes are raw frames: a frame header's length byte may itself be 'z'.
    EXPECT_GE(std::count(bytes.begin(), bytes.end(), 'z'), 8388608);
    EXPECT_NE(bytes.find("FINAL-MARK"), std::string::npos);
    EXPECT_EQ(d.waitExit(), 0);
}

// A screen whose repaint is larger than a client's whole queue (every cell
// of the largest grid carrying combining marks): the attaching client gets
// all of it, and the output after it, instead of being dropped.
TEST(DaemonLimits, RepaintLargerThanTheQueueArrivesWhole) {
    ScratchDir scratch;
    std::string cell = "e";
    for (int i = 0; i < 10; ++i)
        cell += "\xcc\x81";  // U+0301
    std::string screenful;
    for (int i = 0; i < 1024 * 1023; ++i)
        screenful += cell;
    writeFile(scratch / "screen", screenful);
    std::string cmd = script(scratch, "stty -echo\nread go\ncat " + scratch / "screen" +
                                          "\necho; echo PAINTED\nread go\necho AFTER\nsleep 60\n");
    DaemonProcess d(scratch, "marks", cmd);
    ASSERT_TRUE(d.waitReady());
    ProtoClient a = ProtoClient::overUnix(d.socketPath());
    a.resize(1024, 1024);
    ASSERT_TRUE(a.outputUntil([&](const std::string&) { return !a.others().empty(); }));
    a.send(MsgKind::Input, "\r");
    ASSERT_TRUE(a.outputContains("PAINTED", 60s));

    // The late client reads nothing until the session has printed more.
    ProtoClient b = ProtoClient::overUnix(d.socketPath());
    b.resize(1024, 1024);
    std::this_thread::sleep_for(1s);
    a.send(MsgKind::Input, "\r");
    ASSERT_TRUE(a.outputContains("AFTER", 20s));
    ASSERT_TRUE(b.outputContains("AFTER", 60s))
        << "dropped after " << b.output().size() << " bytes";
    EXPECT_GT(b.output().size(), size_t{kiv::ClientQueueLimit});
    EXPECT_GE(std::count(b.output().begin(), b.output().end(), 'e'), 1024 * 1000);
}

}  // namespace
