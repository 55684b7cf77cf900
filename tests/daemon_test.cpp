// The daemon as a real process: a real command on a real pseudo-terminal,
// clients speaking the protocol over its Unix socket and over TCP.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "kiv/daemon.h"
#include "kiv/endpoints.h"
#include "kiv/key_file.h"
#include "kiv/protocol.h"
#include "tests/support/daemon.h"

using namespace testsupport;
using kiv::MsgKind;

namespace {

// An executable script in the scratch directory: sessions take one word.
std::string script(const ScratchDir& scratch, const std::string& name, const std::string& body) {
    std::string path = scratch / name;
    writeFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

std::string resizePayload(int cols, int rows) {
    return {static_cast<char>(cols >> 8), static_cast<char>(cols & 0xff),
            static_cast<char>(rows >> 8), static_cast<char>(rows & 0xff)};
}

ProtoClient attach(DaemonProcess& d, int cols = 80, int rows = 24) {
    ProtoClient c = ProtoClient::overUnix(d.socketPath());
    c.resize(cols, rows);
    return c;
}

int freePortBase() {
    // Spread parallel test runs over the port space.
    return 20000 + (getpid() % 400) * 100;
}

TEST(Daemon, SnapshotShowsEarlierOutputThenLiveOutputFollows) {
    ScratchDir scratch;
    std::string cmd =
        script(scratch, "s",
               "printf 'before\\033[31mRED\\033[0m\\r\\n'\nread x\necho \"got $x\"\nsleep 30\n");
    DaemonProcess d(scratch, "snap", cmd);
    ASSERT_TRUE(d.waitReady());
    std::this_thread::sleep_for(300ms);  // let the command print before anyone attaches

    ProtoClient c = ProtoClient::overUnix(d.socketPath());
    // No output at all before the client reports its size.
    EXPECT_FALSE(c.next(300ms).has_value());
    c.resize(80, 24);
    auto snap = c.next();
    ASSERT_TRUE(snap);
    ASSERT_EQ(snap->kind, MsgKind::Output);
    EXPECT_NE(snap->payload.find("\x1b[H\x1b[J"), std::string::npos);
    EXPECT_NE(snap->payload.find("before"), std::string::npos);
    EXPECT_NE(snap->payload.find("\x1b[0;31mRED"), std::string::npos);
    EXPECT_NE(snap->payload.find("\x1b[2;1H"), std::string::npos);  // cursor on the next row
    auto echo = c.next();
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->kind, MsgKind::Resize);
    EXPECT_EQ(echo->payload, resizePayload(80, 24));

    c.send(MsgKind::Input, "hello\r");
    EXPECT_TRUE(c.outputContains("got hello"));
}

TEST(Daemon, HugeHistoryStillAttaches) {
    // 10000 lines of 2000 columns: a history far larger than one message.
    ScratchDir scratch;
    std::string cmd = script(scratch, "s",
                             "read go\nhead -c 20000000 /dev/zero | tr '\\0' 'y' | fold -w 2000\n"
                             "echo; echo LAST-LINE\nsleep 30\n");
    DaemonProcess d(scratch, "wide", cmd);
    ASSERT_TRUE(d.waitReady());
    {
        ProtoClient first = attach(d, 2000, 40);
        ASSERT_TRUE(first.outputUntil([&](const std::string&) { return !first.others().empty(); }));
        first.send(MsgKind::Input, "go\r");
        ASSERT_TRUE(first.outputContains("LAST-LINE", 60s));
    }
    // The repaint comes in pieces, before the echo of the client's size.
    ProtoClient c = attach(d, 2000, 40);
    ASSERT_TRUE(c.outputUntil([&](const std::string&) { return !c.others().empty(); }, 30s));
    EXPECT_LT(c.output().size(), 16u * 1024 * 1024);
    EXPECT_GT(c.output().size(), 4u * 1024 * 1024);
    EXPECT_NE(c.output().find("LAST-LINE"), std::string::npos);
}

// The session takes the size of the client that last attached, typed or
// resized, goes back to the others' when it leaves, and tells every client.
TEST(Daemon, SessionSizeFollowsTheLatestClient) {
    ScratchDir scratch;
    std::string cmd = script(scratch, "s", "while read line; do echo \"$line: $(stty size)\"; done\n");
    DaemonProcess d(scratch, "shared-size", cmd);
    ASSERT_TRUE(d.waitReady());
    ProtoClient a = attach(d, 100, 30);
    ASSERT_TRUE(a.outputUntil([&](const std::string&) { return a.others().size() >= 1; }));
    {
        ProtoClient b = attach(d, 120, 40);
        ASSERT_TRUE(b.outputUntil([&](const std::string&) { return b.others().size() >= 1; }));
        // a hears b's size.
        ASSERT_TRUE(a.outputUntil([&](const std::string&) { return a.others().size() >= 2; }));
        EXPECT_EQ(a.others()[1].kind, MsgKind::Resize);
        EXPECT_EQ(a.others()[1].payload, resizePayload(120, 40));
        b.send(MsgKind::Input, "one\r");
        EXPECT_TRUE(a.outputContains("one: 40 120"));
        EXPECT_TRUE(b.outputContains("one: 40 120"));

        a.send(MsgKind::Input, "two\r");  // typing makes a the latest
        EXPECT_TRUE(b.outputContains("two: 30 100"));
        b.resize(90, 20);
        b.send(MsgKind::Input, "three\r");
        EXPECT_TRUE(a.outputContains("three: 20 90"));
        b.send(MsgKind::Detach, "");
        ASSERT_TRUE(b.waitClosed());
    }
    a.send(MsgKind::Input, "four\r");
    EXPECT_TRUE(a.outputContains("four: 30 100"));
}

TEST(Daemon, DetachEndOfStreamAndProtocolErrorsDropOnlyThatClient) {
    ScratchDir scratch;
    std::string cmd = script(scratch, "s", "while read line; do echo \"[$line]\"; done\n");
    DaemonProcess d(scratch, "drop", cmd, {"--log"});
    ASSERT_TRUE(d.waitReady());
    ProtoClient keeper = attach(d);

    {  // Input, Detach and Input in one write: the last input is never handled.
        ProtoClient c = attach(d);
        std::string bytes = kiv::frameBytes(MsgKind::Input, "one\r") +
                            kiv::frameBytes(MsgKind::Detach, "") +
                            kiv::frameBytes(MsgKind::Input, "two\r");
        c.sendRaw(bytes);
        EXPECT_TRUE(c.waitClosed());
    }
    {  // A version byte of 3.
        ProtoClient c = attach(d);
        c.sendRaw(std::string("\x03\x00\x00\x00\x00\x00", 6));
        EXPECT_TRUE(c.waitClosed());
    }
    {  // A kind byte nobody knows.
        ProtoClient c = attach(d);
        c.sendRaw(std::string("\x02\xc8\x00\x00\x00\x00", 6));
        EXPECT_TRUE(c.waitClosed());
    }
    {  // A header declaring more than a frame may carry.
        ProtoClient c = attach(d);
        c.sendRaw(std::string("\x02\x00\x01\x00\x00\x00", 6));
        EXPECT_TRUE(c.waitClosed());
    }
    {  // Just going away.
        ProtoClient c = attach(d);
    }
    keeper.send(MsgKind::Input, "three\r");
    EXPECT_TRUE(keeper.outputContains("[three]"));
    EXPECT_NE(keeper.output().find("[one]"), std::string::npos);
    EXPECT_EQ(keeper.output().find("[two]"), std::string::npos);
    EXPECT_FALSE(keeper.closed());
}

TEST(Daemon, UnattachedClientGetsNoOutputUntilItsSize) {
    ScratchDir scratch;
    std::string cmd = script(scratch, "s", "while true; do echo tick; sleep 0.05; done\n");
    DaemonProcess d(scratch, "quiet", cmd);
    ASSERT_TRUE(d.waitReady());
    ProtoClient c = ProtoClient::overUnix(d.socketPath());
    c.send(MsgKind::Resize, std::string("\x00\x50\x00", 3));  // too short: ignored
    EXPECT_FALSE(c.next(300ms).has_value());
    EXPECT_FALSE(c.closed());
    c.resize(80, 24);
    auto snap = c.next();
    ASSERT_TRUE(snap);
    EXPECT_EQ(snap->kind, MsgKind::Output);
    EXPECT_NE(snap->payload.find("tick"), std::string::npos);
}

void tcpHandshake(const std::string& host) {
    ScratchDir scratch;
    std::string cmd = script(scratch, "s", "while read line; do echo \"[$line]\"; done\n");
    int base = freePortBase() + (host == "::1" ? 50 : 0);
    DaemonProcess d(scratch, "tcp", cmd, {"-l", host + ":" + std::to_string(base), "--log"});
    ASSERT_TRUE(d.waitReady());
    kiv::ListenAddr addr = kiv::parseListen(host + ":" + std::to_string(base));

    std::string log = d.waitLog("listening on tcp " + host + ":");
    size_t at = log.find("listening on tcp " + host + ":");
    ASSERT_NE(at, std::string::npos) << log;
    int port = std::stoi(log.substr(at + 17 + host.size() + 1));

    kiv::Key key = kiv::readKeyFile(d.keyFile());  // made by the daemon
    {  // A wrong name: Error "no such session", then the connection closes.
        ProtoClient c = ProtoClient::overTcp(addr, port, key);
        c.send(MsgKind::Attach, "other");
        auto reply = c.next();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->kind, MsgKind::Error);
        EXPECT_EQ(reply->payload, "no such session");
        EXPECT_TRUE(c.waitClosed());
    }
    ProtoClient c = ProtoClient::overTcp(addr, port, key);
    c.send(MsgKind::Input, "early\r");  // ignored: not attached yet
    c.resize(80, 24);                   // ignored too
    EXPECT_FALSE(c.next(300ms).has_value());
    c.send(MsgKind::Attach, "tcp");
    auto ok = c.next();
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->kind, MsgKind::AttachOk);
    c.send(MsgKind::Attach, "tcp");  // a second Attach is ignored
    c.resize(80, 24);
    c.send(MsgKind::Input, "late\r");
    EXPECT_TRUE(c.outputContains("[late]"));
    EXPECT_EQ(c.output().find("[early]"), std::string::npos);
    EXPECT_NE(d.waitLog(" attached (tcp, 80x24)").find(" attached (tcp, 80x24)"),
              std::string::npos);
}

