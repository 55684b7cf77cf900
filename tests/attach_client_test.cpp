// The attach client as a real process on a pseudo-terminal the test owns.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/daemon.h"

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;

// `kiv attach <name>` on a new pseudo-terminal; the test holds the master.
struct AttachedTerminal {
    int master = -1;
    pid_t pid = -1;

    // `nonBlocking`: the terminal as another program may leave it.
    // `shell`: run that instead, for the test to type the attach into.
    AttachedTerminal(const ScratchDir& scratch, const std::string& name, bool nonBlocking = false,
                     std::vector<const char*> shell = {}) {
        winsize size{24, 80, 0, 0};
        pid = forkpty(&master, nullptr, nullptr, &size);
        if (pid == 0) {
            if (nonBlocking) fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
            setenv("XDG_RUNTIME_DIR", (scratch / "run").c_str(), 1);
            if (!shell.empty()) {
                setenv("PS1", "$ ", 1);
                shell.push_back(nullptr);
                execv(shell[0], const_cast<char* const*>(shell.data()));
            }
            execl(KIV_BINARY, KIV_BINARY, "attach", name.c_str(), nullptr);
            _exit(127);
        }
    }
    ~AttachedTerminal() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(master);
    }
    // Reads what the client printed until `text` shows or the limit passes.
    bool waitFor(const std::string& text, std::chrono::milliseconds limit) {
        auto deadline = Clock::now() + limit;
        while (seen.find(text) == std::string::npos) {
            if (Clock::now() > deadline) return false;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) return false;
            seen.append(buf, n);
        }
        return true;
    }
    // The client's exit status once it has ended, -1 when it is still there.
    int waitExit(std::chrono::milliseconds limit) {
        auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            }
            // Keep reading: a client blocked on its terminal is not the point.
            char buf[4096];
            while (read(master, buf, sizeof buf) > 0) {
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

    std::string seen;
};

