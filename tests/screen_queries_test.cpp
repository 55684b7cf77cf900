// Queries in a program's output and the answers the model gives them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screen/terminal.h"

using namespace screen;

namespace {

const std::string ESC = "\x1b";
const std::string CSI = "\x1b[";

struct Case {
    const char* name;
    std::vector<std::string> chunks;  // fed one by one to a 20x5 terminal
    // The answers, in order; a "*" stands for any text (the version).
    std::vector<std::string> answers;
};

bool matches(const std::string& pattern, const std::string& text) {
    size_t star = pattern.find('*');
    if (star == std::string::npos) return pattern == text;
    std::string head = pattern.substr(0, star), tail = pattern.substr(star + 1);
    return text.size() >= head.size() + tail.size() && text.starts_with(head) &&
           text.ends_with(tail);
}

std::string printable(const std::string& s) {
    std::string out;
    for (char c : s)
        out += c == '\x1b' ? std::string("\\e") : std::string(1, c);
    return out;
}

void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        Terminal t(20, 5, 10);
        t.resize(20, 5);
        std::vector<std::string> got;
        for (const std::string& chunk : c.chunks) {
            t.write(chunk);
            for (const Query& q : t.takeQueries())
                got.push_back(q.answer);
        }
        ASSERT_EQ(got.size(), c.answers.size()) << c.name;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_TRUE(matches(c.answers[i], got[i]))
                << c.name << ": answer " << i << " is " << printable(got[i]);
    }
}

TEST(ModelAnswers, AttributesStatusAndVersion) {
    run({
        {"DA1", {CSI + "c", CSI + "0c"}, {CSI + "?62;22c", CSI + "?62;22c"}},
        {"DA1 with another parameter is no query", {CSI + "1c"}, {}},
        {"DA2", {CSI + ">c", CSI + ">0c"}, {CSI + ">1;*;0c", CSI + ">1;*;0c"}},
        {"DSR", {CSI + "5n"}, {CSI + "0n"}},
        {"XTVERSION", {CSI + ">q", CSI + ">0q"}, {ESC + "P>|kiv *" + ESC + "\\", ESC + "P>|kiv *"}},
        {"XTVERSION asks with 0 only", {CSI + ">1q"}, {}},
        {"kitty keyboard flags",
         {CSI + "?u", CSI + ">5u" + CSI + "?u", CSI + "=2;2u" + CSI + "?u",
          CSI + "<u" + CSI + "?u"},
         {CSI + "?0u", CSI + "?5u", CSI + "?7u", CSI + "?0u"}},
        // Colours and capabilities are the user's terminal's: recorded,
        // unanswered.
        {"colours and capabilities",
         {ESC + "]11;?" + ESC + "\\", ESC + "]10;?\a", ESC + "]4;1;?\a",
          ESC + "P+q524742" + ESC + "\\", ESC + "P$qm" + ESC + "\\"},
         {"", "", "", "", ""}},
        {"setting a colour is no query",
         {ESC + "]11;rgb:0/0/0\a", ESC + "]4;1;red\a", ESC + "]2;?\a", ESC + "Pq#0" + ESC + "\\"},
         {}},
        {"cursor restore is no query", {CSI + "u", CSI + "5;1n", CSI + "6 n"}, {}},
        {"split across reads", {"ab" + ESC, "[", "0", "c", "cd"}, {CSI + "?62;22c"}},
        {"several in one read, in order",
         {CSI + "5n" + CSI + "c" + CSI + "6n"},
         {CSI + "0n", CSI + "?62;22c", CSI + "1;1R"}},
    });
}

TEST(ModelAnswers, CursorReportFollowsTheModel) {
    run({
        {"home", {CSI + "6n"}, {CSI + "1;1R"}},
        {"after text and a new line", {"ab\r\ncde", CSI + "6n"}, {CSI + "2;4R"}},
        {"after cursor addressing", {CSI + "3;7H" + CSI + "6n"}, {CSI + "3;7R"}},
        {"clamped to the screen", {CSI + "99;99H" + CSI + "6n"}, {CSI + "5;20R"}},
        // A full row leaves the cursor on its last column.
        {"pending wrap", {std::string(20, 'x') + CSI + "6n"}, {CSI + "1;20R"}},
        {"after scrolling", {"1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7" + CSI + "6n"}, {CSI + "5;2R"}},
        {"extended report", {"abc" + CSI + "?6n"}, {CSI + "?1;4;1R"}},
        {"origin mode counts from the top margin",
         {CSI + "2;4r" + CSI + "?6h" + CSI + "2;3H" + CSI + "6n"},
         {CSI + "2;3R"}},
    });
}