TEST(Daemon, TcpAttachOverIpv4) {
    tcpHandshake("127.0.0.1");
}
TEST(Daemon, TcpAttachOverIpv6) {
    tcpHandshake("::1");
}

TEST(Daemon, UnparsableListenAddressServesOnUnixSocket) {
    // The command line never lets such an address through, so run the daemon
    // in a child of the test with one.
    ScratchDir scratch;
    EnvVar run("XDG_RUNTIME_DIR", (scratch / "run").c_str());
    EnvVar data("XDG_DATA_HOME", (scratch / "data").c_str());
    EnvVar state("XDG_STATE_HOME", (scratch / "state").c_str());
    pid_t pid = fork();
    if (pid == 0) {
        try {
            kiv::runDaemon(kiv::newSession("badspec", "/bin/cat"), "/bin/cat", "localhost:7000",
                           true);
        } catch (...) {
            _exit(3);
        }
        _exit(0);
    }
    ProtoClient* client = nullptr;
    for (int i = 0; i < 500 && !client; ++i) {
        try {
            client = new ProtoClient(kiv::connectUnix(scratch / "run/kiv/badspec.sock"));
        } catch (const std::exception&) {
            std::this_thread::sleep_for(10ms);
        }
    }
    ASSERT_NE(client, nullptr);
    client->resize(80, 24);
    EXPECT_TRUE(client->next().has_value());
    delete client;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string log = logFileText(scratch);
    EXPECT_NE(log.find("tcp listener disabled: invalid IPv4 address: localhost"), std::string::npos)
        << log;
}

