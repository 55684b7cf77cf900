// The user's terminal (a tmux pane) takes the session's state when a client
// attaches in the middle of a program, and gets its own back when the
// client leaves: real programs, the real binary, keys and clicks as tmux
// delivers them.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/machine.h"
#include "tests/support/process.h"
#include "tests/support/scratch.h"
#include "tests/support/tmux.h"
#include "tests/support/wait.h"

using namespace testsupport;

namespace {

bool installed(const std::string& program) {
    return runProcess({"/bin/sh", "-c", "command -v " + program}).status == 0;
}

// The pane's modes as tmux reports them, "name=value" separated by blanks.
std::string paneModes(const TmuxTerminal& term) {
    std::string out = term.tmux(
        {"display-message", "-p", "-t", "t",
         "alternate=#{alternate_on} cursor=#{cursor_flag} cursorkeys=#{keypad_cursor_flag} "
         "keypad=#{keypad_flag} mouse=#{mouse_any_flag}#{mouse_button_flag}#{mouse_all_flag}"
         "#{mouse_standard_flag} sgr=#{mouse_sgr_flag} origin=#{origin_flag} wrap=#{wrap_flag} "
         "insert=#{insert_flag}"});
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

const std::string kDefaultModes =
    "alternate=0 cursor=1 cursorkeys=0 keypad=0 mouse=0000 sgr=0 origin=0 wrap=1 insert=0";

bool waitModes(const TmuxTerminal& term, const std::string& part) {
    return waitUntil([&] { return paneModes(term).find(part) != std::string::npos; });
}

// The pane's cursor: column and row.
std::pair<int, int> paneCursor(const TmuxTerminal& term) {
    std::istringstream in(
        term.tmux({"display-message", "-p", "-t", "t", "#{cursor_x} #{cursor_y}"}));
    int x = -1, y = -1;
    in >> x >> y;
    return {x, y};
}

std::vector<std::string> paneRows(const TmuxTerminal& term) {
    std::vector<std::string> rows;
    std::istringstream in(term.screen());
    for (std::string row; std::getline(in, row);) {
        while (!row.empty() && row.back() == ' ')
            row.pop_back();
        rows.push_back(row);
    }
    return rows;
}

// Starts a session with a shell in the pane and shows a line in it.
bool startSession(TmuxTerminal& term) {
    term.line("kiv");
    if (!term.waitRawMode(true)) return false;
    term.line("echo shell-$((20+22))");
    return term.waitFor("shell-42");
}

// Detaches and attaches again. In between the pane is back in its default
// modes, so whatever it does and shows afterwards comes from the repaint.
bool reattach(TmuxTerminal& term) {
    if (!detach(term) || !waitModes(term, kDefaultModes)) return false;
    // (tmux does not report bracketed paste: turned off by hand.)
    term.line("printf '\\033[?2004l'; clear");
    if (!term.waitGone("shell-42")) return false;
    term.line("kiv attach");
    return term.waitRawMode(true);
}

#define REQUIRE(program)                                           \
    if (!tmuxAvailable()) GTEST_SKIP() << "tmux is not installed"; \
    if (!installed(program)) GTEST_SKIP() << program << " is not installed"

TEST(TerminalState, VimAttachedMidEditKeepsItsKeysAndGivesBackTheShell) {
    REQUIRE("vim");
    Machine m;
    TmuxTerminal pane(m.scratch, m.app, m.env);
    TmuxTerminal* term = &pane;
    ASSERT_TRUE(startSession(*term)) << term->screen();
    term->line("vim -u NONE -N -i NONE notes.txt");
    ASSERT_TRUE(term->waitFor("notes.txt"));
    term->type("iabcdef");
    term->key("Escape");
    ASSERT_TRUE(term->waitFor("abcdef"));

    ASSERT_TRUE(reattach(pane)) << pane.screen() << paneModes(pane);
    ASSERT_TRUE(term->waitFor("abcdef"));

    // The pane is in vim's modes: arrow keys come as vim asked for them.
    EXPECT_TRUE(waitModes(*term, "alternate=1 cursor=1 cursorkeys=1 keypad=1")) << paneModes(*term);
    term->type("0");
    term->key("Right");
    term->key("Right");
    term->type("x");
    EXPECT_TRUE(term->waitFor("abdef")) << term->screen();

    // Quitting leaves the alternate screen: the shell's screen is back.
    term->type(":q!");
    term->key("Enter");
    EXPECT_TRUE(term->waitFor("shell-42")) << term->screen();
    EXPECT_TRUE(term->waitGone("abdef")) << term->screen();
    EXPECT_TRUE(waitModes(*term, "alternate=0")) << paneModes(*term);
}

TEST(TerminalState, HtopTakesAClickAfterAReattach) {
    REQUIRE("htop");
    Machine m;
    TmuxTerminal pane(m.scratch, m.app, m.env);
    TmuxTerminal* term = &pane;
    ASSERT_TRUE(startSession(*term)) << term->screen();
    term->line("htop");
    ASSERT_TRUE(term->waitFor("Quit"));

    ASSERT_TRUE(reattach(pane)) << pane.screen() << paneModes(pane);
    ASSERT_TRUE(term->waitFor("Quit"));
    EXPECT_TRUE(waitModes(*term, "sgr=1")) << paneModes(*term);
    // A click on "Quit" in the bottom bar, as the pane reports it in the
    // encoding htop asked for, ends htop.
    std::vector<std::string> rows = paneRows(*term);
    int y = int(rows.size());
    size_t x = rows.empty() ? std::string::npos : rows.back().find("Quit");
    ASSERT_NE(x, std::string::npos) << term->screen();
    std::string at = std::to_string(x + 1) + ";" + std::to_string(y);
    std::string click = "\x1b[<0;" + at + "M\x1b[<0;" + at + "m";
    std::vector<std::string> keys = {"send-keys", "-t", "t", "-H"};
    for (unsigned char c : click) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", c);
        keys.push_back(hex);
    }
    term->tmux(keys);
    EXPECT_TRUE(term->waitFor("shell-42")) << term->screen();
    EXPECT_TRUE(term->waitGone("Quit")) << term->screen();
}

TEST(TerminalState, PasteAfterAReattachArrivesBracketed) {
    REQUIRE("od");
    Machine m;
    TmuxTerminal pane(m.scratch, m.app, m.env);
    TmuxTerminal* term = &pane;
    ASSERT_TRUE(startSession(*term)) << term->screen();
    // A program that asks for bracketed paste and shows the bytes it gets.
    term->line(
        "printf '\\033[?2004h'; stty raw -echo; head -c 23 | od -An -c; stty sane; "
        "printf '\\033[?2004l'");
    ASSERT_TRUE(term->waitRawMode(true));

    ASSERT_TRUE(reattach(pane)) << pane.screen() << paneModes(pane);
    term->tmux({"set-buffer", "-b", "p", "line1\nline2"});
    term->tmux({"paste-buffer", "-p", "-b", "p", "-t", "t"});
    EXPECT_TRUE(term->waitFor("033   [   2   0   0   ~   l   i   n   e   1")) << term->screen();
    EXPECT_TRUE(term->waitFor("0   1   ~")) << term->screen();
}

TEST(TerminalState, DetachingLeavesThePaneInItsDefaultModes) {
    if (!tmuxAvailable()) GTEST_SKIP() << "tmux is not installed";
    struct Case {
        const char* program;
        std::string command;
        std::string ready;  // on its screen once it runs, and not in the typed command
    } cases[] = {
        {"vim", "vim -u NONE -N -i NONE -c 'set mouse=a' file.txt", "\"file.txt\""},
        {"htop", "htop", "Quit"},
        {"mc", "mc -u", "Quit"},
        // Everything the others set, and the rest a program may leave on.
        {"printf",
         "printf '\\033[?1049h\\033[?1h\\033=\\033[?1003h\\033[?1006h\\033[?1004h\\033[?2004h"
         "\\033[?25l\\033[4h\\033[3;10r\\033[?6h\\033[?7l\\033(0\\033[>1u\\033[>4;2m\\033[5 q"
         "\\033]2;inner-title\\007\\033[31mmodes''-set'; sleep 1000",
         "modes-set"},
    };
    for (const Case& c : cases) {
        if (!installed(c.program)) {
            std::cerr << c.program << " is not installed: skipped\n";
            continue;
        }
        Machine m;
        TmuxTerminal term(m.scratch, m.app, m.env);
        auto title = [&] { return term.tmux({"display-message", "-p", "-t", "t", "#{pane_title}"}); };
        std::string outerTitle = title();
        ASSERT_TRUE(startSession(term)) << term.screen();
        term.line(c.command);
        ASSERT_TRUE(term.waitFor(c.ready)) << c.program << "\n" << term.screen();
        // Each of them takes the alternate screen: the pane is in its modes.
        ASSERT_TRUE(waitModes(term, "alternate=1")) << c.program << ": " << paneModes(term);
        ASSERT_TRUE(detach(term)) << c.program;
        EXPECT_TRUE(waitModes(term, kDefaultModes)) << c.program << ": " << paneModes(term);
        EXPECT_TRUE(waitUntil([&] { return title() == outerTitle; }))
            << c.program << ": " << title();
        // The outer shell's prompt alone on its line, where the cursor is.
        EXPECT_TRUE(waitUntil([&] {
            auto [x, y] = paneCursor(term);
            std::vector<std::string> rows = paneRows(term);
            return x == 2 && y >= 0 && size_t(y) < rows.size() && rows[size_t(y)] == "$";
        })) << c.program << "\n" << term.screen();
        // The outer shell's prompt on a line of its own, below the text.
        term.line("echo outer-$((1+1))");
        ASSERT_TRUE(term.waitFor("outer-2")) << c.program;
        std::vector<std::string> rows = paneRows(term);
        auto line = std::find_if(rows.begin(), rows.end(),
                                 [](const std::string& r) { return r.find("outer-2") != r.npos; });
        ASSERT_NE(line, rows.end());
        EXPECT_EQ(*line, "outer-2") << c.program << "\n" << term.screen();
        EXPECT_EQ(*(line - 1), "$ echo outer-$((1+1))") << c.program << "\n" << term.screen();
        EXPECT_NE(term.screen().find("shell-42"), std::string::npos) << c.program;
    }
}

}  // namespace
