// The command's queries to its terminal through a real daemon: answered by
// the model while no client watches, answered once while two do.
#include <sys/stat.h>

#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/daemon.h"
#include "tests/support/tmux.h"

using namespace testsupport;
using kiv::MsgKind;

namespace {

// A command that asks its terminal: each argument is written (escapes as
// in Python bytes); one starting with "=" is written without waiting, "<x"
// waits for the byte x, "~" pauses 50 ms; any other waits up to the
// deadline for a whole reply. It logs each reply (ESC as \e, "" when none
// came in time) on a line of its own, then all else it read, and all it
// reads for `drain` seconds, as "rest <bytes>", then "done".
constexpr const char* kAsker = R"(#!/usr/bin/env python3
import codecs, os, re, select, sys, time, tty
tty.setraw(0)
log = open(sys.argv[1], 'w', buffering=1)
limit, drain = float(sys.argv[2]), float(sys.argv[3])
whole = re.compile(rb'\x1b\[[?>]?[0-9;]*\$?[@-~]|\x1b[P\]][^\x07\x1b]*(\x07|\x1b\\)')
def show(b):
    return b.decode('latin1').replace('\x1b', '\\e')
extra = b''  # bytes read that are no reply
def read_until(done, seconds):
    got, deadline = b'', time.monotonic() + seconds
    while not done(got):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([0], [], [], left)[0]:
            break
        got += os.read(0, 1024)
    return got
for arg in sys.argv[4:]:
    if arg.startswith('<'):
        read_until(lambda b: arg[1].encode() in b, 30)
        continue
    if arg == '~':
        time.sleep(0.05)
        continue
    os.write(1, codecs.escape_decode(arg.lstrip('='))[0])
    if not arg.startswith('='):
        got = read_until(whole.search, limit)
        m = whole.search(got)
        extra += got[:m.start()] + got[m.end():] if m else got
        log.write(show(m.group(0) if m else b'') + '\n')
if drain > 0:
    log.write('rest ' + show(extra + read_until(lambda b: False, drain)) + '\n')
log.write('done\n')
time.sleep(60)
)";

std::string script(const ScratchDir& scratch, const std::string& name, const std::string& body) {
    std::string path = scratch / name;
    writeFile(path, body);
    chmod(path.c_str(), 0755);
    return path;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The asker's log once it is done, without the final "done".
std::vector<std::string> waitLog(const std::string& path, std::chrono::seconds limit = 20s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = exists(path) ? readFile(path) : "";
        if (text.ends_with("done\n")) {
            std::vector<std::string> out = lines(text);
            out.pop_back();
            return out;
        }
        std::this_thread::sleep_for(20ms);
    }
    return {"(the command did not finish)"};
}

// The asker as a session's command (a session's command takes no
// arguments: a wrapper script holds them), the log in the scratch directory.
struct Asker {
    ScratchDir scratch;
    std::string log = scratch / "replies";
    DaemonProcess daemon;

    Asker(const std::string& name, double limit, double drain,
          const std::vector<std::string>& items)
        : daemon(scratch, name, wrapper(scratch, log, limit, drain, items)) {}

    static std::string wrapper(const ScratchDir& scratch, const std::string& log, double limit,
                               double drain, const std::vector<std::string>& items) {
        std::string line = "exec '" + script(scratch, "asker", kAsker) + "' '" + log + "' " +
                           std::to_string(limit) + " " + std::to_string(drain);
        for (const std::string& item : items)
            line += " '" + item + "'";
        return script(scratch, "command", "#!/bin/sh\n" + line + "\n");
    }
};

ProtoClient attach(DaemonProcess& d) {
    ProtoClient c = ProtoClient::overUnix(d.socketPath());
    c.resize(80, 24);
    EXPECT_TRUE(c.outputUntil([&](const std::string&) { return !c.others().empty(); }));
    return c;
}

TEST(Queries, AnsweredByTheModelWhileNobodyWatches) {
    // Each reply must come within 100 ms.
    Asker a("detached", 0.1, 0,
            {"\\x1b[c", "\\x1b[0c", "\\x1b[>c", "\\x1b[5n", "=\\x1b[5;10H", "\\x1b[6n",
             "=ab\\r\\ncd", "\\x1b[6n", "\\x1b[?6n", "=\\x1b[?2004h", "\\x1b[?2004$p",
             "=\\x1b[?25l", "\\x1b[?25$p", "\\x1b[?4711$p", "\\x1b[>0q", "\\x1b[?u",
             // Split across two writes, and inside a synchronized update.
             "=\\x1b[", "~", "6n", "=\\x1b[?2026h\\x1b[3;3H", "\\x1b[6n", "=\\x1b[?2026l"});
    ASSERT_TRUE(a.daemon.waitReady());
    std::vector<std::string> got = waitLog(a.log);
    ASSERT_EQ(got.size(), 14u) << ::testing::PrintToString(got);
    EXPECT_EQ(got[0], "\\e[?62;22c");
    EXPECT_EQ(got[1], "\\e[?62;22c");
    EXPECT_TRUE(got[2].starts_with("\\e[>1;") && got[2].ends_with(";0c")) << got[2];
    EXPECT_EQ(got[3], "\\e[0n");
    EXPECT_EQ(got[4], "\\e[5;10R");
    EXPECT_EQ(got[5], "\\e[6;3R");  // after a new line and two characters
    EXPECT_EQ(got[6], "\\e[?6;3;1R");
    EXPECT_EQ(got[7], "\\e[?2004;1$y");
    EXPECT_EQ(got[8], "\\e[?25;2$y");
    EXPECT_EQ(got[9], "\\e[?4711;0$y");
    EXPECT_TRUE(got[10].starts_with("\\eP>|kiv ") && got[10].ends_with("\\e\\")) << got[10];
    EXPECT_EQ(got[11], "\\e[?0u");
    EXPECT_EQ(got[12], "\\e[6;3R");
    EXPECT_EQ(got[13], "\\e[3;3R");
}

