// `kiv capture` beside `tmux capture-pane` on the same output: recordings of
// real programs, and lines that scroll into the history.
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/daemon.h"
#include "tests/support/process.h"
#include "tests/support/recordings.h"
#include "tests/support/scratch.h"
#include "tests/support/tmux.h"

using namespace testsupport;

namespace {

// The output of a kiv session of that size and of a tmux pane of that size,
// each captured with the same options (tmux's spelling of them).
struct Captures {
    std::string kiv, tmux;
};

Captures captureBoth(const std::string& bytes, int cols, int rows,
                     const std::vector<std::string>& kivOptions,
                     const std::vector<std::string>& tmuxOptions) {
    ScratchDir scratch;
    std::string file = scratch / "out.bin";
    std::ofstream(file, std::ios::binary) << bytes;

    // Sessions take one word: the command is a script.
    std::string script = scratch / "play";
    std::ofstream(script) << "#!/bin/sh\n" << rawPlayer(file, "done", "ready") << "\n";
    chmod(script.c_str(), 0755);
    DaemonProcess d(scratch, "cap", script);
    EXPECT_TRUE(d.waitReady());
    {
        ProtoClient c = ProtoClient::overUnix(d.socketPath());
        c.resize(cols, rows);
        EXPECT_TRUE(c.outputContains("ready"));
        c.send(kiv::MsgKind::Input, "x");
        EXPECT_TRUE(c.outputContains("done\x1b\\"));
    }
    std::vector<std::string> args = {"capture"};
    args.insert(args.end(), kivOptions.begin(), kivOptions.end());
    args.push_back("cap");
    ProcessResult k = runKiv(args, {"XDG_RUNTIME_DIR=" + scratch.path() + "/run"});
    EXPECT_EQ(k.status, 0) << k.err;

    TmuxTerminal pane(scratch, scratch.path(), {}, cols, rows);
    pane.tmux({"set-option", "-g", "history-limit", "10000"});
    EXPECT_TRUE(pane.play(file));
    std::vector<std::string> targs = {"capture-pane", "-p", "-t", "t"};
    targs.insert(targs.begin() + 1, tmuxOptions.begin(), tmuxOptions.end());
    return {k.out, pane.tmux(targs)};
}

TEST(Capture, MatchesTmuxOnRecordings) {
    if (!tmuxAvailable()) GTEST_SKIP() << "tmux is not installed";
    for (const Recording& r : kRecordings) {
        std::string bytes = recordingBytes(r);
        Captures plain = captureBoth(bytes, r.cols, r.rows, {}, {});
        Captures looks = captureBoth(bytes, r.cols, r.rows, {"-e"}, {"-e"});
        // The text is the same as tmux shows it, line-drawing cells too (which
        // tmux's plain capture prints as the letters that select them).
        if (looks.tmux.find('\x0e') == std::string::npos) {
            EXPECT_EQ(plain.kiv, plain.tmux) << r.name;
        }
        EXPECT_EQ(captureCells(plain.kiv, false), captureCells(looks.tmux, false)) << r.name;
        EXPECT_EQ(captureCells(looks.kiv), captureCells(looks.tmux)) << r.name;
    }
}

TEST(Capture, HistoryMatchesTmux) {
    if (!tmuxAvailable()) GTEST_SKIP() << "tmux is not installed";
    std::string bytes;
    for (int i = 0; i < 300; ++i)
        bytes += "\x1b[3" + std::to_string(i % 8) + "mline " + std::to_string(i) + "\x1b[0m\r\n";
    Captures some = captureBoth(bytes, 80, 24, {"-S", "50"}, {"-S", "-50"});
    EXPECT_EQ(some.kiv, some.tmux);
    Captures all = captureBoth(bytes, 80, 24, {"-e", "-S", "-"}, {"-e", "-S", "-"});
    EXPECT_EQ(captureCells(all.kiv), captureCells(all.tmux));
    EXPECT_NE(all.kiv.find("line 0"), std::string::npos);
}

}  // namespace