// A client that stops reading while 200 MB flow stays attached and its
// queue bounded; the other receives every byte; once the first reads
// again, its screen is repainted as it now is (not the flood replayed).
TEST(Daemon, StoppedClientIsRepaintedWhileAnotherGetsEverything) {
    ScratchDir scratch;
    std::string line(99, 'x');
    std::string cmd = script(scratch, "s",
                             "read go\nyes " + line + " | head -n 2000000\n"
                             "echo DONE-MARK\nsleep 30\n");
    DaemonProcess d(scratch, "slow", cmd);
    ASSERT_TRUE(d.waitReady());
    ProtoClient stalled = attach(d);
    ProtoClient reader = attach(d);
    ASSERT_TRUE(reader.outputUntil([&](const std::string&) { return !reader.others().empty(); }));
    int small = 4096;
    setsockopt(stalled.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    reader.send(MsgKind::Input, "go\r");

    // Counted as it comes: 200 MB are not kept.
    size_t xs = 0;
    long maxRss = 0;
    std::string tail;
    auto deadline = std::chrono::steady_clock::now() + 300s;
    while (tail.find("DONE-MARK") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::optional<kiv::Message> msg = reader.next(30s);
        ASSERT_TRUE(msg) << "the reader was cut off after " << xs << " x";
        if (msg->kind != MsgKind::Output) continue;
        xs += std::count(msg->payload.begin(), msg->payload.end(), 'x');
        tail = tail.substr(tail.size() > 16 ? tail.size() - 16 : 0) + msg->payload;
        if (xs % (16 << 20) < msg->payload.size()) maxRss = std::max(maxRss, d.rssKb());
    }
    EXPECT_EQ(xs, 2000000u * 99);
    std::cout << "daemon RSS during 200 MB with a stalled client: at most " << maxRss << " kB\n";
    if (RssIsMeaningful) {
        EXPECT_LT(maxRss, 64 * 1024);
    }
    // The stalled client reads again: what it is sent ends with the screen
    // as it is now, and is nowhere near the flood.
    EXPECT_TRUE(stalled.outputContains("DONE-MARK", 10s));
    EXPECT_FALSE(stalled.closed());
    EXPECT_LT(stalled.output().size(), 4u * 1024 * 1024);
}

TEST(Daemon, InputFloodStaysBoundedAndArrivesWhole) {
    ScratchDir scratch;
    // The command ignores its input until told (by a file) to start reading.
    std::string gate = scratch / "go";
    std::string cmd = script(scratch, "s",
                             "stty raw -echo\necho RAW-MODE\nwhile [ ! -e " + gate +
                                 " ]; do sleep 0.05; done\necho READING\n"
                                 "head -c 8000000 | wc -c | tr -d ' '\n");
    DaemonProcess d(scratch, "flood", cmd);
    ASSERT_TRUE(d.waitReady());
    ProtoClient c = attach(d);
    // Until the line discipline is raw, a line longer than its buffer is cut.
    ASSERT_TRUE(c.outputContains("RAW-MODE", 20s));
    long before = d.rssKb();

    // 8 MB of input through a socket that the daemon stops reading.
    std::string chunk(4000, 'k');
    size_t sent = 0;
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            if (!c.send(MsgKind::Input, chunk)) break;
            sent += chunk.size();
        }
    });
    std::this_thread::sleep_for(2s);
    long during = d.rssKb();
    if (RssIsMeaningful) {
        EXPECT_LT(during - before, 6 * 1024) << "daemon grew by " << (during - before) << " kB";
    }
    writeFile(gate, "");
    writer.join();
    EXPECT_EQ(sent, 8000000u);
    EXPECT_TRUE(c.outputContains("8000000", 20s)) << c.output().substr(0, 200) << "/" << c.closed();
}

