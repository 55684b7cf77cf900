// `kiv capture` beside `tmux capture-pane` on the same output: recordings of
// real programs, and lines that scroll into the history.
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "screen/grid.h"
#include "screen/terminal.h"
#include "tests/support/daemon.h"
#include "tests/support/process.h"
#include "tests/support/scratch.h"
#include "tests/support/tmux.h"

using namespace testsupport;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// What a program prints, raw, and a title that says it is all out. In the
// session it waits for a key first, so that the session has its size.
std::string playCommand(const std::string& file, bool wait) {
    return std::string("stty raw -echo -opost -onlcr; ") +
           (wait ? "printf '\\033]2;ready\\033\\\\'; head -c 1 >/dev/null; " : "") + "cat " +
           file + "; printf '\\033]2;done\\033\\\\'; exec sleep 100000";
}

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
    std::ofstream(script) << "#!/bin/sh\n" << playCommand(file, true) << "\n";
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
    pane.tmux({"respawn-pane", "-k", "-t", "t", playCommand(file, false)});
    for (int i = 0; i < 400; ++i) {
        if (pane.tmux({"display-message", "-p", "-t", "t", "#{pane_title}"}) == "done\n") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<std::string> targs = {"capture-pane", "-p", "-t", "t"};
    targs.insert(targs.begin() + 1, tmuxOptions.begin(), tmuxOptions.end());
    return {k.out, pane.tmux(targs)};
}

// A capture as the cells it shows: each line's text (trailing blanks
// aside) and every character's look, read back through a terminal model.
// tmux writes line-drawing cells between SO and SI, kiv as the glyphs they
// show. Blanks' looks are left out, as tmux keeps them for written blanks
// and drops them for erased ones, which shows the same either way.
std::string cells(const std::string& capture, bool looks = true) {
    std::string joined = "\x1b)0";
    std::istringstream in(capture);
    int n = 0;
    for (std::string line; std::getline(in, line); ++n)
        joined += (n > 0 ? "\r\n" : "") + line;
    screen::Terminal t(200, n + 1, 0);
    t.resize(200, n + 1);
    t.write(joined);
    const screen::Grid& g = t.grid();
    std::string out;
    for (int64_t i = 0; i < n; ++i) {
        screen::Row row = g.lines.row(screen::screenTop(g) + i);
        size_t used = row.size();
        while (used > 0 && row.text(used - 1) == " ")
            --used;
        for (size_t c = 0; c < used; ++c) {
            screen::Pen p = screen::normalized(row.pen(c));
            out += row.text(c);
            if (looks && row.text(c) != " ")
                out += "{" + std::to_string(p.fg) + "." + std::to_string(p.fgIndex) + "." +
                       std::to_string(p.fgRgb) + "/" + std::to_string(p.bg) + "." +
                       std::to_string(p.bgIndex) + "." + std::to_string(p.bgRgb) + "/" +
                       std::to_string(p.attrs) + "}";
        }
        out += "\n";
    }
    return out;
}

TEST(Capture, MatchesTmuxOnRecordings) {
    if (!tmuxAvailable()) GTEST_SKIP() << "tmux is not installed";
    struct Recording {
        const char* name;
        int cols, rows;
    } recordings[] = {
        {"bash_tab_bel", 80, 24},  {"dialog_msgbox", 80, 24}, {"htop_120x40", 120, 40},
        {"scroll_region", 80, 24}, {"tput_script", 80, 24},   {"unicode_wide", 80, 24},
        {"vim_nu_search", 80, 24}, {"python_repl", 80, 24},
    };
    for (const Recording& r : recordings) {
        std::string bytes = slurp(std::string(SCREEN_TEST_DATA "/") + r.name + ".bin");
        Captures plain = captureBoth(bytes, r.cols, r.rows, {}, {});
        Captures looks = captureBoth(bytes, r.cols, r.rows, {"-e"}, {"-e"});
        // The text is the same as tmux shows it, line-drawing cells too (which
        // tmux's plain capture prints as the letters that select them).
        if (looks.tmux.find('\x0e') == std::string::npos) {
            EXPECT_EQ(plain.kiv, plain.tmux) << r.name;
        }
        EXPECT_EQ(cells(plain.kiv, false), cells(looks.tmux, false)) << r.name;
        EXPECT_EQ(cells(looks.kiv), cells(looks.tmux)) << r.name;
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
    EXPECT_EQ(cells(all.kiv), cells(all.tmux));
    EXPECT_NE(all.kiv.find("line 0"), std::string::npos);
}

}  // namespace
