// One reply per query from several clients' terminals: scripts of queries,
// client input and departures, with what reaches the command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kiv/reply_filter.h"

using namespace kiv;
using screen::Query;
using screen::QueryKind;

namespace {

const std::string CSI = "\x1b[";
const std::string DA1 = CSI + "?62;22c";
const std::string OTHER_DA1 = CSI + "?64;1;4c";
constexpr WatcherId A = 5, B = 6, C = 7;

// An answer to each kind of query, in the order they are asked below, as
// two different terminals give them.
const std::string EVERY_ANSWER =
    CSI + ">0;10;1c" + CSI + "0n" + CSI + "?2;3;1R" + CSI + "4;2$y" + "\x1bP>|term 1.0\x1b\\" +
    CSI + "?1u" + "\x1b]11;rgb:0000/0000/0000\x07" + "\x1b]4;1;rgb:cdcd/0000/0000\x1b\\" +
    "\x1bP1+r524742=38\x1b\\" + "\x1bP1$r0;1m\x1b\\";
const std::string EVERY_OTHER_ANSWER =
    CSI + ">1;2c" + CSI + "0n" + CSI + "2;3R" + CSI + "4;0$y" + "\x1bP>|other\x1b\\" + CSI + "?0u" +
    "\x1b]11;rgb:ffff/ffff/ffff\x1b\\" + "\x1b]4;1;rgb:8080/0000/0000\x07" +
    "\x1bP0+r524742\x1b\\" + "\x1bP0$r\x1b\\";

struct Step {
    enum Op { Ask, Input, Leave, Wait, Release } op;
    WatcherId client = 0;  // Input, Leave
    std::string bytes;     // Input: what the client sends
    std::string expected;  // Input, Leave, Release: what reaches the command
    QueryKind kind = QueryKind::PrimaryAttributes;  // Ask
    int mode = 0;                                   // Ask
    std::vector<WatcherId> watchers = {};           // Ask
    int ms = 0;                                     // Wait
};

Step ask(QueryKind kind, std::vector<WatcherId> watchers, int mode = 0) {
    return {Step::Ask, 0, "", "", kind, mode, std::move(watchers)};
}
Step input(WatcherId client, std::string bytes, std::string expected) {
    return {Step::Input, client, std::move(bytes), std::move(expected)};
}
Step leave(WatcherId client, std::string expected) {
    return {Step::Leave, client, "", std::move(expected)};
}
Step wait(int ms) {
    return {Step::Wait, 0, "", "", QueryKind::PrimaryAttributes, 0, {}, ms};
}
Step release(std::string expected) {
    return {Step::Release, 0, "", std::move(expected)};
}

struct Script {
    const char* name;
    std::vector<Step> steps;
};

std::string printable(const std::string& s) {
    std::string out;
    for (char c : s)
        out += c == '\x1b' ? std::string("\\e") : std::string(1, c);
    return out;
}

void run(const std::vector<Script>& scripts) {
    for (const Script& script : scripts) {
        ReplyFilter f;
        auto now = ReplyClock::time_point() + std::chrono::hours(1);
        for (size_t i = 0; i < script.steps.size(); ++i) {
            const Step& s = script.steps[i];
            std::string got;
            switch (s.op) {
                case Step::Ask:
                    f.asked(Query{s.kind, s.mode, "model-answer"}, s.watchers, now);
                    continue;
                case Step::Input:
                    got = f.pass(s.client, s.bytes, now);
                    break;
                case Step::Leave:
                    got = f.leave(s.client, now);
                    break;
                case Step::Wait:
                    now += std::chrono::milliseconds(s.ms);
                    continue;
                case Step::Release:
                    got = f.release(now);
                    break;
            }
            EXPECT_EQ(printable(got), printable(s.expected)) << script.name << ", step " << i;
        }
    }
}

TEST(ReplyFilter, OneReplyPerQuery) {
    run({
        {"the first answer passes, the second is left out",
         {ask(QueryKind::PrimaryAttributes, {A, B}), input(A, DA1, DA1), input(B, OTHER_DA1, "")}},
        {"whoever answers first wins",
         {ask(QueryKind::PrimaryAttributes, {A, B}), input(B, OTHER_DA1, OTHER_DA1),
          input(A, DA1, "")}},
        {"typed keys around a left-out answer still pass",
         {ask(QueryKind::CursorPosition, {A, B}), input(A, CSI + "3;4R", CSI + "3;4R"),
          input(B, "ab" + CSI + "3;4Rcd", "abcd")}},
        {"two queries of a kind, answered in order by both",
         {ask(QueryKind::PrimaryAttributes, {A, B}), ask(QueryKind::PrimaryAttributes, {A, B}),
          input(A, DA1 + DA1, DA1 + DA1), input(B, DA1, ""), input(B, DA1, "")}},
        {"a second identical sequence from the same terminal is its own input",
         {ask(QueryKind::CursorPosition, {A, B}), input(A, CSI + "1;2R", CSI + "1;2R"),
          input(A, CSI + "1;2R", CSI + "1;2R"), input(B, CSI + "1;2R", "")}},
        {"a mode report answers only the mode asked about",
         {ask(QueryKind::DecMode, {A, B}, 2026), input(A, CSI + "?2026;2$y", CSI + "?2026;2$y"),
          input(B, CSI + "?25;1$y", CSI + "?25;1$y"), input(B, CSI + "?2026;2$y", "")}},
        {"every kind's answer form",
         {ask(QueryKind::SecondaryAttributes, {A, B}), ask(QueryKind::Status, {A, B}),
          ask(QueryKind::ExtendedCursorPosition, {A, B}), ask(QueryKind::AnsiMode, {A, B}, 4),
          ask(QueryKind::Version, {A, B}), ask(QueryKind::KeyboardFlags, {A, B}),
          ask(QueryKind::Color, {A, B}, 11), ask(QueryKind::Color, {A, B}, 4),
          ask(QueryKind::Capabilities, {A, B}), ask(QueryKind::Setting, {A, B}), input(A, "x", "x"),
          input(B, EVERY_ANSWER, EVERY_ANSWER), input(A, EVERY_OTHER_ANSWER + "y", "y")}},
        {"a colour report answers only the colour asked about",
         {ask(QueryKind::Color, {A, B}, 11),
          input(A, "\x1b]11;rgb:0/0/0\x07", "\x1b]11;rgb:0/0/0\x07"),
          input(B, "\x1b]10;rgb:1/1/1\x07", "\x1b]10;rgb:1/1/1\x07"),
          input(B, "\x1b]11;rgb:1/1/1\x07", "")}},
    });
}

TEST(ReplyFilter, TypedInputIsNeverTakenForAReply) {
    run({
        {"nothing asked: everything passes", {input(A, DA1 + CSI + "1;2R", DA1 + CSI + "1;2R")}},
        {"a client that was not shown the query",
         {ask(QueryKind::PrimaryAttributes, {A}), input(A, DA1, DA1), input(B, DA1, DA1)}},
        {"the text of a reply without its ESC",
         {ask(QueryKind::PrimaryAttributes, {A, B}), input(A, DA1, DA1),
          input(B, "[?62;22c", "[?62;22c")}},
        {"keys of other forms while a reply is awaited",
         {ask(QueryKind::CursorPosition, {A, B}), input(A, CSI + "5;5R", CSI + "5;5R"),
          input(B, CSI + "A" + CSI + "1;5D" + "\x1bOP" + CSI + "<0;3;4M" + "\x1b[?62;22",
                CSI + "A" + CSI + "1;5D" + "\x1bOP" + CSI + "<0;3;4M"),
          wait(50), release("\x1b[?62;22")}},
        {"a key shaped like a reply of another kind",
         {ask(QueryKind::PrimaryAttributes, {A, B}), input(A, DA1, DA1),
          input(B, CSI + "1;2R", CSI + "1;2R"), input(B, DA1, "")}},
        {"answers after their time pass as input",
         {ask(QueryKind::PrimaryAttributes, {A, B}), input(A, DA1, DA1), wait(3500),
          input(B, DA1, DA1)}},
    });
}

TEST(ReplyFilter, RepliesCutByAReadAreJoined) {
    run({
        {"cut after the ESC",
         {ask(QueryKind::PrimaryAttributes, {A, B}), input(A, DA1, DA1), input(B, "k\x1b", "k"),
          input(B, "[?62;22cm", "m")}},
        {"cut inside the version string",
         {ask(QueryKind::Version, {A, B}), input(A, "\x1bP>|a\x1b\\", "\x1bP>|a\x1b\\"),
          input(B, "\x1bP>", ""), input(B, "|b 2\x1b", ""), input(B, "\\z", "z")}},
        {"the first answer cut in two still passes whole",
         {ask(QueryKind::CursorPosition, {A, B}), input(A, CSI + "12", ""),
          input(A, ";3R", CSI + "12;3R"), input(B, CSI + "12;3R", "")}},
        {"an Escape key waits only a moment",
         {ask(QueryKind::PrimaryAttributes, {A, B}), input(A, "\x1b", ""), wait(10), release(""),
          wait(40), release("\x1b"), input(A, DA1, DA1)}},
    });
}

TEST(ReplyFilter, SilentTerminalsHoldNobodyUp) {
    run({
        {"a terminal that answers a later query declined the earlier one",
         {ask(QueryKind::Version, {A, B}), ask(QueryKind::PrimaryAttributes, {A, B}),
          input(A, DA1, DA1), input(B, "\x1bP>|b\x1b\\" + DA1, "\x1bP>|b\x1b\\")}},
        {"nobody owes an answer a terminal declined",
         {ask(QueryKind::Version, {A, B}), ask(QueryKind::PrimaryAttributes, {A, B}),
          input(A, DA1, DA1), leave(B, "")}},
        {"the last terminal that could answer leaves: the model answers",
         {ask(QueryKind::CursorPosition, {A, B}), leave(A, ""), leave(B, "model-answer")}},
        {"not when the query was answered already",
         {ask(QueryKind::CursorPosition, {A, B}), input(A, CSI + "1;1R", CSI + "1;1R"),
          leave(B, "")}},
        {"kept-back input goes with a client that leaves",
         {ask(QueryKind::PrimaryAttributes, {A, B}), input(A, DA1, DA1), input(B, "\x1b", ""),
          leave(B, "\x1b")}},
        {"a third client answers while one stays silent",
         {ask(QueryKind::Status, {A, B, C}), input(C, CSI + "0n", CSI + "0n"),
          input(A, CSI + "0n", ""), leave(B, "")}},
    });
}

}  // namespace
