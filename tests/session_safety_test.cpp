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
#include "tests/support/wait.h"

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

// `kiv kill` signals the daemon that answers on the socket, whatever became
// of its pid file (lost, or rewritten to name a bystander, who is left
// alone), and the session's end takes its command with it, even one that
// ignores the hang-up.
TEST(SessionSafety, KillEndsTheSessionThatAnswersAndItsCommand) {
    ScratchDir scratch;
    pid_t bystander = fork();
    if (bystander == 0) {
        pause();
        _exit(0);
    }
    std::string cmd = scratch / "stubborn";
    writeFile(cmd, "#!/bin/sh\ntrap '' HUP\necho $$ > \"$0.pid\"\nwhile :; do sleep 0.1; done\n");
    chmod(cmd.c_str(), 0755);
    for (bool rewritten : {true, false}) {
        DaemonProcess d(scratch, rewritten ? "rewritten" : "lost", cmd);
        ASSERT_TRUE(d.waitReady());
        // The shell creates the file before it writes the number: whole once
        // its line has ended.
        ASSERT_TRUE(waitUntil([&] { return readFile(cmd + ".pid").ends_with("\n"); }));
        pid_t command = std::stoi(readFile(cmd + ".pid"));
        unlink((cmd + ".pid").c_str());
        if (rewritten) {
            writeFile(d.sessionFile(".pid"), std::to_string(bystander));
        } else {
            unlink(d.sessionFile(".pid").c_str());
        }
        ProcessResult r = runKiv({"kill", d.name()}, envFor(scratch));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "killed " + std::to_string(d.pid()) + "\n");
        // The command ignores the hang-up: the daemon waits a while before
        // it sends stronger signals.
        EXPECT_EQ(d.waitExit(30s), 0);
        EXPECT_NE(kill(command, 0), 0) << "the command outlived its session";
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), 0) << "the bystander got a signal";
    kill(bystander, SIGKILL);
    waitpid(bystander, nullptr, 0);
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
