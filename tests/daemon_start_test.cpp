// Starting a daemon: what the user is told when it cannot start, and what
// it leaves alone.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/daemon.h"
#include "tests/support/process.h"

using namespace testsupport;

namespace {

std::vector<std::string> envFor(const ScratchDir& scratch) {
    return {"XDG_RUNTIME_DIR=" + (scratch / "run"), "XDG_DATA_HOME=" + (scratch / "data")};
}

TEST(DaemonStart, ReasonsReachTheUser) {
    ScratchDir scratch;
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        // The background start: the reason comes through the start pipe.
        {{"new", "bgfail", "/nonexistent/prog"},
         "kiv: daemon failed to start: bgfail: cannot run /nonexistent/prog: No such file or "
         "directory\n"},
        {{"new", "noexec", scratch / "plain"},
         "kiv: daemon failed to start: noexec: cannot run " + (scratch / "plain") +
             ": Permission denied\n"},
    };
    writeFile(scratch / "plain", "not a program\n");
    for (const Case& c : cases) {
        ProcessResult r = runKiv(c.args, envFor(scratch));
        EXPECT_EQ(r.status, 1) << c.args[1];
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(DaemonStart, CommandThatCannotRunIsLoggedAndShownOnItsTerminal) {
    ScratchDir scratch;
    DaemonProcess d(scratch, "cannot", "/nonexistent/prog", {"--log"});
    d.waitExit();
    std::string log = d.waitLog("cannot run");
    EXPECT_NE(log.find("cannot run /nonexistent/prog: No such file or directory"),
              std::string::npos)
        << log;
}

TEST(DaemonStart, LiveSessionIsNotTakenOver) {
    ScratchDir scratch;
    DaemonProcess d(scratch, "taken", "/bin/cat");
    ASSERT_TRUE(d.waitReady());
    ProcessResult r = runKiv({"daemon", "taken", "/bin/cat"}, envFor(scratch));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kiv: session already running: taken\n");
    ProtoClient c = ProtoClient::overUnix(d.socketPath());
    c.resize(80, 24);
    EXPECT_TRUE(c.next().has_value());  // still the first daemon's
    EXPECT_EQ(readFile(d.sessionFile(".pid")), std::to_string(d.pid()));
}

// A start that fails half way (here the disk takes no byte, so the pid file
// cannot be written) leaves no session file behind, not even an empty one.
TEST(DaemonStart, FailedStartLeavesNoFiles) {
    ScratchDir scratch;
    ProcessResult r = runProcess(
        {"sh", "-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" daemon full /bin/cat", KIV_BINARY},
        envFor(scratch));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kiv: cannot write pid file: " + (scratch / "run/kiv/full.pid") + "\n");
    for (const char* file : {"full.pid", "full.sock"})
        EXPECT_FALSE(exists(scratch / ("run/kiv/" + std::string(file)))) << file;
}

}  // namespace
