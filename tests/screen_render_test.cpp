#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screen/interpreter.h"
#include "screen/render.h"
#include "screen/terminal.h"
#include "screen_support.h"

using namespace screen;
using namespace screen::testing;

namespace {

const std::string ESC = "\x1b";
const std::string kHead = ESC + "[2J" + ESC + "[H";
const std::string kReset = ESC + "[0m";

std::string crlf(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += "\r\n";
    return s;
}

TEST(Render, EmptyGrids) {
    Terminal t(80, 24, 100);
    EXPECT_EQ(renderAnsiFull(t.grid()), kHead + kReset);
    t.resize(80, 24);
    EXPECT_EQ(renderAnsiFull(t.grid()), kHead + crlf(23) + kReset);
    EXPECT_EQ(t.snapshot(), kHead + crlf(23) + kReset + ESC + "[1;1H");
    // Without a height every row is plain text, then an empty screen.
    Grid g = newGrid();
    feed(g, "ab\r\ncd");
    EXPECT_EQ(renderAnsiFull(g), "ab\r\ncd\r\n" + kHead + kReset);
}

TEST(Render, RowsWithAttributes) {
    struct Case {
        const char* name;
        std::string input;
        std::string rows;  // renderRows of the first two lines, 80 columns
    } cases[] = {
        {"default text has no rendition", "plain", "plain\r\n"},
        {"bold red", ESC + "[1;31mab", ESC + "[0;31;1mab\r\n"},
        {"reverse then default", ESC + "[7mab\r\n" + ESC + "[0mcd",
         ESC + "[0;7mab\r\n" + ESC + "[0mcd"},
        {"indexed neighbours", ESC + "[38;5;196ma" + ESC + "[38;5;46mb",
         ESC + "[0;38;5;196ma" + ESC + "[0;38;5;46mb\r\n"},
        {"indexed on palette", ESC + "[38;5;196;44ma", ESC + "[0;38;5;196;44ma\r\n"},
        {"bright colours and every style", ESC + "[97;100;1;2;3;4;5;7;9ma",
         ESC + "[0;97;100;1;2;3;4;5;7;9ma\r\n"},
        {"direct colour", ESC + "[1;38;2;255;0;0ma", ESC + "[0;38;2;255;0;0;1ma\r\n"},
        {"direct background, colon forms and underline colour",
         ESC + "[48:2::1:2:3;4:3;58:2::9:8:7ma" + ESC + "[38:2:4:5:6;21;58;5;20mb",
         ESC + "[0;48;2;1;2;3;4:3;58:2::9:8:7ma" + ESC +
             "[0;38;2;4;5;6;48;2;1;2;3;4:2;58:5:20mb\r\n"},
        {"concealed and overlined", ESC + "[8;53ma" + ESC + "[28;55mb",
         ESC + "[0;8;53ma" + ESC + "[0mb\r\n"},
        {"unknown codes leave the rest", ESC + "[1;1000;73:5;31ma", ESC + "[0;31;1ma\r\n"},
        {"a stale index changes nothing", ESC + "[38;5;200ma" + ESC + "[39mb" + ESC + "[38;5;3m",
         ESC + "[0;38;5;200ma" + ESC + "[0mb\r\n"},
        {"wide character once",
         "\xe4\xb8\xad"
         "x",
         "\xe4\xb8\xad"
         "x\r\n"},
        {"combining mark", "e\xcc\x81", "e\xcc\x81\r\n"},
    };
    for (const Case& c : cases) {
        Grid g = newGrid(80, 24, 0);
        feed(g, c.input);
        std::vector<Row> rows{g.lines.row(0), g.lines.row(1)};
        EXPECT_EQ(renderRows(rows, 80), c.rows) << c.name;
    }
}

TEST(Render, ColumnLimit) {
    Grid g = newGrid(10, 3, 10);
    feed(g, "0123456789");
    resize(g, 4, 3);
    std::vector<Row> rows{g.lines.row(0)};
    EXPECT_EQ(renderRows(rows, 4), "0123");
    EXPECT_EQ(renderRows(rows, 0), "0123456789");
    // A wide character cut in two by the limit leaves a blank.
    Grid w = newGrid(10, 3, 10);
    feed(w,
         "ab\xe4\xb8\xad"
         "c");
    std::vector<Row> wide{w.lines.row(0)};
    EXPECT_EQ(renderRows(wide, 3), "ab ");
    EXPECT_EQ(renderRows(wide, 4), "ab\xe4\xb8\xad");
    // In the scrollback the row is written whole, without attributes.
    feed(g, ESC + "[31m\r\n\r\n\r\n\r\nx");
    std::string full = renderAnsiFull(g);
    EXPECT_EQ(full.substr(0, 12), "0123456789\r\n");
}

TEST(Render, ScreenAfterHistory) {
    Terminal t(10, 3, 100);
    t.resize(10, 3);
    t.write(ESC + "[1m");
    for (int i = 0; i < 5; ++i)
        t.write("line" + std::to_string(i) + "\r\n");
    t.write("end");
    EXPECT_EQ(t.snapshot(), "line0\r\nline1\r\nline2\r\n" + kHead + ESC +
                                "[0;1mline3\r\nline4\r\nend" + kReset + ESC + "[3;4H" + ESC +
                                "[0;1m");  // the pen in force
    // A young session paints from the top, the cursor counted from there.
    Terminal y(10, 5, 100);
    y.write("a\r\nb");
    EXPECT_EQ(y.snapshot(), kHead + "a\r\nb" + kReset + ESC + "[2;2H");
    EXPECT_EQ(rowText(y.grid(), -1), "");
    EXPECT_EQ(rowText(y.grid(), 5), "");
}

TEST(Render, HistoryBudgetKeepsTheNewestLines) {
    Terminal t(10, 3, 100);
    for (int i = 0; i < 5; ++i)
        t.write("line" + std::to_string(i) + "\r\n");
    t.write("end");
    std::string screenPart = kHead + "line3\r\nline4\r\nend" + kReset + ESC + "[3;4H";
    // Each history line costs its text and CR LF: 7 bytes.
    EXPECT_EQ(t.snapshot(14), "line1\r\nline2\r\n" + screenPart);
    EXPECT_EQ(t.snapshot(13), "line2\r\n" + screenPart);
    EXPECT_EQ(t.snapshot(0), screenPart);
    EXPECT_EQ(t.snapshot(21), t.snapshot());
}

TEST(Render, SnapshotKeepsAPendingWrap) {
    struct Case {
        const char* name;
        std::string input;
        std::string tail;  // what follows the rendering
    } cases[] = {
        {"no wrap pending", "abc", ESC + "[1;4H"},
        {"last column rewritten", ESC + "[32m12345",
         ESC + "[1;5H" + ESC + "[0;32m5" + kReset + ESC + "[0;32m"},
        {"wide character at the end", "123\xe4\xb8\xad",
         ESC + "[1;4H" + ESC + "[0m\xe4\xb8\xad" + kReset},
        {"inside a synchronized update", "12345" + ESC + "[?2026h" + ESC + "[Habcde",
         ESC + "[1;5H" + ESC + "[0me" + kReset},
        // The cell keeps its hyperlink, and the link still open goes on.
        {"in a hyperlink", ESC + "]8;;http://x" + ESC + "\\12345",
         ESC + "[1;5H" + ESC + "[0m" + ESC + "]8;;http://x" + ESC + "\\5" + ESC + "]8;;" + ESC +
             "\\" + kReset + kReset + ESC + "]8;;http://x" + ESC + "\\"},
    };
    for (const Case& c : cases) {
        Terminal t(5, 3, 0);
        t.write(c.input);
        std::string snap = t.snapshot();
        ASSERT_GE(snap.size(), c.tail.size()) << c.name;
        EXPECT_EQ(snap.substr(snap.size() - c.tail.size()), c.tail) << c.name;
    }
    // After a narrowing resize the cursor waits on the new last column,
    // where the row has no cell: a blank is written.
    Terminal t(8, 3, 0);
    t.write("\r\nab");
    t.resize(6, 3);
    Grid& g = t.grid();
    g.cursor.row = 1;
    g.cursor.pendingWrap = true;
    g.cursor.col = 6;
    std::string snap = t.snapshot();
    EXPECT_EQ(snap.substr(snap.size() - 11), ESC + "[2;6H " + kReset);
}

// What a terminal shows in one cell: its text and its look.
std::string shownCell(const Row& row, size_t col) {
    if (col >= row.size()) return " |0.0 0.0 0";
    const Cell& c = row[col];
    int fgIndex = c.fg() == kColorIndexed ? c.fgIndex() : 0;
    int bgIndex = c.bg() == kColorIndexed ? c.bgIndex() : 0;
    return row.text(col) + "|" + std::to_string(c.fg()) + "." + std::to_string(fgIndex) + " " +
           std::to_string(c.bg()) + "." + std::to_string(bgIndex) + " " + std::to_string(c.attrs());
}

// The snapshot, fed into a fresh terminal of the same size, shows the same
// cells with the cursor in the same place (the attach repaint is faithful).
TEST(Render, SnapshotRepaintsTheSameScreen) {
    struct Step {
        std::string bytes;
        int64_t cols = -1, rows = -1;  // a resize instead of output
    };
    struct Case {
        const char* name;
        int64_t cols, rows;
        std::vector<Step> steps;
    } cases[] = {
        {"colours and styles",
         12,
         3,
         {{ESC + "[1;31mab" + ESC + "[38;5;9;44mc\r\n" + ESC + "[7md"}}},
        {"history and wide characters",
         6,
         2,
         {{"1\r\n2\r\n\xe4\xb8\xad\xe4\xb8\xad\xe4\xb8\xadx"}}},
        {"alternate screen", 8, 3, {{"main" + ESC + "[?1049h" + ESC + "[2;3Halt"}}},
        // A mark with no character before it took a column of its own,
        // which the repaint then joined to the character written over it.
        {"mark at the start of the screen", 10, 2, {{"\xcc\x8c"}, {"1"}}},
        {"mark after the end of the row", 10, 2, {{ESC + "[5G\xcc\x81x"}}},
        {"mark after a wide character", 10, 2, {{"\xe4\xb8\xad\xcc\x81x"}}},
        // A wide character does not fit one column: nothing is placed.
        {"wide character on one column", 1, 3, {{"a\xe4\xb8\xad"}}},
        // A resize to the same width kept the wrap pending one column
        // early.
        {"pending wrap across a resize", 3, 3, {{"abc"}, {"", 3, 4}}},
        {"pending wrap across a narrowing", 5, 3, {{"abcde"}, {"", 3, 3}}},
        // Leaving the alternate screen without restoring the cursor kept
        // the main screen's pending wrap with the alternate cursor.
        {"wrap pending behind the alternate screen",
         5,
         3,
         {{"abcde" + ESC + "[?1047hx" + ESC + "[?1047l"}}},
        // A wrap pending when the cursor was saved came back one column
        // early.
        {"pending wrap restored", 5, 3, {{"abcde" + ESC + "7" + ESC + "[H" + ESC + "8"}}},
        {"pending wrap of the alternate screen's cursor",
         5,
         3,
         {{ESC + "[?1047habcde" + ESC + "[?1047l"}}},
        // A soft reset ended the wrap but left the cursor past the last
        // column.
        {"soft reset with a wrap pending", 5, 3, {{"abcde" + ESC + "[!p"}}},
        // Growing from no height at all left the cursor in the history.
        {"no height, then a height", 10, 1, {{"$"}, {"", 10, 24}, {"", 10, 0}, {"", 10, 8}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Terminal t(c.cols, c.rows, 5);
        for (const Step& s : c.steps) {
            if (s.cols >= 0) {
                t.resize(s.cols, s.rows);
            } else {
                t.write(s.bytes);
            }
        }
        const Grid& g = t.grid();
        Terminal copy(g.cols, g.height, g.maxScrollback);
        copy.write(t.snapshot());
        const Grid& h = copy.grid();
        ASSERT_GE(g.cursor.row, screenTop(g));
        EXPECT_EQ(h.cursor.row - screenTop(h), g.cursor.row - screenTop(g));
        EXPECT_EQ(h.cursor.col, g.cursor.col);
        EXPECT_EQ(h.cursor.pendingWrap, g.cursor.pendingWrap);
        for (int64_t r = 0; r < g.height; ++r) {
            Row a = g.lines.row(screenTop(g) + r), b = h.lines.row(screenTop(h) + r);
            for (size_t col = 0; col < size_t(g.cols); ++col)
                EXPECT_EQ(shownCell(b, col), shownCell(a, col)) << "row " << r << " column " << col;
        }
    }
}

TEST(Render, FullHistoryInOrder) {
    Terminal t(80, 24, 10000);
    std::string line(78, '-');
    for (int i = 0; i < 10100; ++i)
        t.write(std::to_string(i % 10) + line + "\r\n");
    std::string snap = t.snapshot();
    // 10101 lines were written, the last 10024 are kept.
    EXPECT_EQ(snap.substr(0, 81), "7" + line + "\r\n");
    EXPECT_EQ(snap.substr(81 * 9999, 81), "6" + line + "\r\n");
    EXPECT_GT(snap.size(), 10000u * 81);
}

}  // namespace
