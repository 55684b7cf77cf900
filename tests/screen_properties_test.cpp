// What must hold of the screen model whatever the input: bounds that no
// input can push it past, and agreements between its paths (the history
// packer, the plain-text fast path; chunks cut anywhere are
// screen_fuzz_test's). Facts about what a given input does are scripts
// (tests/data/scripts).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "screen/grid.h"
#include "screen/interpreter.h"
#include "screen/placement.h"
#include "screen/render.h"
#include "screen/terminal.h"
#include "screen/writer.h"

using namespace screen;

namespace {

const std::string ESC = "\x1b", CSI = "\x1b[";
constexpr int64_t kCols = 20, kRows = 5;

TEST(Interpreter, WhatIsKeptIsBounded) {
    Terminal t(kCols, kRows, 0);
    t.write(ESC + "]52;c;");
    std::string junk(4096, 'A');
    for (int i = 0; i < 100; ++i) {
        t.write(junk);
        ASSERT_LE(t.grid().input.body.size(), kMaxHeld);
    }
    t.write(ESC);  // the terminator cut in two
    t.write("\\after");
    EXPECT_EQ(rowText(t.grid(), LineIndex{0}), "after");
    // A control sequence longer than the hold is consumed to its final
    // byte and ignored: none of its digits reach the screen, nor its effect.
    Terminal c(kCols, kRows, 0);
    c.write("a" + ESC + "[");
    for (int i = 0; i < 20; ++i) {
        c.write(std::string(4096, '1'));
        ASSERT_LT(unfinishedInput(c.grid()).size(), 64u);
    }
    c.write(";41mb");
    EXPECT_EQ(rowText(c.grid(), LineIndex{0}), "ab");
    EXPECT_EQ(c.snapshot().find("41"), std::string::npos);
}

// An update never closed ends by itself one second after it began; a new
// begin inside it neither restarts it nor extends it.
TEST(Interpreter, OpenUpdateEndsAfterItsTimeout) {
    using namespace std::chrono_literals;
    const SyncClock::time_point t0 = SyncClock::time_point() + 100s;
    Grid g = newGrid(20, 5, 0);
    feed(g, "x\x1b[?2026hA", t0);
    ASSERT_TRUE(syncDeadline(g).has_value());
    EXPECT_EQ(*syncDeadline(g), t0 + kSyncTimeout);
    feed(g, "\x1b[?2026hB", t0 + 500ms);
    EXPECT_EQ(*syncDeadline(g), t0 + kSyncTimeout);
    endOverdueSync(g, t0 + 999ms);
    EXPECT_TRUE(g.syncActive);
    endOverdueSync(g, t0 + 1000ms);
    EXPECT_FALSE(g.syncActive);
    EXPECT_FALSE(syncDeadline(g).has_value());
    // The late end is harmless; a closed update leaves nothing to wait for.
    feed(g, "C\x1b[?2026l", t0 + 1100ms);
    feed(g, "\x1b[?2026hD\x1b[?2026l", t0 + 2s);
    EXPECT_EQ(rowText(g, LineIndex{0}), "xABCD");
    EXPECT_FALSE(syncDeadline(g).has_value());
}

TEST(State, CursorStaysWithinTheGrid) {
    // At every size, after any of these, the cursor is on a row of the
    // screen and at most one past the last column (a pending wrap).
    const std::string inputs[] = {
        "\xe4\xb8\xad\xe4\xb8\xad",
        ESC + "[?1049h" + ESC + "[1;80H" + ESC + "[?1049l",
        ESC + "[99;99H" + ESC + "7" + ESC + "[?1049h" + ESC + "8x",
        ESC + "[?6h" + ESC + "[5;9r" + ESC + "[99;99Hab",
        ESC + "[?7l" + "\xe4\xb8\xad" + std::string(50, 'w'),
        ESC + "[4h" + "\xe4\xb8\xad\xe4\xb8\xad" + "abc",
        ESC + "[20I" + ESC + "[20Z" + "\t\t\t",
    };
    for (int64_t cols : {1, 2, 3, 80}) {
        for (int64_t rows : {1, 2, 24}) {
            for (const std::string& in : inputs) {
                Terminal t(80, 24, 10);
                t.write(ESC + "[?1049h" + ESC + "[1;80H");
                t.resize(cols, rows);  // the 1049 cursor now beyond the width
                t.write(in);
                t.write(ESC + "[?1049l");
                const Grid& g = t.grid();
                std::string where = std::to_string(cols) + "x" + std::to_string(rows);
                EXPECT_LE(g.cursor.col, cols) << where;
                if (!g.cursor.pendingWrap) {
                    EXPECT_LT(g.cursor.col, cols) << where;
                }
                EXPECT_GE(g.cursor.row, screenTop(g)) << where;
                EXPECT_LE(g.cursor.row, lastScreenRow(g)) << where;
            }
        }
    }
}

TEST(ModelAnswers, AFloodKeepsABoundedBacklog) {
    Terminal t(20, 5, 10);
    std::string flood;
    for (size_t i = 0; i < 3 * kMaxPendingQueries; ++i)
        flood += CSI + "c";
    t.write(flood);
    EXPECT_EQ(t.takeQueries().size(), kMaxPendingQueries);
}

// Rows of every kind of cell survive the trip into the history.
TEST(Grid, HistoryRoundTripOfRandomRows) {
    std::mt19937 rng(11);
    const char* const kRunes[] = {"a",        "Z",
                                  " ",        "\xc3\xa9",
                                  "\xe4\xb8\xad", "\xf0\x9f\x98\x80",
                                  "\xcc\x81", "\xfd\xbf\xbf\xbf\xbf\xbf",
                                  "\xf4\x8f\xbf\xbf", "\xed\xa0\x80"};
    const char* const kLooks[] = {"0",     "1",      "2;3",       "4:3",       "5;7;9",
                                  "31",    "97",     "38;5;200",  "44",        "104",
                                  "48;5;7", "38;2;1;2;3", "48;2;9;8;7", "58;5;9", "22;24"};
    auto pick = [&](const auto& list) {
        return list[std::uniform_int_distribution<size_t>(0, std::size(list) - 1)(rng)];
    };
    for (int round = 0; round < 300; ++round) {
        Terminal t(0, 2, 100);  // no width: nothing wraps
        t.resize(0, 2);
        // Past 64 cells too, which the packer looks at 64 at a time.
        int cells = std::uniform_int_distribution<int>(1, 150)(rng);
        std::string bytes;
        for (int i = 0; i < cells; ++i) {
            int kind = std::uniform_int_distribution<int>(0, 9)(rng);
            if (kind == 0) {
                bytes += std::string("\x1b[") + pick(kLooks) + "m";
            } else if (kind == 1) {
                bytes += "\x1b[" + std::to_string(std::uniform_int_distribution<int>(1, 151)(rng)) +
                         "G";
            } else {
                bytes += pick(kRunes);
            }
        }
        t.write(bytes);
        const Grid& g = t.grid();
        Row original = g.screen.lines.row(LineIndex{0});
        std::string text;
        g.screen.lines.appendText(LineIndex{0}, text);
        // Far enough for the row to be packed into the history.
        t.write("\x1b[2;1H" + std::string(64, '\n'));
        ASSERT_EQ(g.screen.lines.expanded(LineIndex{0}), nullptr);
        ASSERT_TRUE(g.screen.lines.row(LineIndex{0}) == original) << round;
        std::string back;
        g.screen.lines.appendText(LineIndex{0}, back);
        ASSERT_EQ(back, text) << round;
    }
}

TEST(Grid, BoundsAgainstHostileValues) {
    Grid g = newGrid(80, 24, 100);
    Writer w(g);
    w.ensureRow(LineIndex{INT64_MAX});
    EXPECT_EQ(g.screen.lines.size(), 24);
    w.scrollUp(LineIndex{0}, LineIndex{INT64_MAX}, INT64_MAX);
    EXPECT_EQ(g.screen.lines.size(), 24);
    for (int i = 0; i < 150; ++i)
        w.warn(std::to_string(i));
    EXPECT_EQ(g.warnings.size(), kMaxWarnings);
    EXPECT_EQ(g.warnings.front(), "50");
    // Without a height the lines still have a bound.
    Grid unsized = newGrid();
    for (int64_t i = 0; i < kMaxRows + 10; ++i)
        Writer(unsized).lineFeed();
    EXPECT_EQ(unsized.screen.lines.size(), kMaxRows);
    EXPECT_EQ(unsized.cursor.row, LineIndex{kMaxRows - 1});
    // Huge sizes are bounded.
    Terminal huge(10, 4, 100);
    huge.resize(INT64_MAX, INT64_MAX);
    EXPECT_EQ(huge.cols(), kMaxColumns);
    EXPECT_EQ(huge.rows(), kMaxRows);
    // A huge scrollback limit does not overflow.
    Grid big = newGrid(10, 2, INT64_MAX);
    Writer(big).lineFeed();
    Writer(big).lineFeed();
    EXPECT_EQ(big.screen.lines.size(), 3);
}

TEST(Placement, FloodOfMarksIsBounded) {
    Terminal t(80, 24, 0);
    std::string marks;
    for (int i = 0; i < 100000; ++i)
        marks += "\xcc\x81";
    t.write("a" + marks);
    EXPECT_EQ(t.grid().screen.lines.row(LineIndex{0}).text(0).size(), 1u + 2u * kMaxMarks);
    // Overwriting the cell again and again does not pile up rare data.
    for (int i = 0; i < 10000; ++i)
        t.write("\rb\xcc\x81");
    EXPECT_EQ(t.grid().screen.lines.row(LineIndex{0}).text(0), "b\xcc\x81");
}

TEST(Placement, RowsWithoutAWidthAreBounded) {
    Grid g = newGrid();
    feed(g, std::string(kMaxColumns + 100, 'q') + "Z");
    EXPECT_EQ(g.screen.lines.rowSize(LineIndex{0}), kMaxColumns);
    EXPECT_EQ(g.screen.lines.row(LineIndex{0}).rune(kMaxColumns - 1), 'Z');
    EXPECT_FALSE(g.cursor.pendingWrap);
}

// The plain-text fast path places exactly what putRune would.
TEST(Placement, AsciiRunMatchesPutRune) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        int64_t cols = std::uniform_int_distribution<int64_t>(0, 12)(rng);
        Grid a = newGrid(cols, 4, 2);
        Grid b = newGrid(cols, 4, 2);
        for (int step = 0; step < 6; ++step) {
            std::string s(std::uniform_int_distribution<size_t>(1, 30)(rng), ' ');
            for (char& c : s)
                c = char(std::uniform_int_distribution<int>(0x20, 0x7e)(rng));
            int64_t col = std::uniform_int_distribution<int64_t>(0, cols + 2)(rng);
            bool wide = step % 2 == 0;
            // A column (at most the last), a colour, maybe a wide character.
            for (Grid* g : {&a, &b})
                feed(*g, "\x1b[" + std::to_string(col + 1) + "G\x1b[3" + std::to_string(step) + "m" +
                             (wide ? "\xe4\xb8\xad" : ""));
            Writer(a).putAscii(s.data(), s.size());
            for (char c : s)
                Writer(b).putRune(c);
            ASSERT_EQ(a.cursor.row, b.cursor.row);
            ASSERT_EQ(a.cursor.col, b.cursor.col);
            ASSERT_EQ(a.cursor.pendingWrap, b.cursor.pendingWrap);
            ASSERT_EQ(a.screen.lines.size(), b.screen.lines.size());
            for (LineIndex i{0}; i < a.screen.lines.end(); ++i)
                ASSERT_TRUE(a.screen.lines.row(i) == b.screen.lines.row(i))
                    << round << " " << i.value;
        }
    }
}

// The whole history of the default size goes out with a repaint, in order.
TEST(Render, FullHistoryInOrder) {
    Terminal t(80, 24, 10000);
    std::string line(78, '-');
    for (int i = 0; i < 10100; ++i)
        t.write(std::to_string(i % 10) + line + "\r\n");
    std::string snap = t.snapshot();
    // 10101 lines were written, the last 10024 are kept.
    EXPECT_EQ(snap.substr(4, 81), "7" + line + "\r\n");
    EXPECT_EQ(snap.substr(4 + 81 * 9999, 81), "6" + line + "\r\n");
    EXPECT_GT(snap.size(), 10000u * 81);
}

}  // namespace
