#include <gtest/gtest.h>

#include <random>

#include "screen/grid.h"
#include "screen/placement.h"
#include "screen/utf8.h"
#include "screen_support.h"

using namespace screen;
using namespace screen::testing;

namespace {

TEST(Utf8, Decode) {
    struct Case {
        std::string bytes;
        int32_t rune;
        size_t length;
        bool complete;
    } cases[] = {
        {"A", 'A', 1, true},
        {"\xc3\xa9", 0xe9, 2, true},
        {"\xe4\xb8\xad", 0x4e2d, 3, true},
        {"\xf0\x9f\x98\x80", 0x1f600, 4, true},
        {"\xf8\x88\x80\x80\x80", 0x200000, 5, true},
        {"\xfd\xbf\xbf\xbf\xbf\xbf", 0x7fffffff, 6, true},
        {"\xc3\x41", 0xc1, 2, true},        // continuation bytes are not checked
        {"\xe2\x1b\x5b", 0x26db, 3, true},  // not even an escape
        {"\xed\xa0\x80", 0xd800, 3, true},  // surrogates pass
        {"\xff", 0xff, 1, true},            // stray bytes stand for themselves
        {"\x9b", 0x9b, 1, true},
        {"\xe2\x80", 0xfffd, 2, false},  // cut off by the end
    };
    for (const Case& c : cases) {
        Utf8Step s = decodeUtf8(c.bytes, 0);
        EXPECT_EQ(s.rune, c.rune) << c.bytes;
        EXPECT_EQ(s.length, c.length) << c.bytes;
        EXPECT_EQ(s.complete, c.complete) << c.bytes;
        if (c.complete && c.bytes != "\xc3\x41" && c.bytes != "\xe2\x1b\x5b" && c.length > 1) {
            EXPECT_EQ(encodeUtf8(c.rune), c.bytes);
        }
    }
}

TEST(Placement, Widths) {
    struct Case {
        int32_t rune;
        int width;
    } cases[] = {
        // As the C library's wcwidth in C.UTF-8, with Unicode 15's additions
        // (U+1FA75, U+31350, U+1E08F).
        {'a', 1},     {0x300, 0},   {0x36f, 0},   {0x1ab0, 0},  {0x20d0, 0},  {0xfe2f, 0},
        {0x1100, 2},  {0x115f, 2},  {0x1160, 0},  {0x2e80, 2},  {0x303f, 1},  {0x3040, 1},
        {0xa4cf, 1},  {0xa4d0, 1},  {0xac00, 2},  {0xd7a3, 2},  {0xff01, 2},  {0x1f600, 2},
        {0x1faff, 1}, {0x20000, 2}, {0x3fffd, 1}, {0x3fffe, 1}, {0x200d, 0},  {0xfe0f, 0},
        {0x200b, 0},  {0xad, 1},    {0x1fa75, 2}, {0x31350, 2}, {0x1e08f, 0}, {0x2764, 1},
        {7, 1},       {-1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(displayWidth(c.rune), c.width) << std::hex << c.rune;
        EXPECT_EQ(isWide(c.rune), c.width == 2) << std::hex << c.rune;
    }
}

TEST(Placement, WrapAtTheRightEdge) {
    Grid g = screenGrid(80, 24);
    type(g, std::string(80, 'a'));
    EXPECT_EQ(g.cursor.col, 80);
    EXPECT_TRUE(g.cursor.pendingWrap);
    EXPECT_EQ(g.lines.rowSize(1), 0);
    type(g, "b");
    EXPECT_EQ(g.cursor.row, 1);
    EXPECT_EQ(g.cursor.col, 1);
    EXPECT_EQ(lineText(g, 1), "b");

    // A wide character that does not fit the last column moves on whole.
    Grid w = screenGrid(80, 24);
    type(w, std::string(79, 'a') + "\xe4\xb8\xad");
    EXPECT_EQ(lineText(w, 0), std::string(79, 'a'));
    EXPECT_EQ(w.cursor.row, 1);
    EXPECT_EQ(w.cursor.col, 2);
    Row r = w.lines.row(1);
    EXPECT_EQ(r[0].width(), 2);
    EXPECT_EQ(r[1].width(), 0);
    EXPECT_EQ(r.text(1), "");

    Grid x = screenGrid(80, 24);
    x.cursor.col = 78;
    type(x, "\xe4\xb8\xad");
    EXPECT_TRUE(x.cursor.pendingWrap);
    EXPECT_EQ(x.cursor.col, 80);
}

TEST(Placement, CursorPastTheEdge) {
    Grid g = screenGrid(80, 24);
    g.cursor.col = 100;
    type(g, "z");
    EXPECT_EQ(g.lines.rowSize(0), 80);
    EXPECT_EQ(g.lines.row(0).rune(79), 'z');
    // A wide character there takes the last two columns.
    Grid w = screenGrid(80, 24);
    w.cursor.col = 90;
    type(w, "\xe4\xb8\xad");
    EXPECT_EQ(w.lines.rowSize(0), 80);
    EXPECT_EQ(w.lines.row(0).rune(78), 0x4e2d);
    EXPECT_EQ(w.cursor.col, 80);
    EXPECT_TRUE(w.cursor.pendingWrap);
    // One column: a wide character does not fit and is dropped, as
    // terminals do; the cursor stays within the grid.
    Grid one = screenGrid(1, 3);
    type(one, "\xe4\xb8\xad");
    EXPECT_EQ(one.lines.rowSize(0), 0);
    EXPECT_EQ(one.cursor.col, 0);
    type(one, "b");
    EXPECT_EQ(lineText(one, 0), "b");
    EXPECT_EQ(one.cursor.col, 1);
}

TEST(Placement, NeverWrittenCellsAreDefaultBlanks) {
    Grid g = screenGrid(20, 2);
    g.pen.attrs = kUnderline;
    g.pen.bg = 2;
    g.cursor.col = 5;
    type(g, "x");
    Row r = g.lines.row(0);
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[2], Cell());
    EXPECT_EQ(r[5].attrs(), kUnderline);
    EXPECT_EQ(r[5].bg(), 2);
}

TEST(Placement, CombiningMarks) {
    Grid g = screenGrid(80, 24);
    type(g, "e\xcc\x81");
    EXPECT_EQ(g.cursor.col, 1);
    EXPECT_EQ(g.lines.row(0).text(0), "e\xcc\x81");
    EXPECT_EQ(g.lines.row(0).rune(0), 'e');
    // At column 0 a mark has nothing to join and takes no column, as on
    // terminals.
    lineFeed(g);
    type(g, "\xcc\x82");
    EXPECT_EQ(lineText(g, 0), "e\xcc\x81");
    EXPECT_EQ(g.lines.rowSize(1), 0);
    Grid n = newGrid();
    type(n, "\xcc\x81");
    EXPECT_EQ(n.lines.rowSize(0), 0);
    EXPECT_EQ(n.cursor.col, 0);
    // Past the end of the row it joins the blank before the cursor (a
    // cell never written is a blank, as on a terminal), and after a wide
    // character it joins the character itself.
    Grid past = screenGrid(10, 2);
    past.cursor.col = 3;
    type(past, "\xcc\x81x\xe4\xb8\xad\xcc\x82");
    EXPECT_EQ(lineText(past, 0), "   \xcc\x81x\xe4\xb8\xad\xcc\x82");
    EXPECT_EQ(past.lines.row(0).text(4), "\xe4\xb8\xad\xcc\x82");
    EXPECT_EQ(past.cursor.col, 6);
    // After the last column, before the wrap, it still joins.
    Grid edge = screenGrid(3, 2);
    type(edge, "abc\xcc\x81");
    EXPECT_EQ(lineText(edge, 0), "abc\xcc\x81");
}

TEST(Placement, FloodOfMarksIsBounded) {
    Grid g = screenGrid(80, 24);
    type(g, "a");
    for (int i = 0; i < 100000; ++i)
        putRune(g, 0x301);
    std::string text = g.lines.row(0).text(0);
    EXPECT_EQ(text.size(), 1u + 2u * kMaxMarks);
    // Overwriting the cell again and again does not pile up rare data.
    for (int i = 0; i < 10000; ++i) {
        g.cursor.col = 0;
        type(g, "b\xcc\x81");
    }
    EXPECT_EQ(g.lines.row(0).text(0), "b\xcc\x81");
}

TEST(Placement, RowsWithoutAWidthAreBounded) {
    Grid g = newGrid();
    type(g, std::string(kMaxColumns + 100, 'q') + "Z");
    EXPECT_EQ(g.lines.rowSize(0), kMaxColumns);
    EXPECT_EQ(g.lines.row(0).rune(kMaxColumns - 1), 'Z');
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
            for (Grid* g : {&a, &b}) {
                g->cursor.col = col;
                g->cursor.pendingWrap = false;
                g->pen.fg = uint8_t(step);
                if (wide) type(*g, "\xe4\xb8\xad");
            }
            putAscii(a, s.data(), s.size());
            for (char c : s)
                putRune(b, c);
            ASSERT_EQ(a.cursor.row, b.cursor.row);
            ASSERT_EQ(a.cursor.col, b.cursor.col);
            ASSERT_EQ(a.cursor.pendingWrap, b.cursor.pendingWrap);
            ASSERT_EQ(a.lines.size(), b.lines.size());
            for (int64_t i = 0; i < a.lines.size(); ++i)
                ASSERT_TRUE(a.lines.row(i) == b.lines.row(i)) << round << " " << i;
        }
    }
}

}  // namespace
