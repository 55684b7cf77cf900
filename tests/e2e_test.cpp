// kiv as users run it: the real binary in a real terminal (a tmux pane), a
// real shell in the session, typing, detaching and attaching again.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <regex>
#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "kiv/endpoints.h"
#include "screen/terminal.h"
#include "kiv/session_details.h"
#include "tests/support/daemon.h"
#include "tests/support/machine.h"
#include "tests/support/process.h"
#include "tests/support/scratch.h"
#include "tests/support/tmux.h"
#include "tests/support/wait.h"

using namespace testsupport;

namespace {

#define REQUIRE_TMUX() \
    if (!tmuxAvailable()) GTEST_SKIP() << "tmux is not installed"

// What a session's daemon says of it, asked over its socket.
std::optional<kiv::SessionDetails> detailsOf(Machine& m, const std::string& name) {
    ProtoClient c = ProtoClient::overUnix(m.file(name + ".sock"));
    c.send(kiv::MsgKind::Details, "");
    std::optional<kiv::Message> reply = c.next();
    if (!reply || reply->kind != kiv::MsgKind::Details) return std::nullopt;
    return kiv::decodeDetails(reply->payload);
}

// How a session's daemon says it has ended.
std::optional<kiv::SessionEnd> endOf(Machine& m, const std::string& name) {
    std::optional<kiv::SessionDetails> details = detailsOf(m, name);
    return details ? details->end : std::nullopt;
}

// A shell command line that runs `then` once the test creates the file
// `go` in its scratch directory: the test, not a delay that a loaded
// machine may overrun, decides when the command goes on.
std::string afterGo(const Machine& m, const std::string& then) {
    std::string go = m.scratch / "go";
    return "while [ ! -e " + go + " ]; do sleep 0.05; done; rm " + go + "; " + then;
}

TEST(EndToEnd, StartTypeDetachAttach) {
    REQUIRE_TMUX();
    Machine m;
    TmuxTerminal term(m.scratch, m.app, m.env);
    term.line("kiv");
    ASSERT_TRUE(m.waitSessions({"app"}));
    term.line("echo $((6*7))");
    ASSERT_TRUE(term.waitFor("42"));
    term.line("printf '\\033[31mRED\\033[0m-plain\\n'");
    ASSERT_TRUE(term.waitFor("RED-plain"));

    ASSERT_TRUE(detach(term));  // the outer shell is back
    term.line("clear; echo outer-$((1+1))");
    ASSERT_TRUE(term.waitFor("outer-2"));
    EXPECT_EQ(term.screen().find("42"), std::string::npos);
    EXPECT_EQ(m.sessions(), std::vector<std::string>{"app"});

    term.line("kiv attach");  // the oldest session
    ASSERT_TRUE(term.waitFor("RED-plain"));
    EXPECT_NE(term.screen().find("42"), std::string::npos);
    EXPECT_NE(term.screenAnsi().find("\x1b[31mRED"), std::string::npos) << term.screenAnsi();
    ASSERT_TRUE(detach(term));
    term.line("clear; kiv attach app");
    ASSERT_TRUE(term.waitFor("RED-plain"));
    term.line("exit");  // the session ends, the client with it
    ASSERT_TRUE(m.waitSessions({}));
    // Keys typed before the client has put the terminal back are the
    // ended session's, not the outer shell's.
    ASSERT_TRUE(term.waitRawMode(false));
    term.line("stty -a | tr ' ' '\\n' | grep -x -e icanon -e echo -e opost | tr '\\n' ,");
    EXPECT_TRUE(term.waitFor("opost,icanon,echo,")) << term.screen();
    for (const char* ext : {".sock", ".pid", ".lock"})
        EXPECT_FALSE(exists(m.file("app") + ext));
}

TEST(EndToEnd, SecondStartGetsNextNameAndNamedStartReuses) {
    REQUIRE_TMUX();
    Machine m;
    TmuxTerminal term(m.scratch, m.app, m.env);
    term.line("kiv");
    ASSERT_TRUE(m.waitSessions({"app"}));
    ASSERT_TRUE(detach(term));
    term.line("kiv");
    ASSERT_TRUE(m.waitSessions({"app", "app0"}));
    term.line("echo in-app0");
    ASSERT_TRUE(term.waitFor("in-app0"));
    ASSERT_TRUE(detach(term));
    // The repaint clears the terminal at once, so read the notice where
    // no terminal is involved.
    ProcessResult reuse = m.kiv({"app"});
    EXPECT_EQ(reuse.status, 0);
    EXPECT_EQ(reuse.err, "kiv: reusing active session app\n");
    term.line("clear; kiv app");
    term.line("echo $((3*5))");
    ASSERT_TRUE(term.waitFor("15"));
    ASSERT_TRUE(detach(term));
    EXPECT_EQ(m.sessions(), (std::vector<std::string>{"app", "app0"}));
}

TEST(EndToEnd, WindowSizeReachesTheCommand) {
    REQUIRE_TMUX();
    Machine m;
    TmuxTerminal term(m.scratch, m.app, m.env, 100, 30);
    term.line("kiv sized");
    ASSERT_TRUE(m.waitSessions({"sized"}));
    term.line("stty size");
    ASSERT_TRUE(term.waitFor("30 100"));
    term.resize(90, 20);
    // The client passes the window's size on when it is told of the change,
    // and keys typed before that may go first.
    ASSERT_TRUE(waitUntil([&] {
        std::optional<kiv::SessionDetails> d = detailsOf(m, "sized");
        return d && d->cols == 90 && d->rows == 20;
    }));
    term.line("clear; stty size");
    ASSERT_TRUE(term.waitFor("20 90")) << term.screen();
}

TEST(EndToEnd, TerminatedClientPutsTheTerminalBack) {
    REQUIRE_TMUX();
    Machine m;
    TmuxTerminal term(m.scratch, m.app, m.env);
    term.line("kiv sig");
    ASSERT_TRUE(m.waitSessions({"sig"}));
    ASSERT_TRUE(term.waitRawMode(true));  // the client has the terminal
    ProcessResult pid = runProcess({"pgrep", "-f", "^kiv sig$"});
    ASSERT_EQ(pid.status, 0);
    ASSERT_EQ(runProcess({"kill", "-TERM", pid.out.substr(0, pid.out.find('\n'))}).status, 0);
    // Keys typed before the client has left would be the session's.
    ASSERT_TRUE(term.waitRawMode(false)) << term.screen();
    term.line("clear; stty -a | tr ' ' '\\n' | grep -x -e icanon -e echo -e opost | tr '\\n' ,");
    EXPECT_TRUE(term.waitFor("opost,icanon,echo,")) << term.screen();
    EXPECT_EQ(m.sessions(), std::vector<std::string>{"sig"});  // the session goes on
}

// From a tmux pane, sessions shown inside sessions: the command finds its
// session's name and none of the outer multiplexer's variables, and no
// attach may close a loop, however deep.
TEST(EndToEnd, SessionsInsideSessionsNeverLoop) {
    REQUIRE_TMUX();
    Machine m;
    for (const char* name : {"s2", "s3"})  // started outside, attached inside
        ASSERT_EQ(m.kiv({"new", name}).status, 0);
    m.env.insert(m.env.end(), {"STY=4242.pts-1.host", "WINDOW=1"});
    TmuxTerminal term(m.scratch, m.app, m.env);
    term.line("kiv s1");
    ASSERT_TRUE(m.waitSessions({"s1", "s2", "s3"}));
    ASSERT_TRUE(term.waitRawMode(true));
    term.line("echo \"in-$KIV_SESSION[${TMUX-}${TMUX_PANE-}${STY-}${WINDOW-}]\"");
    ASSERT_TRUE(term.waitFor("in-s1[]")) << term.screen();

    // Pane > s1 > s2 > s3.
    for (const char* name : {"s2", "s3"}) {
        term.line(std::string("clear; kiv attach ") + name);
        // The inner client has its terminal: keys typed earlier would be read
        // while it starts, before its terminal is raw.
        ASSERT_TRUE(waitUntil([&] {
            std::optional<kiv::SessionDetails> d = detailsOf(m, name);
            return d && d->clients == 1;
        })) << term.screen();
        term.line("clear; echo in-$KIV_SESSION");
        ASSERT_TRUE(term.waitFor(std::string("in-") + name)) << term.screen();
    }
    // s3 itself, and s1 and s2, each shown inside s3 through the others.
    term.line("clear; kiv attach s3; kiv s3; kiv attach s2; kiv attach s1; kiv attach; echo status=$?");
    ASSERT_TRUE(term.waitFor("status=1")) << term.screen();
    std::string screen = term.screen();
    for (const char* name : {"s3", "s2", "s1"}) {
        std::string refusal = std::string("kiv: cannot attach session ") + name + " inside itself";
        EXPECT_NE(screen.find(refusal), std::string::npos) << refusal << "\n" << screen;
    }
    term.line("clear; echo still-$((2+3))");
    ASSERT_TRUE(term.waitFor("still-5"));
    EXPECT_EQ(m.sessions(), (std::vector<std::string>{"s1", "s2", "s3"}));
}

// The yearly log, shared by every daemon: each line names its session; an
// attach is one line whatever else connects, a detach says how, and the
// command's end gives its status.
TEST(EndToEnd, LogTellsEachSessionsStory) {
    REQUIRE_TMUX();
    Machine m;
    ASSERT_EQ(m.kiv({"--log", "new", "other", "/bin/sh", "-c", "sleep 60"}).status, 0);
    TmuxTerminal term(m.scratch, m.app, m.env);
    term.line("kiv --log lg");
    ASSERT_TRUE(m.waitSessions({"lg", "other"}));
    ASSERT_TRUE(detach(term));
    term.line("kiv attach lg");
    ASSERT_TRUE(term.waitRawMode(true));
    term.line("exit 3");
    ASSERT_TRUE(term.waitRawMode(false));
    std::string log;
    waitUntil([&] {
        log = logFileText(m.scratch);
        return log.find("lg: daemon: exited") != std::string::npos;
    });
    std::vector<std::string> story;
    std::istringstream lines(log);
    static const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d (lg|other): (.+))");
    for (std::string text; std::getline(lines, text);) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(text, parts, line)) << text;
        // Client numbers and the pid vary.
        if (parts[1] == "lg")
            story.push_back(std::regex_replace(
                std::regex_replace(parts[2].str(), std::regex("client [0-9]+"), "#"),
                std::regex("pid [0-9]+"), "pid #"));
    }
    std::vector<std::string> want = {
        "daemon: started, pid #, command /bin/sh",
        "listening on " + m.file("lg.sock"),
        "# attached (unix, 80x24)",
        "# detached (detach key)",
        "# attached (unix, 80x24)",
        "command exited 3",
        "# left (the session ended)",
        "daemon: exited",
    };
    EXPECT_EQ(story, want) << log;
}