void expectCleanShutdown(DaemonProcess& d) {
    EXPECT_FALSE(exists(d.socketPath()));
    EXPECT_FALSE(exists(d.sessionFile(".pid")));
    EXPECT_FALSE(exists(d.sessionFile(".lock")));
    std::string log = d.logText();
    ASSERT_GE(log.size(), 15u);
    EXPECT_EQ(log.substr(log.size() - 15), "daemon: exited\n") << log;
}

TEST(Daemon, CommandExitClosesClientsAndRemovesFiles) {
    ScratchDir scratch;
    std::string cmd = script(scratch, "s", "read x\necho bye-$x\n");
    DaemonProcess d(scratch, "exit", cmd, {"--log"});
    ASSERT_TRUE(d.waitReady());
    writeFile(d.sessionFile(".lock"), "");
    ProtoClient a = attach(d), b = attach(d);
    ASSERT_TRUE(b.outputUntil([&](const std::string&) { return !b.others().empty(); }));
    a.send(MsgKind::Input, "now\r");
    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(b.waitClosed());
    EXPECT_NE(b.output().find("bye-now"), std::string::npos);
    EXPECT_EQ(d.waitExit(), 0);
    expectCleanShutdown(d);
}

TEST(Daemon, LastOutputReachesASlowClientBeforeTheEnd) {
    ScratchDir scratch;
    std::string cmd =
        script(scratch, "s", "read go\nhead -c 3000000 /dev/zero | tr '\\0' 'z'\necho END-MARK\n");
    DaemonProcess d(scratch, "final-words", cmd);
    ASSERT_TRUE(d.waitReady());
    ProtoClient c = attach(d);
    ASSERT_TRUE(c.outputUntil([&](const std::string&) { return !c.others().empty(); }));
    c.send(MsgKind::Input, "go\r");
    std::this_thread::sleep_for(400ms);  // not reading while the command prints and exits
    EXPECT_TRUE(c.waitClosed(20s));
    EXPECT_NE(c.output().find("END-MARK"), std::string::npos);
    EXPECT_EQ(d.waitExit(), 0);
}