// A shell script, the session's command.
std::string commandScript(const ScratchDir& scratch, const std::string& body) {
    std::string path = scratch / "cmd";
    writeFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

TEST(AttachClient, DetachKeyWorksAfterALargePasteIntoACommandThatDoesNotRead) {
    ScratchDir scratch;
    std::string cmd = commandScript(scratch, "stty raw -echo\necho NOT-READING\nsleep 60\n");
    DaemonProcess d(scratch, "pasted", cmd);
    ASSERT_TRUE(d.waitReady());
    AttachedTerminal t(scratch, "pasted");
    ASSERT_TRUE(t.waitFor("NOT-READING", 20s)) << t.seen;

    // 1.5 MB typed in one go: more than the daemon takes before it holds
    // input back. The write returns once the client has read most of it.
    std::string paste(1500 * 1000, 'p');
    size_t written = 0;
    fcntl(t.master, F_SETFL, fcntl(t.master, F_GETFL) | O_NONBLOCK);
    auto deadline = Clock::now() + 20s;
    while (written < paste.size() && Clock::now() < deadline) {
        ssize_t n = write(t.master, paste.data() + written, paste.size() - written);
        if (n > 0) written += n;
        char buf[4096];
        while (read(t.master, buf, sizeof buf) > 0) {
        }
        if (n <= 0) std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(written, paste.size()) << "the client stopped reading its terminal";
    std::this_thread::sleep_for(500ms);  // so that Ctrl-G is read on its own
    ASSERT_EQ(write(t.master, "\x07", 1), 1);
    EXPECT_EQ(t.waitExit(5s), 0) << "Ctrl-G did not detach";
    EXPECT_TRUE(d.waitReady(1s));  // the session goes on
}

TEST(AttachClient, OutputStaysLiveWhileInputIsBackedUp) {
    ScratchDir scratch;
    std::string cmd = commandScript(scratch,
                                    "stty raw -echo\ni=0\nwhile :; do i=$((i+1)); echo TICK-$i; "
                                    "sleep 0.1; done\n");
    DaemonProcess d(scratch, "ticking", cmd);
    ASSERT_TRUE(d.waitReady());
    AttachedTerminal t(scratch, "ticking");
    ASSERT_TRUE(t.waitFor("TICK-", 20s));

    // Far more input than the daemon and the client take together: the
    // client must stop reading its terminal, never the session.
    fcntl(t.master, F_SETFL, fcntl(t.master, F_GETFL) | O_NONBLOCK);
    std::thread writer([&] {
        std::string paste(6 * 1000 * 1000, 'p');
        size_t written = 0;
        auto deadline = Clock::now() + 4s;
        while (written < paste.size() && Clock::now() < deadline) {
            pollfd p{t.master, POLLOUT, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = write(t.master, paste.data() + written, paste.size() - written);
            if (n > 0) written += n;
        }
    });
    std::this_thread::sleep_for(2s);
    t.seen.clear();
    EXPECT_TRUE(t.waitFor("TICK-", 3s)) << "no output while input is backed up";
    writer.join();
}

// A terminal left in non-blocking mode takes only what fits while its
// reader rests: the rest of the output, and the leaving sequence after the
// session's end, must wait for it rather than be dropped.
TEST(AttachClient, NonBlockingTerminalWhoseReaderPausesGetsEveryByte) {
    ScratchDir scratch;
    std::string data;
    uint32_t seed = 12345;
    while (data.size() < 20 * 1000 * 1000) {
        seed = seed * 1103515245 + 12345;
        data += static_cast<char>('a' + (seed >> 16) % 26);  // no line ends, no markers
    }
    writeFile(scratch / "data", data);
    std::string cmd = commandScript(scratch, "stty -echo\nread go\nprintf '<<'\ncat " +
                                                 scratch / "data" + "\nprintf '>>'\nread done\n");
    DaemonProcess d(scratch, "flood", cmd);
    ASSERT_TRUE(d.waitReady());
    AttachedTerminal t(scratch, "flood", true);
    std::this_thread::sleep_for(1s);  // attached and repainted
    ASSERT_EQ(write(t.master, "\r", 1), 1);

    // Half of it read, then a rest longer than the client can hold; what is
    // left is within what the daemon queues for a slow client.
    ASSERT_TRUE(t.waitFor("<<", 20s)) << t.seen.substr(0, 200);
    auto deadline = Clock::now() + 60s;
    bool paused = false;
    while (t.seen.find(">>", t.seen.find("<<")) == std::string::npos && Clock::now() < deadline) {
        if (!paused && t.seen.size() > data.size() / 2) {
            std::this_thread::sleep_for(2s);
            paused = true;
        }
        pollfd p{t.master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[65536];
        ssize_t n = read(t.master, buf, sizeof buf);
        if (n <= 0) break;
        t.seen.append(buf, n);
    }
    size_t start = t.seen.find("<<") + 2;
    size_t end = t.seen.find(">>", start);
    ASSERT_NE(end, std::string::npos) << "the end of the output was lost: " << t.seen.size() - start
                                      << " of " << data.size() << " arrived";
    EXPECT_TRUE(paused);
    EXPECT_EQ(end - start, data.size());
    EXPECT_TRUE(t.seen.compare(start, end - start, data) == 0) << "the output arrived changed";
    // The session ends: the client leaves and puts the terminal back.
    ASSERT_EQ(write(t.master, "\r", 1), 1);
    EXPECT_TRUE(t.waitFor("\x1b[23;0t", 10s)) << "no leaving sequence";
    EXPECT_EQ(t.waitExit(10s), 0);
}

// Colours the session's program set on the terminal (OSC 11, OSC 4) are
// set again by every attach's repaint and given back to the user's own
// (OSC 111, OSC 104) on every way out; those it did not set are left alone.
TEST(AttachClient, ColoursAreSetOnAttachAndGivenBackOnEveryWayOut) {
    ScratchDir scratch;
    std::string cmd =
        commandScript(scratch,
                      "stty -echo\nprintf '\\033]11;#102030\\007\\033]4;1;rgb:ff/00/00\\007'\n"
                      "echo COLOURED\nread line\n");
    DaemonProcess d(scratch, "colours", cmd);
    ASSERT_TRUE(d.waitReady());
    struct Way {
        const char* name;
        std::function<void(AttachedTerminal&)> leave;
    } ways[] = {
        {"detach key", [](AttachedTerminal& t) { ASSERT_EQ(write(t.master, "\x07", 1), 1); }},
        {"SIGTERM", [](AttachedTerminal& t) { kill(t.pid, SIGTERM); }},
        {"SIGHUP", [](AttachedTerminal& t) { kill(t.pid, SIGHUP); }},
        {"the session's end", [](AttachedTerminal& t) { ASSERT_EQ(write(t.master, "\r", 1), 1); }},
    };
    for (const Way& way : ways) {
        AttachedTerminal t(scratch, "colours");
        ASSERT_TRUE(t.waitFor("COLOURED", 20s)) << way.name;
        std::this_thread::sleep_for(300ms);  // the whole repaint is in
        EXPECT_TRUE(t.waitFor("\x1b]11;#102030", 1s)) << way.name;
        EXPECT_TRUE(t.waitFor("\x1b]4;1;rgb:ff/00/00", 1s)) << way.name;
        size_t before = t.seen.size();
        way.leave(t);
        ASSERT_TRUE(t.waitFor("\x1b[23;0t", 10s)) << way.name;
        std::string leaving = t.seen.substr(before);
        EXPECT_NE(leaving.find("\x1b]111\x1b\\"), std::string::npos) << way.name;
        EXPECT_NE(leaving.find("\x1b]104\x1b\\"), std::string::npos) << way.name;
        EXPECT_EQ(leaving.find("\x1b]110"), std::string::npos) << way.name;
        EXPECT_EQ(leaving.find("\x1b]112"), std::string::npos) << way.name;
        t.waitExit(5s);
    }
}

// Small output (an echo) is written to the terminal by the daemon itself
// once the client has shown everything before it; large output goes
// through the client. Whichever way each piece takes, the terminal gets
// every byte once and in order, and a client that has been stopped gets
// nothing more behind its back than what it had already read.
TEST(AttachClient, EchoesAndFloodsArriveInOrderWhicheverWayTheyGo) {
    ScratchDir scratch;
    std::string cmd =
        commandScript(scratch,
                      "stty raw -echo\nprintf READY\nwhile :; do\n"
                      "k=$(dd bs=1 count=1 2>/dev/null)\ncase \"$k\" in\n"
                      "b) seq 1 30000 ;;\n"
                      "d) printf '<d>'; sleep 2; printf '<late1>'; sleep 1; printf '<late2>' ;;\n"
                      "*) printf '<%s>' \"$k\" ;;\nesac\ndone\n");
    DaemonProcess d(scratch, "echoes", cmd);
    ASSERT_TRUE(d.waitReady());
    AttachedTerminal t(scratch, "echoes");
    ASSERT_TRUE(t.waitFor("READY", 20s));
    t.waitFor("\x01", 300ms);  // reads the rest of the repaint (no such byte comes)
    t.seen.clear();

    std::string numbers;
    for (int i = 1; i <= 30000; ++i)
        numbers += std::to_string(i) + "\n";
    std::string expected;
    for (char key : std::string("xbyzbwvbq")) {
        ASSERT_EQ(write(t.master, &key, 1), 1);
        expected += key == 'b' ? numbers : "<" + std::string(1, key) + ">";
        ASSERT_TRUE(t.waitFor(expected.substr(expected.size() - 3), 10s)) << key;
    }
    t.waitFor("\x01", 300ms);  // anything more that was on its way
    ASSERT_EQ(t.seen.size(), expected.size());
    EXPECT_TRUE(t.seen == expected) << "the output arrived changed or out of order";

    // The program has the key, and the client has said that it showed
    // everything, before it is stopped.
    ASSERT_EQ(write(t.master, "d", 1), 1);
    ASSERT_TRUE(t.waitFor("<d>", 10s));
    std::this_thread::sleep_for(500ms);
    kill(t.pid, SIGSTOP);
    EXPECT_TRUE(t.waitFor("<late1>", 4s)) << "the daemon did not write the echo itself";
    EXPECT_FALSE(t.waitFor("<late2>", 2500ms)) << "written behind a stopped client's back";
    kill(t.pid, SIGCONT);
    EXPECT_TRUE(t.waitFor("<late2>", 5s));
    // Then the screen again, which the client asks for once continued.
    EXPECT_TRUE(t.seen.starts_with(expected + "<d><late1><late2>"));
    ASSERT_EQ(write(t.master, "\x07", 1), 1);
    EXPECT_EQ(t.waitExit(5s), 0);
}

// A client stopped from its shell: the keys typed then are the shell's, and
// so is the screen (the session's output waits), and once continued the
// client has its terminal back as it was, raw, with the session's screen.
TEST(AttachClient, StoppedFromItsShellItLeavesTheTerminalToTheShell) {
    ScratchDir scratch;
    std::string cmd = commandScript(scratch,
                                    "echo READY\nwhile read -r line; do echo \"got:$line\"; done\n");
    DaemonProcess d(scratch, "stopped", cmd);
    ASSERT_TRUE(d.waitReady());
    AttachedTerminal t(scratch, "stopped", false, {"/bin/bash", "--norc", "--noprofile", "-i"});
    std::string attach = std::string(KIV_BINARY) + " attach stopped\r";
    ASSERT_EQ(write(t.master, attach.data(), attach.size()), ssize_t(attach.size()));
    ASSERT_TRUE(t.waitFor("READY", 20s));
    ASSERT_EQ(write(t.master, "first\r", 6), 6);  // small output: the daemon may write the next
    ASSERT_TRUE(t.waitFor("got:first", 5s));
    std::this_thread::sleep_for(300ms);

    kill(-tcgetpgrp(t.master), SIGSTOP);
    ASSERT_TRUE(t.waitFor("Stopped", 5s)) << t.seen;
    ProtoClient other = ProtoClient::overUnix(d.socketPath());
    ASSERT_TRUE(other.send(kiv::MsgKind::Input, "meanwhile\r"));
    EXPECT_FALSE(t.waitFor("got:meanwhile", 1s)) << "written on the shell's screen";
    std::string outer = "echo outer-$((6*7))\r";
    ASSERT_EQ(write(t.master, outer.data(), outer.size()), ssize_t(outer.size()));
    EXPECT_TRUE(t.waitFor("outer-42", 5s)) << "the shell did not get its keys";

    t.seen.clear();
    ASSERT_EQ(write(t.master, "fg\r", 3), 3);
    EXPECT_TRUE(t.waitFor("got:meanwhile", 5s)) << "the screen did not come back";
    termios mode{};
    for (auto deadline = Clock::now() + 5s; Clock::now() < deadline; t.waitFor("\x01", 50ms))
        if (tcgetattr(t.master, &mode) == 0 && !(mode.c_lflag & ISIG)) break;
    EXPECT_FALSE(mode.c_lflag & (ISIG | ICANON | ECHO)) << "the terminal was left cooked";
    ASSERT_EQ(write(t.master, "inner\r", 6), 6);
    EXPECT_TRUE(t.waitFor("got:inner", 5s));
    EXPECT_EQ(t.seen.find("got:echo"), std::string::npos) << "the session took the shell's keys";
    ASSERT_EQ(write(t.master, "\x07", 1), 1);
    EXPECT_TRUE(t.waitFor("[detached from stopped]", 5s));
}

}  // namespace