// Presses `key` and Enter for a line the session's shell reads, and waits
// for the line's bytes in hex as od prints them.
bool shellReads(TmuxTerminal& term, const std::string& key, const std::string& hex) {
    term.line("clear; read -r x; printf '%s' \"$x\" | od -An -tx1");
    std::this_thread::sleep_for(200ms);  // the shell is reading its line
    term.key(key);
    term.key("Enter");
    return term.waitFor(" " + hex);
}

TEST(EndToEnd, DetachKeyFromTheEnvironment) {
    REQUIRE_TMUX();
    Machine m;
    m.env.push_back("KIV_DETACH_KEY=^]");
    TmuxTerminal term(m.scratch, m.app, m.env);
    term.line("kiv dk");
    ASSERT_TRUE(m.waitSessions({"dk"}));
    ASSERT_TRUE(term.waitRawMode(true));
    // Ctrl-G is input now.
    EXPECT_TRUE(shellReads(term, "C-g", "07")) << term.screen();
    term.key("C-]");
    ASSERT_TRUE(term.waitRawMode(false));
    EXPECT_EQ(m.sessions(), std::vector<std::string>{"dk"});

    // The key as the kitty protocol and modifyOtherKeys report it.
    for (const char* report : {"\x1b[93;5u", "\x1b[27;5;93~"}) {
        term.line("clear; kiv attach dk");
        ASSERT_TRUE(term.waitRawMode(true));
        term.type(report);
        EXPECT_TRUE(term.waitRawMode(false)) << testing::PrintToString(std::string(report));
    }

    // With none, no key detaches.
    term.line("clear; KIV_DETACH_KEY=none kiv attach dk");
    ASSERT_TRUE(term.waitRawMode(true));
    EXPECT_TRUE(shellReads(term, "C-]", "1d")) << term.screen();
    EXPECT_TRUE(term.rawMode());
    term.line("exit");
    EXPECT_TRUE(m.waitSessions({}));
    EXPECT_TRUE(term.waitRawMode(false));

    ProcessResult bad = m.sh("KIV_DETACH_KEY=C-g kiv new never < /dev/null");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(
        bad.err,
        "kiv: invalid KIV_DETACH_KEY: C-g (expected ^X notation such as ^G or ^], or none)\n");
    // Keys every program needs are refused, with the reason and a safe choice.
    for (const char* key : {"^M", "^J", "^[", "^I", "^H", "^?", "^c", "\x1b"}) {
        bad = m.sh(std::string("KIV_DETACH_KEY='") + key + "' kiv new never < /dev/null");
        EXPECT_EQ(bad.status, 1) << key;
        EXPECT_NE(bad.err.find("which every program needs; pick a key nothing uses, such as ^]"),
                  std::string::npos)
            << bad.err;
        EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
    }
    EXPECT_EQ(m.sessions(), std::vector<std::string>{});
}