// A program that begins a synchronized update and never ends it: a client
// that attaches while it is young holds its display too; once the update
// has timed out, a repaint shows what was written inside it, held no more.
TEST(Daemon, UpdateLeftOpenShowsItsContentWithinASecondAndAHalf) {
    ScratchDir scratch;
    std::string cmd = script(
        scratch, "s", "printf 'frame1\\r\\n'\nread go\nprintf '\\033[?2026hINSIDE'\nsleep 30\n");
    DaemonProcess d(scratch, "open-update", cmd);
    ASSERT_TRUE(d.waitReady());
    ProtoClient live = attach(d);
    ASSERT_TRUE(live.outputContains("frame1"));
    auto began = std::chrono::steady_clock::now();
    live.send(MsgKind::Input, "go\r");
    ASSERT_TRUE(live.outputContains("INSIDE"));
    auto snapshot = [&] {
        ProtoClient c = attach(d);
        auto m = c.next();
        return m && m->kind == MsgKind::Output ? m->payload : std::string();
    };
    const std::string hold = "\x1b[?2026h";
    std::string early = snapshot();
    if (std::chrono::steady_clock::now() - began < 800ms) {
        EXPECT_EQ(early.find(hold), 0u) << early;
    }
    std::string shown = early;
    while (shown.find(hold) != std::string::npos &&
           std::chrono::steady_clock::now() - began < 5s) {
        std::this_thread::sleep_for(50ms);
        shown = snapshot();
    }
    EXPECT_LE(std::chrono::steady_clock::now() - began, 1500ms);
    EXPECT_EQ(shown.find(hold), std::string::npos);
    EXPECT_NE(shown.find("INSIDE"), std::string::npos);
}

TEST(Daemon, SigtermClosesClientsAndRemovesFiles) {
    ScratchDir scratch;
    DaemonProcess d(scratch, "term", "/bin/cat", {"--log"});
    ASSERT_TRUE(d.waitReady());
    ProtoClient a = attach(d), b = attach(d);
    ASSERT_TRUE(b.next().has_value());
    d.signal(SIGTERM);
    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(b.waitClosed());
    EXPECT_EQ(d.waitExit(), 0);
    expectCleanShutdown(d);
    std::string log = d.logText();
    EXPECT_NE(log.find("term: daemon: started, pid " + std::to_string(d.pid()) + ", command /bin/cat"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" left (the session ended)"), std::string::npos) << log;
    EXPECT_NE(log.find("term: daemon: stopping on SIGTERM"), std::string::npos) << log;
}

TEST(Daemon, LeftoverSocketFileIsReplaced) {
    ScratchDir scratch;
    std::filesystem::create_directories(scratch / "run/kiv");
    chmod((scratch / "run/kiv").c_str(), 0700);
    writeFile(scratch / "run/kiv/left.sock", "stale");
    DaemonProcess d(scratch, "left", "/bin/cat");
    ASSERT_TRUE(d.waitReady());
    ProtoClient c = attach(d);
    EXPECT_TRUE(c.next().has_value());
}

TEST(Daemon, RemovedSocketComesBack) {
    ScratchDir scratch;
    DaemonProcess d(scratch, "back", "/bin/cat", {"--log"});
    ASSERT_TRUE(d.waitReady());
    std::filesystem::remove_all(scratch / "run");
    EXPECT_TRUE(d.waitReady(15s));
    struct stat st;
    ASSERT_EQ(stat((scratch / "run/kiv").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(readFile(d.sessionFile(".pid")), std::to_string(d.pid()));
    EXPECT_NE(d.waitLog("socket restored: " + d.socketPath()).find("socket restored"),
              std::string::npos);
    ProtoClient c = attach(d);
    c.send(MsgKind::Input, "again\r");
    EXPECT_TRUE(c.outputContains("again"));
}

}  // namespace