TEST(ModelAnswers, ModeReports) {
    run({
        {"cursor shown, then hidden",
         {CSI + "?25$p", CSI + "?25l" + CSI + "?25$p"},
         {CSI + "?25;1$y", CSI + "?25;2$y"}},
        {"bracketed paste",
         {CSI + "?2004$p" + CSI + "?2004h" + CSI + "?2004$p"},
         {CSI + "?2004;2$y", CSI + "?2004;1$y"}},
        {"alternate screen", {CSI + "?1049h" + CSI + "?1049$p"}, {CSI + "?1049;1$y"}},
        {"a mode the model does not keep", {CSI + "?12345$p"}, {CSI + "?12345;0$y"}},
        // As every sequence with a parameter past what terminals read.
        {"a mode number too large is ignored", {CSI + "?9999999999$p"}, {}},
        {"an ANSI mode the model does not keep", {CSI + "20$p"}, {CSI + "20;0$y"}},
        {"insert mode", {CSI + "4$p" + CSI + "4h" + CSI + "4$p"}, {CSI + "4;2$y", CSI + "4;1$y"}},
        {"autowrap is on until reset",
         {CSI + "?7$p" + CSI + "?7l" + CSI + "?7$p"},
         {CSI + "?7;1$y", CSI + "?7;2$y"}},
        {"one mouse tracking at a time",
         {CSI + "?1000h" + CSI + "?1002h" + CSI + "?1000$p" + CSI + "?1002$p" + CSI + "?1006$p"},
         {CSI + "?1000;2$y", CSI + "?1002;1$y", CSI + "?1006;2$y"}},
        {"keypad and cursor keys",
         {ESC + "=" + CSI + "?1h" + CSI + "?66$p" + CSI + "?1$p"},
         {CSI + "?66;1$y", CSI + "?1;1$y"}},
        {"several modes at once are no query", {CSI + "?25;1$p"}, {}},
    });
}

TEST(ModelAnswers, InsideASynchronizedUpdate) {
    run({
        // The program moved the cursor inside the update: the answer says
        // where, although the grid shows the frame from before.
        {"cursor", {CSI + "?2026h" + "abc" + CSI + "6n"}, {CSI + "1;4R"}},
        {"the update's own mode",
         {CSI + "?2026$p" + CSI + "?2026h" + CSI + "?2026$p" + CSI + "?2026l" + CSI + "?2026$p"},
         {CSI + "?2026;2$y", CSI + "?2026;1$y", CSI + "?2026;2$y"}},
        {"in order around the update",
         {CSI + "5n" + CSI + "?2026h" + CSI + "c" + CSI + "?2026l" + CSI + "6n"},
         {CSI + "0n", CSI + "?62;22c", CSI + "1;1R"}},
    });
}

TEST(ModelAnswers, LeaveTheScreenAlone) {
    Terminal t(20, 5, 10);
    t.resize(20, 5);
    t.write("a" + CSI + "c" + CSI + ">c" + CSI + "?25$p" + CSI + ">q" + CSI + "?u" + "b");
    EXPECT_EQ(t.takeQueries().size(), 5u);
    EXPECT_TRUE(t.takeQueries().empty());
    EXPECT_TRUE(t.snapshot().find("ab") != std::string::npos);
}

TEST(ModelAnswers, AFloodKeepsABoundedBacklog) {
    Terminal t(20, 5, 10);
    std::string flood;
    for (size_t i = 0; i < 3 * kMaxPendingQueries; ++i)
        flood += CSI + "c";
    t.write(flood);
    EXPECT_EQ(t.takeQueries().size(), kMaxPendingQueries);
}

}  // namespace