// The rows of `small` are rows of `big` from some row on, each cut to the
// small window's width: the small window shows a part of the same screen.
bool showsPartOf(const std::string& small, const std::string& big, size_t cols) {
    auto rows = [](const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    };
    auto cut = [&](std::string line) {
        line = line.substr(0, cols);
        return line.substr(0, line.find_last_not_of(' ') + 1);
    };
    std::vector<std::string> s = rows(small), b = rows(big);
    if (s.empty()) return false;
    for (size_t top = 0; top + s.size() <= b.size() + 1; ++top) {
        bool same = true;
        for (size_t i = 0; i < s.size() && same; ++i)
            same = cut(top + i < b.size() ? b[top + i] : "") == cut(s[i]);
        if (same) return true;
    }
    return false;
}

bool waitShowsPartOf(const TmuxTerminal& small, const TmuxTerminal& big, size_t cols) {
    for (int i = 0; i < 100; ++i) {
        if (showsPartOf(small.screen(), big.screen(), cols)) return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

// Several clients on one session: windows of two sizes that both show the
// session whole or cropped, never garbled, with the size going back when
// the client that set it leaves; a read-only viewer; keys sent from a
// script; an attach that detaches the others.
TEST(EndToEnd, SeveralClientsOfDifferentSizes) {
    REQUIRE_TMUX();
    Machine m;
    TmuxTerminal big(m.scratch, m.app, m.env, 120, 40);
    TmuxTerminal small(m.scratch, m.app, m.env, 50, 20);
    big.line("seq 1 200 | sed 's/$/ the quick brown fox jumps over the lazy dog/' > lines");
    big.line("kiv work");
    ASSERT_TRUE(m.waitSessions({"work"}));
    ASSERT_TRUE(big.waitRawMode(true));
    small.line("kiv attach work");
    ASSERT_TRUE(small.waitRawMode(true));
    // The last to attach sets the size; the larger window shows it all.
    small.line("clear; stty size");
    ASSERT_TRUE(small.waitFor("20 50"));
    EXPECT_TRUE(big.waitFor("20 50"));
    small.line("vim -u NONE -N -c 'set laststatus=2' lines");
    // The file's lines: the typed command shows its name before vim runs, and
    // keys typed in the other window could then still reach the shell first.
    ASSERT_TRUE(small.waitFor("1 the quick")) << small.screen();
    EXPECT_TRUE(waitShowsPartOf(small, big, 50)) << big.screen() << "\n---\n" << small.screen();
    // Typing in the large window gives the session its size; the small one
    // shows the part that holds the cursor, wherever it goes.
    big.type("1G");
    EXPECT_TRUE(big.waitFor("38 the quick")) << big.screen();
    EXPECT_TRUE(waitShowsPartOf(small, big, 50)) << small.screen() << "\n---\n" << big.screen();
    big.type("30G");
    EXPECT_TRUE(waitShowsPartOf(small, big, 50)) << small.screen() << "\n---\n" << big.screen();
    EXPECT_TRUE(small.waitFor("30 the quick")) << small.screen();
    small.type(":q!\r");  // the small window takes the size back
    small.line("clear");
    ASSERT_TRUE(detach(small));
    // It has left: the session goes back to the large window's size.
    ASSERT_TRUE(m.kiv({"send", "work", "clear; stty size\r"}).status == 0);
    EXPECT_TRUE(big.waitFor("40 120")) << big.screen();

    // A read-only viewer: its keys and its size change nothing.
    small.line("clear; kiv attach -r work");
    ASSERT_TRUE(small.waitRawMode(true));
    small.line("echo typed-by-viewer");
    small.resize(60, 15);
    ProcessResult sent = m.kiv({"send", "work", "clear; echo sent-$((2+3)); stty size", "\r"});
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_TRUE(big.waitFor("sent-5")) << big.screen();
    EXPECT_TRUE(big.waitFor("40 120")) << big.screen();
    EXPECT_TRUE(small.waitFor("sent-5")) << small.screen();
    EXPECT_EQ(big.screen().find("typed-by-viewer"), std::string::npos) << big.screen();

    // -D: the others are detached, each back at its shell.
    ASSERT_TRUE(detach(small));
    small.line("clear; kiv attach -D work");
    ASSERT_TRUE(small.waitRawMode(true));
    EXPECT_TRUE(big.waitRawMode(false));
    EXPECT_TRUE(small.rawMode());
    EXPECT_EQ(m.sessions(), std::vector<std::string>{"work"});

    ProcessResult unknown = m.kiv({"send", "nope", "x"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "kiv: no such session: nope\n");
    ProcessResult badSize = m.sh("KIV_SIZE=tiny kiv attach work < /dev/null");
    EXPECT_EQ(badSize.status, 1);
    EXPECT_EQ(badSize.err, "kiv: KIV_SIZE must be latest, smallest or largest, got: tiny\n");

    // Killed, the session tells every client so, the one whose window is
    // not the session's size among them.
    big.line("clear; kiv attach work");
    ASSERT_TRUE(big.waitRawMode(true));
    EXPECT_EQ(m.kiv({"kill", "work"}).status, 0);
    EXPECT_TRUE(big.waitFor("[work killed]")) << big.screen();
    EXPECT_TRUE(small.waitFor("[work killed]")) << small.screen();
}

// A socket that accepts connections and never answers, as a daemon that is
// stuck would.
struct SilentListener {
    kiv::UniqueFd fd;
    explicit SilentListener(const std::string& path) : fd(kiv::listenUnix(path)) {}
};

TEST(EndToEnd, ListOnATerminalIsATablePipedItIsNames) {
    REQUIRE_TMUX();
    Machine m;
    TmuxTerminal term(m.scratch, m.app, m.env, 100, 24);
    // Nothing to list: a person is told so, a script reads nothing.
    term.line("kiv ls; echo status=$?");
    ASSERT_TRUE(term.waitFor("\nstatus=")) << term.screen();
    EXPECT_NE(term.screen().find("no sessions\nstatus=1"), std::string::npos) << term.screen();
    ProcessResult none = m.kiv({"ls"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out + none.err, "");

    ASSERT_EQ(m.kiv({"new", "two", "/bin/sh", "-c", "sleep 60"}).status, 0);
    ASSERT_EQ(m.kiv({"new", "日本語", "/bin/sh", "-c", "sleep 60"}).status, 0);
    ProtoClient first = ProtoClient::overUnix(m.file("two.sock"));
    ProtoClient second = ProtoClient::overUnix(m.file("two.sock"));
    ASSERT_TRUE(first.resize(100, 30));
    ASSERT_TRUE(first.next());  // the screen: this one is attached
    ASSERT_TRUE(second.resize(90, 20));
    ASSERT_TRUE(second.next());
    SilentListener stuck(m.file("stuck.sock"));

    term.line("clear; kiv ls");
    ASSERT_TRUE(term.waitFor("COMMAND")) << term.screen();
    ASSERT_TRUE(term.waitFor("stuck ")) << term.screen();
    std::string screen = term.screen();
    std::string pid = readFile(m.file("two.pid"));
    EXPECT_NE(screen.find("\nstuck   ?  "), std::string::npos) << screen;
    size_t two = screen.find("\ntwo ");
    ASSERT_NE(two, std::string::npos) << screen;
    std::string row = screen.substr(two + 1, screen.find('\n', two + 1) - two - 1);
    std::istringstream fields(row);
    std::string name, rowPid, clients, age, size, status, command;
    fields >> name >> rowPid >> clients >> age >> size >> status;
    std::getline(fields >> std::ws, command);
    EXPECT_EQ(rowPid, pid) << row;
    EXPECT_EQ(clients, "2") << row;
    EXPECT_EQ(size, "90x20") << row;
    EXPECT_EQ(status, "running") << row;
    EXPECT_EQ(command, "/bin/sh -c 'sleep 60'") << row;
    // Every column starts where its heading does, wide names included.
    size_t header = screen.find("NAME");
    std::string heading = screen.substr(header, screen.find('\n', header) - header);
    for (const char* name : {"stuck ", "two ", "日本語 "}) {
        size_t at = screen.find(std::string("\n") + name);
        ASSERT_NE(at, std::string::npos) << name << "\n" << screen;
        std::string line = screen.substr(at + 1, screen.find('\n', at + 1) - at - 1);
        size_t pidAt = line.find_first_not_of(' ', line.find(' '));
        EXPECT_EQ(screen::displayColumns(line.substr(0, pidAt)), heading.find("PID")) << line;
    }

    // In a pipe: the names alone, in the table's order, as scripts read them.
    ProcessResult piped = m.kiv({"ls"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, "stuck\ntwo\n日本語\n");
}

// Stopped daemons (suspended by hand, or hung) are all asked at once, so
// that they cost the listing one wait in all, and one whose queue of
// connections is full (by the third listing) is not waited for at all.
TEST(EndToEnd, StoppedDaemonsShareOneWait) {
    REQUIRE_TMUX();
    Machine m;
    std::vector<pid_t> stopped;
    struct Resume {
        std::vector<pid_t>& pids;
        ~Resume() {
            for (pid_t pid : pids)
                kill(pid, SIGCONT);
        }
    } resume{stopped};
    ASSERT_EQ(m.kiv({"new", "live", "/bin/sh", "-c", "sleep 60"}).status, 0);
    for (std::string name : {"s1", "s2", "s3", "s4"}) {
        ASSERT_EQ(m.kiv({"new", name, "/bin/sh", "-c", "sleep 60"}).status, 0);
        pid_t pid = std::stoi(readFile(m.file(name + ".pid")));
        ASSERT_EQ(kill(pid, SIGSTOP), 0);
        stopped.push_back(pid);
    }
    TmuxTerminal term(m.scratch, m.app, m.env, 100, 24);
    for (int i = 0; i < 4; ++i) {
        // Asked in turn, the four would take 4 s at least.
        // The quotes keep the typed line from passing for the answer.
        std::string took = "took" + std::to_string(i) + " ";
        term.line("clear; a=$(date +%s%N); kiv ls; echo t''ook" + std::to_string(i) +
                  " $((($(date +%s%N) - a) / 1000000))");
        ASSERT_TRUE(term.waitFor(took, 20s)) << term.screen();
        std::string screen = term.screen();
        EXPECT_LT(std::stol(screen.substr(screen.find(took) + took.size())), 3000) << screen;
        for (const char* name : {"live", "s1", "s4"}) {
            size_t at = screen.find(std::string("\n") + name + " ");
            ASSERT_NE(at, std::string::npos) << screen;
            std::istringstream row(screen.substr(at + 1, screen.find('\n', at + 1) - at - 1));
            std::string rowName, pid, clients;
            row >> rowName >> pid >> clients;
            EXPECT_EQ(clients, rowName == "live" ? "0" : "?") << screen;
        }
    }
    EXPECT_EQ(m.kiv({"ls"}).out, "live\ns1\ns2\ns3\ns4\n");
    // Nor does kill wait for ever on one: it cannot be told to stop.
    ProcessResult killed = m.kiv({"kill", "s1"});
    EXPECT_EQ(killed.status, 1);
    EXPECT_EQ(killed.err, "kiv: session s1 does not answer (its daemon is stopped or hung)\n");
}

// A directory made where a running session's socket belongs: the session
// is said to be out of reach, never cleaned away as stale, killed blindly
// or started twice; the directory is left alone, and once it is gone the
// session's socket comes back.
TEST(EndToEnd, SocketPathTakenByADirectory) {
    Machine m;
    ASSERT_EQ(m.kiv({"new", "-d", "work", "/bin/sh", "-c", "sleep 60"}).status, 0);
    std::string sock = m.file("work.sock");
    ASSERT_EQ(unlink(sock.c_str()), 0);
    ASSERT_EQ(mkdir(sock.c_str(), 0700), 0);
    std::string why = "kiv: session work cannot be reached: " + sock +
                      " is a directory (once it is gone, the session puts its socket back "
                      "within seconds)\n";
    for (std::vector<std::string> args :
         {std::vector<std::string>{"ls"}, {"attach", "work"}, {"kill", "work"}, {"work"}}) {
        ProcessResult r = m.kiv(args);
        EXPECT_EQ(r.err, why) << args[0];
        EXPECT_EQ(r.status, args[0] == "ls" ? 0 : 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
    }
    // Its pid file is still there.
    EXPECT_TRUE(exists(m.file("work.pid")));
    ASSERT_EQ(rmdir(sock.c_str()), 0);
    EXPECT_TRUE(m.waitSessions({"work"}));
}

// A session's end as the user meets it: kept while nobody watches, shown
// with its status by the attach that collects it, and the client's last
// line for each way of leaving.
TEST(EndToEnd, EndsAreKeptToldAndReturned) {
    REQUIRE_TMUX();
    Machine m;
    {
        TmuxTerminal term(m.scratch, m.app, m.env);
        term.line("kiv b sh -c '" + afterGo(m, "echo result 42; exit 3") + "'");
        ASSERT_TRUE(detach(term));
        ASSERT_TRUE(term.waitFor("[detached from b]"));
        writeFile(m.scratch / "go", "");
        ASSERT_TRUE(waitUntil([&] { return endOf(m, "b").has_value(); }));
        term.line("clear; kiv ls");
        ASSERT_TRUE(term.waitFor("exited 3, ")) << term.screen();
        EXPECT_EQ(m.sessions(), std::vector<std::string>{"b"});
        term.line("clear; kiv attach b; echo status=$?");
        ASSERT_TRUE(term.waitFor("status=3")) << term.screen();
        EXPECT_NE(term.screen().find("result 42\n[b exited: status 3]\nstatus=3"),
                  std::string::npos)
            << term.screen();
        EXPECT_EQ(m.sessions(), std::vector<std::string>{});

        auto go = [&] { writeFile(m.scratch / "go", ""); };
        struct Case {
            std::string start;  // a session "e" in the foreground
            std::function<void()> end;
            const char* shown;
        } cases[] = {
            {"kiv e sh -c '" + afterGo(m, "exit 5") + "'", go, "[e exited: status 5]\nstatus=5"},
            {"kiv e sh -c '" + afterGo(m, "kill -9 $$") + "'", go,
             "[e killed by SIGKILL]\nstatus=137"},
            {"kiv e", [&] { m.kiv({"kill", "e"}); }, "[e killed]\nstatus=1"},
            {"kiv e", [&] { runProcess({"kill", "-9", readFile(m.file("e.pid"))}); },
             "[lost connection to e]\nstatus=1"},
            {"kiv e", [&] { term.key("C-g"); }, "[detached from e]\nstatus=0"},
        };
        for (const Case& c : cases) {
            term.line("clear; " + c.start + "; echo status=$?");
            ASSERT_TRUE(term.waitRawMode(true)) << c.start;
            c.end();
            EXPECT_TRUE(term.waitFor(c.shown)) << c.start << "\n" << term.screen();
            EXPECT_TRUE(term.waitRawMode(false));
        }
        m.kiv({"kill", "e"});

        // Started without attaching, the session outlives its terminal.
        term.line("clear; kiv -d w sleep 1000; echo started=$?");
        ASSERT_TRUE(term.waitFor("started=0")) << term.screen();
    }
    EXPECT_EQ(m.sessions(), std::vector<std::string>{"w"});
    ProcessResult again = m.kiv({"-d", "w", "sleep", "1"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "kiv: session already running: w\n");
}

// Commands that need no terminal: the front end with its output and status.

TEST(FrontEnd, StandardInputFromAFileIsForwarded) {
    Machine m;
    writeFile(m.scratch / "input", "echo polled > " + (m.scratch / "marker") + "\n");
    ProcessResult r = m.sh("kiv new work < " + (m.scratch / "input"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(m.waitFile(m.scratch / "marker"));
    EXPECT_EQ(readFile(m.scratch / "marker"), "polled\n");
    EXPECT_EQ(m.sessions(), std::vector<std::string>{"work"});  // still running
}

TEST(FrontEnd, ListKillAndStaleCleanup) {
    Machine m;
    ASSERT_EQ(m.sh("kiv new live < /dev/null").status, 0);
    // A socket file whose daemon has gone, and a lone lock file.
    m.deadSocket("dead");
    writeFile(m.file("locked.lock"), "");
    EXPECT_EQ(m.kiv({"ls"}).out, "live\n");
    EXPECT_TRUE(exists(m.file("dead.sock")));  // ls removes nothing

    struct Case {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"kill", "dead"}, "kiv: cleaned stale socket, no daemon for session: dead\n"},
        {{"kill", "dead"}, "kiv: no such session: dead\n"},
        {{"attach", "locked"}, "kiv: cleaned stale socket, no daemon for session: locked\n"},
        {{"kill"}, "kiv: kill: session name required\n"},
        {{"kill", "../x"}, "kiv: invalid session name: ../x\n"},
        {{"attach", ".."}, "kiv: invalid session name: ..\n"},
        {{"new", "a/b"}, "kiv: invalid session name: a/b\n"},
    };
    for (const Case& c : cases) {
        ProcessResult r = m.kiv(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(exists(m.file("dead.sock")));
    EXPECT_FALSE(exists(m.file("locked.lock")));

    std::string pid = readFile(m.file("live.pid"));
    ProcessResult killed = m.kiv({"k", "live"});
    EXPECT_EQ(killed.status, 0);
    EXPECT_EQ(killed.out, "killed " + pid + "\n");
    for (const char* ext : {".sock", ".pid", ".lock"})
        EXPECT_FALSE(exists(m.file("live") + ext));
    EXPECT_TRUE(waitUntil([&] { return kill(std::stoi(pid), 0) != 0; }));

    ProcessResult none = m.kiv({"attach"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "kiv: attach: no active sessions\n");
    EXPECT_EQ(m.kiv({"ls"}).out, "");
}

// Runs a command line with its standard input open, with nothing to read,
// until it returns: a client then leaves only when the session says so.
ProcessResult withOpenInput(Machine& m, const std::string& commandLine) {
    std::string fifo = m.scratch / "input.fifo";
    return m.sh("rm -f " + fifo + " && mkfifo " + fifo + " && { sleep 20 > " + fifo +
                " 2>/dev/null & } && " + commandLine + " < " + fifo +
                "; s=$?; kill $! 2>/dev/null; exit $s");
}

// A command that ends at once is a session that has ended, never a failed
// start; an ended session holds no terminal, is skipped by a nameless
// attach, replaced by a new one of its name and removed by kill.
TEST(FrontEnd, EndedSessions) {
    Machine m;
    for (int run = 0; run < 10; ++run) {
        ProcessResult r = withOpenInput(m, "kiv ff sh -c 'echo build failed; exit 2'");
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("build failed"), std::string::npos) << r.out;
        EXPECT_TRUE(r.out.ends_with("\n[ff exited: status 2]\n")) << r.out;
    }
    EXPECT_EQ(m.sessions(), std::vector<std::string>{});

    ASSERT_EQ(m.kiv({"-d", "z", "sh", "-c", "echo first; exit 4"}).status, 0);
    waitUntil([&] { return endOf(m, "z").has_value(); });
    ASSERT_EQ(endOf(m, "z"), (kiv::SessionEnd{kiv::SessionEnd::How::Exited, 4, 0}));
    {  // A client that leaves before it has said the end back collects nothing.
        ProtoClient early = ProtoClient::overUnix(m.file("z.sock"));
        early.resize(80, 24);
        EXPECT_TRUE(early.outputContains("first"));
    }
    EXPECT_TRUE(endOf(m, "z"));
    std::string pid = readFile(m.file("z.pid"));
    std::error_code gone;  // a connection that closed meanwhile
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd")) {
        std::string target = std::filesystem::read_symlink(entry.path(), gone);
        EXPECT_EQ(target.find("ptmx"), std::string::npos) << target;
        EXPECT_EQ(target.find("/dev/pts"), std::string::npos) << target;
    }
    ASSERT_EQ(m.kiv({"-d", "y", "sleep", "100"}).status, 0);
    ProcessResult oldest = m.sh("sleep 1 | kiv attach");
    EXPECT_EQ(oldest.status, 0);
    EXPECT_NE(oldest.out.find("[detached from y]"), std::string::npos) << oldest.out;

    ProcessResult replaced = m.kiv({"-d", "z", "sh", "-c", "echo second; exit 6"});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    ProcessResult shown = withOpenInput(m, "kiv attach z");
    EXPECT_EQ(shown.status, 6);
    EXPECT_NE(shown.out.find("second"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("first"), std::string::npos) << shown.out;

    ASSERT_EQ(m.kiv({"-d", "x", "true"}).status, 0);
    waitUntil([&] { return endOf(m, "x").has_value(); });
    EXPECT_EQ(m.sessions(), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(m.kiv({"kill", "x"}).status, 0);
    EXPECT_EQ(m.sessions(), std::vector<std::string>{"y"});
}

// A pid file that names no single process (-1 would be every process) is
// never used: the signal goes to the daemon that answers on the socket.
TEST(FrontEnd, KillNeverTakesAPidFileThatIsNotAProcess) {
    Machine m;
    ASSERT_EQ(m.sh("kiv new live < /dev/null").status, 0);
    std::string pid = readFile(m.file("live.pid"));
    writeFile(m.file("live.pid"), "-1");
    ProcessResult r = m.kiv({"kill", "live"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "killed " + pid + "\n");
}

TEST(FrontEnd, DaemonThatCannotStartIsReportedAtOnce) {
    Machine m;
    // A runtime directory so long that no socket path fits under it.
    std::string deep = m.scratch / std::string(100, 'd');
    std::filesystem::create_directories(deep);
    auto start = std::chrono::steady_clock::now();
    ProcessResult r = m.sh("XDG_RUNTIME_DIR=" + deep + " kiv new x < /dev/null");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kiv: daemon failed to start: x: socket path too long\n");  // with its reason
    EXPECT_LT(took, 4s);  // the child's end is noticed; no 5-second wait
}

TEST(FrontEnd, ProgramWordsAndExactDaemonNames) {
    Machine m;
    std::string bin = m.scratch / "bin";
    std::filesystem::create_directories(bin);
    std::string tool = bin + "/mytool";
    writeFile(tool, "#!/bin/sh\necho \"ran name=[$KIV_SESSION]\" > " + (m.scratch / "ran") +
                        "\nsleep 30\n");
    chmod(tool.c_str(), 0755);
    std::string path = "PATH=" + bin + ":$PATH ";

    // A program word runs that program under the default name.
    ASSERT_EQ(m.sh(path + "kiv mytool < /dev/null").status, 0);
    EXPECT_TRUE(m.waitFile(m.scratch / "ran"));
    EXPECT_EQ(readFile(m.scratch / "ran"), "ran name=[app]\n");
    EXPECT_EQ(m.sessions(), std::vector<std::string>{"app"});

    // A directory called like the program gives a default name that the
    // daemon serves as a name, running the shell.
    std::filesystem::remove(m.scratch / "ran");
    std::string dir = m.scratch / "home/src/mytool";
    std::filesystem::create_directories(dir);
    ProcessResult r = m.sh("cd " + dir + " && " + path + "kiv < /dev/null");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(m.waitSessions({"app", "mytool"}));
    EXPECT_FALSE(exists(m.scratch / "ran"));
}

// A program "show" on the machine's PATH that writes its arguments, each in
// brackets, to <scratch>/shown/<its session's name>, then waits.
std::string installShow(Machine& m) {
    std::string bin = m.scratch / "bin";
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(m.scratch / "shown");
    writeFile(bin + "/show",
              "#!/bin/sh\n"
              "out=\"$SHOWN/$KIV_SESSION\"\n"
              "printf '[%s]' \"$@\" > \"$out.part\" && mv \"$out.part\" \"$out\"\n"
              "exec sleep 30\n");
    chmod((bin + "/show").c_str(), 0755);
    for (std::string& entry : m.env)
        if (entry.rfind("PATH=", 0) == 0) entry = "PATH=" + bin + ":" + entry.substr(5);
    m.env.push_back("SHOWN=" + (m.scratch / "shown"));
    return m.scratch / "shown";
}

TEST(FrontEnd, TheCommandGetsItsArgumentsUnchanged) {
    Machine m;
    std::string shown = installShow(m);
    struct Case {
        std::vector<std::string> args;
        const char* session;
        const char* received;
    } cases[] = {
        // Words that look like kiv's options are the command's once it is named.
        {{"notes", "show", "notes.txt", "-p", "16789", "", "--log", "--", "-h"},
         "notes",
         "[notes.txt][-p][16789][][--log][--][-h]"},
        // "test" is a program too, but a command follows: it is the name.
        {{"test", "show", "x"}, "test", "[x]"},
        // A lone program word still runs under the default name.
        {{"show"}, "app", "[]"},
        {{"--", "-odd", "show", "a b"}, "-odd", "[a b]"},
        {{"new", "n2", "show", "-v"}, "n2", "[-v]"},
        {{"--log", "logged", "show", "--log"}, "logged", "[--log]"},
    };
    for (const Case& c : cases) {
        ProcessResult r = m.kiv(c.args);
        EXPECT_EQ(r.status, 0) << c.session << ": " << r.err;
        ASSERT_TRUE(m.waitFile(shown + "/" + c.session)) << c.session;
        EXPECT_EQ(readFile(shown + "/" + c.session), c.received);
    }
    EXPECT_EQ(m.sessions(),
              (std::vector<std::string>{"-odd", "app", "logged", "n2", "notes", "test"}));
    // Only the session whose --log came before its command logs.
    std::string log = logFileText(m.scratch);
    EXPECT_NE(log.find("logged: daemon: started"), std::string::npos) << log;
    EXPECT_EQ(log.find("notes: "), std::string::npos) << log;
}

TEST(FrontEnd, SelfAttachIsRefusedWithoutTouchingTheSession) {
    Machine m;
    ASSERT_EQ(m.kiv({"--log", "new", "fs"}).status, 0);
    auto attaches = [&] {
        std::string log = logFileText(m.scratch);
        size_t count = 0;
        for (size_t at = 0; (at = log.find("client attached", at)) != std::string::npos; ++at)
            ++count;
        return count;
    };
    size_t before = attaches();
    ProcessResult r = m.sh("KIV_SESSION=fs kiv attach fs < /dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kiv: cannot attach session fs inside itself\n");
    EXPECT_EQ(r.out, "");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(attaches(), before);
    for (const char* line : {"KIV_SESSION=fs kiv attach", "KIV_SESSION=fs kiv fs"}) {
        r = m.sh(std::string(line) + " < /dev/null");
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_EQ(r.err, "kiv: cannot attach session fs inside itself\n") << line;
    }
    // From inside another session the attach goes ahead.
    EXPECT_EQ(m.sh("KIV_SESSION=other kiv attach fs < /dev/null").status, 0);
    EXPECT_EQ(m.sessions(), std::vector<std::string>{"fs"});
}

TEST(FrontEnd, SessionReachedOverTcpOnly) {
    Machine m;
    int base = 30000 + (getpid() % 300) * 100;
    std::string listen = "-l 127.0.0.1:" + std::to_string(base) + " ";
    for (const char* name : {"s1", "s2", "s3"})
        ASSERT_EQ(m.sh("kiv " + listen + "new " + name + " < /dev/null").status, 0);
    ASSERT_EQ(m.sh("kiv new s4 < /dev/null").status, 0);  // no TCP

    // A client whose runtime directory holds none of these sockets finds s3
    // after two refusals.
    std::string other = m.scratch / "elsewhere";
    writeFile(m.scratch / "input", "echo via-tcp > " + (m.scratch / "tcp-marker") + "\n");
    ProcessResult r = m.sh("XDG_RUNTIME_DIR=" + other + " kiv " + listen + "attach s3 < " +
                           (m.scratch / "input"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(m.waitFile(m.scratch / "tcp-marker"));

    ProcessResult missing =
        m.sh("XDG_RUNTIME_DIR=" + other + " kiv " + listen + "attach s4 < /dev/null");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "kiv: no such session: s4\n");
}

}  // namespace

namespace {

// The pane's history and screen, one line per row (wrapped rows not
// joined), with colours when asked.
std::vector<std::string> paneLines(const TmuxTerminal& term, bool colours = false) {
    std::vector<std::string> args = {"capture-pane", "-p", "-S", "-", "-t", "t"};
    if (colours) args.insert(args.begin() + 1, "-e");
    std::istringstream text(term.tmux(args));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

// How many of the session's numbered lines ("red<i> plain", i from 1 to
// 100) the pane does not hold exactly once; the first such line is named.
std::string linesNotOnce(const TmuxTerminal& term) {
    std::vector<std::string> lines = paneLines(term);
    int wrong = 0;
    std::string first;
    for (int i = 1; i <= 100; ++i) {
        std::string want = "red" + std::to_string(i) + " plain";
        if (std::count(lines.begin(), lines.end(), want) != 1 && wrong++ == 0) first = want;
    }
    return wrong == 0 ? "" : std::to_string(wrong) + " lines, first " + first;
}

bool holds(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

// Each terminal window gets each history line once, in colour, the lines
// the program's output wrapped whole at the window's own width, and all of
// them in its scrollback even when clearing the screen keeps nothing there.
TEST(EndToEnd, HistoryLandsOnceInColourAtTheUsersWidth) {
    REQUIRE_TMUX();
    Machine m;
    TmuxTerminal term(m.scratch, m.app, m.env);
    term.line("kiv hist");
    ASSERT_TRUE(m.waitSessions({"hist"}));
    ASSERT_TRUE(term.waitRawMode(true));
    term.line(
        "i=1; while [ $i -le 100 ]; do printf '\\033[31mred%d\\033[0m plain\\n' $i; "
        "i=$((i+1)); done; printf '%0150d\\n' 0; i=0; while [ $i -lt 30 ]; do echo fill; "
        "i=$((i+1)); done");
    ASSERT_TRUE(term.waitFor("fill\n$"));
    for (int attach = 0; attach < 3; ++attach) {
        ASSERT_TRUE(detach(term));
        term.line("kiv attach hist");
        ASSERT_TRUE(term.waitRawMode(true));
        ASSERT_TRUE(term.waitFor("fill"));
    }
    EXPECT_EQ(linesNotOnce(term), "");

    // A new window, wider, that keeps nothing of a clear screen: all of the
    // history once, in colour, the 150 columns whole on rows of 120.
    TmuxTerminal wide(m.scratch, m.app, m.env, 120, 24);
    wide.tmux({"set-option", "-g", "scroll-on-clear", "off"});
    wide.line("kiv attach hist");
    ASSERT_TRUE(wide.waitRawMode(true));
    ASSERT_TRUE(wide.waitFor("fill"));
    EXPECT_EQ(linesNotOnce(wide), "");
    std::vector<std::string> lines = paneLines(wide);
    EXPECT_TRUE(holds(lines, std::string(120, '0')));
    EXPECT_TRUE(holds(lines, std::string(30, '0')));
    EXPECT_TRUE(holds(paneLines(wide, true), "\x1b[31mred7\x1b[39m plain"));
    ASSERT_TRUE(detach(wide));
}
