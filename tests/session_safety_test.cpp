// Session files and signals only for what is ours: an open session
// directory, planted files, a foreign pid, a same-name successor, names
// that would write to the user's terminal.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "kiv/endpoints.h"
#include "tests/support/daemon.h"
#include "tests/support/process.h"

using namespace testsupport;

namespace {

std::vector<std::string> envFor(const ScratchDir& scratch) {
    return {"XDG_RUNTIME_DIR=" + (scratch / "run"), "XDG_DATA_HOME=" + (scratch / "data"),
            "XDG_STATE_HOME=" + (scratch / "state")};
}

TEST(SessionSafety, DirectoryOpenToOthersIsRefusedByEveryCommand) {
    ScratchDir scratch;
    std::filesystem::create_directories(scratch / "run/kiv");
    chmod((scratch / "run/kiv").c_str(), 0777);
    // What another user could have planted: a fake session and a link.
    writeFile(scratch / "victim", "precious");
    symlink((scratch / "victim").c_str(), (scratch / "run/kiv/work.pid").c_str());
    std::string expected = "kiv: unsafe session directory: " + (scratch / "run/kiv") + "\n";
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"ls"},
                                               {"kill", "work"},
                                               {"attach", "work"},
                                               {"new", "work"},
                                               {"daemon", "work", "/bin/cat"}}) {
        ProcessResult r = runKiv(args, envFor(scratch));
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, expected) << args[0];
    }
    EXPECT_EQ(readFile(scratch / "victim"), "precious");
}

TEST(SessionSafety, KillSignalsOnlyTheDaemonThatAnswers) {
    ScratchDir scratch;
    DaemonProcess d(scratch, "k", "/bin/cat");
    ASSERT_TRUE(d.waitReady());
    pid_t bystander = fork();
    if (bystander == 0) {
        pause();
        _exit(0);
    }
    writeFile(d.sessionFile(".pid"), std::to_string(bystander));
    ProcessResult r = runKiv({"kill", "k"}, envFor(scratch));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kiv: no daemon found for session: k\n");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "the bystander got a signal";
    kill(bystander, SIGKILL);
    waitpid(bystander, nullptr, 0);
    EXPECT_TRUE(d.waitReady(1s));  // and the session lives on

    writeFile(d.sessionFile(".pid"), std::to_string(d.pid()));
    r = runKiv({"kill", "k"}, envFor(scratch));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "killed " + std::to_string(d.pid()) + "\n");
    EXPECT_EQ(d.waitExit(), 0);
}

TEST(SessionSafety, ASameNameSuccessorKeepsItsFiles) {
    ScratchDir scratch;
    auto first = std::make_unique<DaemonProcess>(scratch, "same", "/bin/cat");
    ASSERT_TRUE(first->waitReady());
    // Its files vanish (a cleaner, a user) and a new daemon takes the name.
    unlink(first->socketPath().c_str());
    unlink(first->sessionFile(".pid").c_str());
    DaemonProcess second(scratch, "same", "/bin/cat");
    ASSERT_TRUE(second.waitReady());
    writeFile(second.sessionFile(".lock"), "");
    first->signal(SIGTERM);
    EXPECT_EQ(first->waitExit(), 0);
    first.reset();
    EXPECT_TRUE(exists(second.socketPath()));
    EXPECT_TRUE(exists(second.sessionFile(".lock")));
    EXPECT_EQ(readFile(second.sessionFile(".pid")), std::to_string(second.pid()));
    ProtoClient c = ProtoClient::overUnix(second.socketPath());
    c.resize(80, 24);
    EXPECT_TRUE(c.next().has_value());
}

TEST(SessionSafety, NamesWithControlCharactersAreRefused) {
    ScratchDir scratch;
    for (std::string name : {"two\nlines", "title\x1b]0;owned\x07"}) {
        ProcessResult r = runKiv({"new", name, "/bin/cat"}, envFor(scratch));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.find("kiv: invalid session name: "), 0u) << r.err;
        EXPECT_EQ(r.err.find_first_of("\x1b\x07"), std::string::npos);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    }
}

}  // namespace