TEST(Queries, TwoWatchingTerminalsGiveTheCommandOneReply) {
    Asker a("two-watchers", 5, 1.0, {"=ready", "<g", "\\x1b[c", "\\x1b[6n"});
    ASSERT_TRUE(a.daemon.waitReady());
    ProtoClient first = attach(a.daemon);
    ProtoClient second = attach(a.daemon);
    // Input that comes before the command's terminal is raw is lost.
    ASSERT_TRUE(first.outputContains("ready"));
    first.send(MsgKind::Input, "g");
    // Both terminals answer each query; the second client also types text
    // that looks like parts of a reply.
    ASSERT_TRUE(first.outputContains("\x1b[c"));
    ASSERT_TRUE(second.outputContains("\x1b[c"));
    first.send(MsgKind::Input, "\x1b[?62;22c");
    second.send(MsgKind::Input, "[?64c\x1b[?64;4c?62;22c");
    ASSERT_TRUE(first.outputContains("\x1b[6n"));
    ASSERT_TRUE(second.outputContains("\x1b[6n"));
    second.send(MsgKind::Input, "\x1b[3;1R");
    first.send(MsgKind::Input, "\x1b[3;1Rtyped\x1b[1;2R");
    std::vector<std::string> got = waitLog(a.log);
    ASSERT_EQ(got.size(), 3u) << ::testing::PrintToString(got);
    EXPECT_TRUE(got[0] == "\\e[?62;22c" || got[0] == "\\e[?64;4c") << got[0];
    EXPECT_EQ(got[1], "\\e[3;1R");
    // The key shaped like a cursor report arrives: the first terminal had
    // answered already.
    EXPECT_EQ(got[2], "rest [?64c?62;22ctyped\\e[1;2R");
}

TEST(Queries, TwoRealTerminalsAttachedAnswerOnce) {
    if (!tmuxAvailable()) GTEST_SKIP() << "tmux is not installed";
    Asker a("real-terminals", 5, 1.0,
            {"=ready", "<g", "\\x1b[c", "\\x1b[6n", "\\x1b[>0q", "\\x1b[5n"});
    ASSERT_TRUE(a.daemon.waitReady());
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + (a.scratch / "run"),
                                    "TERM=xterm-256color"};
    TmuxTerminal first(a.scratch, a.scratch.path(), env), second(a.scratch, a.scratch.path(), env);
    for (TmuxTerminal* t : {&first, &second}) {
        t->line(std::string(KIV_BINARY) + " attach real-terminals");
        ASSERT_TRUE(t->waitFor("ready"));
        ASSERT_TRUE(t->waitRawMode(true));
    }
    first.type("g");
    std::vector<std::string> got = waitLog(a.log);
    ASSERT_EQ(got.size(), 5u) << ::testing::PrintToString(got);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_FALSE(got[i].empty()) << "query " << i << " went unanswered";
    EXPECT_EQ(got[4], "rest ");  // the second pane's answers were left out
}

TEST(Queries, AShellThatWaitsForItsTerminalStartsWithNobodyWatching) {
    // Like a shell that asks for the device attributes before its first
    // prompt and waits seconds for them.
    ScratchDir scratch;
    std::string shell = script(scratch, "shell",
                               "#!/bin/sh\n"
                               "stty raw -echo min 0 time 50\n"
                               "printf '\\033[c'\n"
                               "reply=''\n"
                               "while c=$(dd bs=1 count=1 2>/dev/null) && [ -n \"$c\" ]; do\n"
                               "  reply=\"$reply$c\"; [ \"$c\" = c ] && break\n"
                               "done\n"
                               "stty sane\n"
                               "printf 'prompt(%s)$ ' \"${#reply}\"\n"
                               "exec sleep 60\n");
    auto start = std::chrono::steady_clock::now();
    DaemonProcess d(scratch, "shell", shell);
    ASSERT_TRUE(d.waitReady());
    std::this_thread::sleep_until(start + 500ms);
    ProtoClient c = ProtoClient::overUnix(d.socketPath());
    c.resize(80, 24);
    auto snapshot = c.next();
    ASSERT_TRUE(snapshot);
    EXPECT_NE(snapshot->payload.find("prompt(9)$"), std::string::npos) << snapshot->payload;
}

}  // namespace
