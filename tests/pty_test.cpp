// Commands on real pseudo-terminals.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "kiv/errors.h"
#include "kiv/pty.h"
#include "tests/support/scratch.h"

using namespace kiv;
using testsupport::EnvVar;

namespace {

// Reads the master until `needle` shows up or the command's terminal
// closes; gives up after ten seconds.
std::string readUntil(Pty& pty, const std::string& needle = "") {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string out;
    while (needle.empty() || out.find(needle) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{pty.masterFd(), POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            ADD_FAILURE() << "timed out; output so far: " << out;
            break;
        }
        char buf[4096];
        ssize_t n = pty.read(buf, sizeof buf);
        if (n <= 0) break;  // end of file or EIO: every holder of the slave is gone
        out.append(buf, n);
    }
    return out;
}

// Waits for the command and returns its exit status (-1 for a signal).
int exitStatus(const Pty& pty) {
    int status = 0;
    if (waitpid(pty.pid(), &status, 0) != pty.pid()) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Pty, OutputAndWindowSize) {
    Pty pty = openPty("/bin/sh", {"-c", "stty size; read line; stty size"}, 80, 24);
    EXPECT_NE(readUntil(pty, "24 80").find("24 80"), std::string::npos);
    pty.setSize(132, 50);
    ASSERT_EQ(write(pty.masterFd(), "go\r", 3), 3);
    std::string rest = readUntil(pty);
    EXPECT_NE(rest.find("50 132"), std::string::npos) << rest;
    EXPECT_EQ(exitStatus(pty), 0);
}

TEST(Pty, CommandIsOneWordSearchedAlongPath) {
    struct Case {
        std::string command;
        std::vector<std::string> args;
        int status;
        std::string output;
        std::string execError;
    } cases[] = {
        {"echo", {"found", "on", "PATH"}, 0, "found on PATH\r\n", ""},
        {"/bin/echo", {"by path"}, 0, "by path\r\n", ""},
        // Never split at the blank; the reason shows on the terminal.
        {"echo hi",
         {},
         127,
         "kiv: cannot run echo hi: No such file or directory\r\n",
         "cannot run echo hi: No such file or directory"},
        {"/nonexistent/program",
         {},
         127,
         "kiv: cannot run /nonexistent/program: No such file or directory\r\n",
         "cannot run /nonexistent/program: No such file or directory"},
        {"/etc/passwd",
         {},
         127,
         "kiv: cannot run /etc/passwd: Permission denied\r\n",
         "cannot run /etc/passwd: Permission denied"},
    };
    for (const Case& c : cases) {
        Pty pty = openPty(c.command, c.args, 80, 24);
        EXPECT_EQ(pty.execError(), c.execError) << c.command;
        EXPECT_EQ(readUntil(pty), c.output) << c.command;
        EXPECT_EQ(exitStatus(pty), c.status) << c.command;
    }
}

TEST(Pty, DefaultShell) {
    {
        EnvVar shell("SHELL", nullptr);
        EXPECT_EQ(defaultShell(), "/bin/sh");
        Pty pty = openPty("", {"-c", "echo $0"}, 80, 24);
        EXPECT_EQ(readUntil(pty), "/bin/sh\r\n");
        EXPECT_EQ(exitStatus(pty), 0);
    }
    {
        EnvVar shell("SHELL", "/bin/echo");
        EXPECT_EQ(defaultShell(), "/bin/echo");
        Pty pty = openPty("", {"from", "SHELL"}, 80, 24);
        EXPECT_EQ(readUntil(pty), "from SHELL\r\n");
    }
    {
        // Set but empty: the empty command cannot run, and the session ends.
        EnvVar shell("SHELL", "");
        EXPECT_EQ(defaultShell(), "");
        Pty pty = openPty("", {}, 80, 24);
        EXPECT_EQ(readUntil(pty), "kiv: cannot run : No such file or directory\r\n");
        EXPECT_EQ(exitStatus(pty), 127);
    }
}

TEST(Pty, EnvironmentEntriesReachTheCommandOnly) {
    EnvVar session("KIV_SESSION", "outer");
    Pty pty = openPty("/bin/sh", {"-c", "echo \"$KIV_SESSION/$EXTRA\""}, 80, 24,
                      {"KIV_SESSION=inner", "EXTRA=a=b"});
    EXPECT_EQ(readUntil(pty), "inner/a=b\r\n");
    EXPECT_STREQ(getenv("KIV_SESSION"), "outer");
    EXPECT_EQ(getenv("EXTRA"), nullptr);
}

// kiv ignores SIGPIPE; the command must start with every signal at its
// default and none blocked, whatever the daemon had.
TEST(Pty, CommandStartsWithDefaultSignals) {
    struct sigaction ignore {
    }, oldPipe{}, oldQuit{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &oldPipe);
    sigaction(SIGQUIT, &ignore, &oldQuit);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGWINCH);
    sigprocmask(SIG_BLOCK, &block, &oldMask);

    Pty status = openPty("grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"}, 80, 24);
    std::string masks = readUntil(status);
    unsigned long long blocked = ~0ull, ignored = ~0ull;
    ASSERT_EQ(std::sscanf(masks.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2)
        << masks;
    EXPECT_EQ(blocked, 0u);
    // Only the classic signals: the C library keeps 32 and 33 for itself
    // (posix_spawn leaves them ignored in every program it starts).
    EXPECT_EQ(ignored & 0x7fffffffu, 0u) << masks;

    Pty pipeline = openPty("/bin/sh", {"-c", "yes | head -1; echo done"}, 80, 24);
    EXPECT_EQ(readUntil(pipeline), "y\r\ndone\r\n");

    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
}

TEST(Pty, CloseReapsAnExitedCommand) {
    Pty pty = openPty("true", {}, 80, 24);
    readUntil(pty);
    pid_t pid = pty.pid();
    // The command has closed the terminal; give it a moment to be a zombie.
    for (int i = 0; i < 200; ++i) {
        siginfo_t info{};
        if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            break;
        usleep(10000);
    }
    pty.close();
    EXPECT_EQ(pty.masterFd(), -1);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);  // already reaped
    EXPECT_EQ(errno, ECHILD);
    pty.close();  // a second close does nothing
}

}  // namespace
