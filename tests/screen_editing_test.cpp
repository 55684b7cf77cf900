#include <gtest/gtest.h>

#include "screen/editing.h"
#include "screen/grid.h"
#include "screen/tabs.h"
#include "screen_support.h"

using namespace screen;
using namespace screen::testing;

namespace {

// The background of each cell of a row as a string: '.' for the default,
// else the colour kind's digit.
std::string backgrounds(const Grid& g, int64_t i) {
    Row r = g.lines.row(i);
    std::string s;
    for (size_t c = 0; c < r.size(); ++c)
        s += r[c].bg() == 0 ? '.' : char('0' + r[c].bg());
    return s;
}

TEST(Editing, Tab) {
    struct Case {
        int64_t from;
        std::string before;
        int64_t to;
        std::string after;
    } cases[] = {
        {3, "abc", 8, "abc     "},
        {8, "", 16, std::string(16, ' ')},
        {0, "abcdefghijk", 8, "abcdefghijk"},  // existing cells stay
        {75, "", 79, std::string(79, ' ')},    // stops on the last column
        {79, "", 79, ""},
    };
    for (const Case& c : cases) {
        Grid g = screenGrid(80, 2);
        type(g, c.before);
        g.cursor.col = c.from;
        tab(g);
        EXPECT_EQ(g.cursor.col, c.to) << c.from;
        EXPECT_FALSE(g.cursor.pendingWrap);
        if (!c.after.empty()) {
            EXPECT_EQ(lineText(g, 0), c.after) << c.from;
        }
    }
    // The pen does not reach the cells a tab passes.
    Grid g = screenGrid(80, 2);
    g.pen.attrs = kUnderline;
    tab(g);
    EXPECT_EQ(g.lines.row(0)[3].attrs(), 0);
    // A pending wrap stays pending.
    type(g, std::string(72, 'x'));
    ASSERT_TRUE(g.cursor.pendingWrap);
    tab(g);
    EXPECT_TRUE(g.cursor.pendingWrap);
    EXPECT_EQ(g.cursor.row, 0);
    EXPECT_EQ(g.cursor.col, 80);
}

TEST(Editing, Backspace) {
    Grid g = screenGrid(10, 2);
    type(g, "0123456789");
    backspace(g);
    EXPECT_FALSE(g.cursor.pendingWrap);
    EXPECT_EQ(g.cursor.col, 9);
    g.cursor.col = 0;
    backspace(g);
    EXPECT_EQ(g.cursor.col, 0);
}

TEST(Editing, InsertChars) {
    Grid g = screenGrid(80, 2);
    std::string full;
    for (int i = 0; i < 80; ++i)
        full += char('a' + i % 26);
    type(g, full);
    g.cursor.col = 10;
    g.pen.bg = 3;
    insertChars(g, 2);
    EXPECT_TRUE(g.cursor.pendingWrap);  // kept
    std::string text = lineText(g, 0);
    EXPECT_EQ(text, full.substr(0, 10) + "  " + full.substr(10, 68));
    EXPECT_EQ(backgrounds(g, 0).substr(9, 4), ".33.");
    // A huge count empties the rest of the row, and never grows it.
    insertChars(g, INT64_MAX);
    EXPECT_EQ(g.lines.rowSize(0), 80);
    EXPECT_EQ(lineText(g, 0), full.substr(0, 10) + std::string(70, ' '));
    // Inserting into a short row pads it with default blanks first.
    g.pen.bg = 0;
    g.cursor.row = 1;
    g.cursor.col = 4;
    insertChars(g, 1);
    EXPECT_EQ(lineText(g, 1), "     ");
}

TEST(Editing, DeleteChars) {
    Grid g = screenGrid(80, 2);
    type(g, "abcde");
    g.cursor.col = 2;
    g.pen.bg = 6;
    deleteChars(g, 1);
    EXPECT_EQ(g.lines.rowSize(0), 80);
    EXPECT_EQ(lineText(g, 0).substr(0, 5), "abde ");
    EXPECT_EQ(backgrounds(g, 0), std::string(79, '.') + "6");
    // Default background: the fill stays default.
    g.pen.bg = 0;
    g.cursor.row = 1;
    g.cursor.col = 0;
    type(g, "xyz");
    g.cursor.col = 0;
    deleteChars(g, INT64_MAX);
    EXPECT_EQ(lineText(g, 1), std::string(80, ' '));
    EXPECT_EQ(backgrounds(g, 1), std::string(80, '.'));
}

TEST(Editing, InsertAndDeleteLines) {
    Grid g = screenGrid(10, 6);
    for (int i = 0; i < 6; ++i) {
        g.cursor.row = i;
        g.cursor.col = 0;
        type(g, "r" + std::to_string(i));
    }
    setScrollRegion(g, "2;5");
    g.cursor.row = 2;
    g.cursor.pendingWrap = true;
    insertLines(g, 2);
    EXPECT_TRUE(g.cursor.pendingWrap);
    EXPECT_EQ(allLines(g), (std::vector<std::string>{"r0", "r1", "", "", "r2", "r5"}));
    deleteLines(g, 1);
    EXPECT_EQ(allLines(g), (std::vector<std::string>{"r0", "r1", "", "r2", "", "r5"}));
    // Outside the region: nothing.
    g.cursor.row = 5;
    deleteLines(g, 1);
    insertLines(g, 1);
    EXPECT_EQ(allLines(g), (std::vector<std::string>{"r0", "r1", "", "r2", "", "r5"}));
    EXPECT_TRUE(g.cursor.pendingWrap);
    // With a background the rows brought in are painted.
    g.pen.bg = 2;
    g.cursor.row = 1;
    insertLines(g, INT64_MAX);
    EXPECT_EQ(backgrounds(g, 1), std::string(10, '2'));
    EXPECT_EQ(backgrounds(g, 4), std::string(10, '2'));
    EXPECT_EQ(lineText(g, 5), "r5");
}

TEST(Editing, EraseLine) {
    struct Case {
        int64_t mode;
        uint8_t bg;
        std::string text;
        std::string bgs;
    } cases[] = {
        {0, 0, "abcd", "...."},
        {1, 0, "     fghij", ".........."},  // through the cursor
        {2, 0, "", ""},
        {3, 0, "abcdefghij", ".........."},
        {0, 4, "abcd      ", "....444444"},
        {1, 4, "     fghij", "44444....."},
        {2, 4, "          ", "4444444444"},
    };
    for (const Case& c : cases) {
        Grid g = screenGrid(10, 2);
        type(g, "abcdefghij");
        g.cursor.col = 4;
        g.cursor.pendingWrap = true;
        g.pen.bg = c.bg;
        g.pen.attrs = kInverse;
        eraseLine(g, c.mode);
        EXPECT_EQ(lineText(g, 0), c.text) << c.mode << " " << int(c.bg);
        EXPECT_EQ(backgrounds(g, 0), c.bgs) << c.mode << " " << int(c.bg);
        EXPECT_TRUE(g.cursor.pendingWrap);
        Row r = g.lines.row(0);
        for (size_t i = 0; i < r.size(); ++i)
            if (r.rune(i) == ' ') {
                EXPECT_EQ(r[i].attrs(), 0);
            }
    }
    // Mode 1 with a background paints through the cursor past the row end.
    Grid g = screenGrid(10, 2);
    type(g, "ab");
    g.cursor.col = 5;
    g.pen.bg = 1;
    eraseLine(g, 1);
    EXPECT_EQ(backgrounds(g, 0), "111111");
}

TEST(Editing, EraseDisplayKeepsScrollbackAndLines) {
    Grid g = screenGrid(10, 3, 10);
    for (int i = 0; i < 5; ++i) {
        type(g, "r" + std::to_string(i));
        lineFeed(g);
    }
    type(g, "r5");
    // lines: r0 r1 r2 | r3 r4 r5, cursor on r5 col 2
    ASSERT_EQ(screenTop(g), 3);
    g.cursor.row = 4;
    g.cursor.col = 1;
    eraseDisplay(g, 0);
    EXPECT_EQ(allLines(g), (std::vector<std::string>{"r0", "r1", "r2", "r3", "r ", ""}));
    eraseDisplay(g, 3);
    EXPECT_EQ(g.lines.size(), 6);
    eraseDisplay(g, 1);
    EXPECT_EQ(allLines(g), (std::vector<std::string>{"r0", "r1", "r2", "", "  ", ""}));
    eraseDisplay(g, 2);
    EXPECT_EQ(allLines(g), (std::vector<std::string>{"r0", "r1", "r2", "", "", ""}));
    EXPECT_EQ(g.cursor.row, 4);
    EXPECT_EQ(g.cursor.col, 1);
    // Mode 0 from the top of the history keeps every line.
    g.cursor.row = 0;
    g.cursor.col = 0;
    eraseDisplay(g, 0);
    EXPECT_EQ(g.lines.size(), 6);
}

TEST(Editing, EraseDisplayPaintsTheWholeScreen) {
    Grid g = screenGrid(4, 3);
    enterAltScreen(g);
    g.pen.bg = kColorIndexed;
    g.pen.bgIndex = 100;
    eraseDisplay(g, 2);
    ASSERT_EQ(g.lines.size(), 3);
    for (int i = 0; i < 3; ++i) {
        Row r = g.lines.row(i);
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[3].bgIndex(), 100);
    }
}

TEST(Editing, NoWideHalfLeftAlone) {
    const std::string wide = "\xe4\xb8\xad";  // U+4E2D
    struct Case {
        const char* name;
        void (*edit)(Grid&);
        std::string text;
    } cases[] = {
        {"erase from the right half", [](Grid& g) { g.cursor.col = 2, eraseLine(g, 0); }, "a "},
        {"erase through the left half", [](Grid& g) { g.cursor.col = 1, eraseLine(g, 1); }, "   b"},
        {"delete the left half", [](Grid& g) { g.cursor.col = 1, deleteChars(g, 1); }, "a b"},
        {"delete the right half", [](Grid& g) { g.cursor.col = 2, deleteChars(g, 1); }, "a b"},
        {"insert between the halves", [](Grid& g) { g.cursor.col = 2, insertChars(g, 1); },
         "a   b"},
        {"overwrite the right half", [](Grid& g) { g.cursor.col = 2, type(g, "x"); }, "a xb"},
        {"overwrite the left half", [](Grid& g) { g.cursor.col = 1, type(g, "x"); }, "ax b"},
    };
    for (const Case& c : cases) {
        Grid g = screenGrid(6, 2);
        type(g, "a" + wide + "b");
        c.edit(g);
        std::string text = lineText(g, 0);
        while (text.size() > c.text.size() && text.back() == ' ')
            text.pop_back();
        EXPECT_EQ(text, c.text) << c.name;
        Row r = g.lines.row(0);
        for (size_t i = 0; i < r.size(); ++i) {
            if (r[i].width() == 2) {
                EXPECT_TRUE(r.isWideLeft(i)) << c.name;
            }
            if (r[i].width() == 0) {
                EXPECT_TRUE(r.isWideRight(i)) << c.name;
            }
        }
    }
    // A wide character pushed off the edge by an insert goes whole.
    Grid g = screenGrid(4, 2);
    type(g, "ab" + wide);
    g.cursor.col = 0;
    insertChars(g, 1);
    EXPECT_EQ(lineText(g, 0), " ab ");
}

TEST(Editing, SetScrollRegion) {
    // A margin set beforehand (2;5), then the parameters. Top at or below
    // bottom: ignored, margins and cursor stay; a bottom past the screen is
    // the last row.
    struct Case {
        const char* params;
        int64_t top, bottom;
        bool ignored;
    } cases[] = {
        {"", 0, 0, false},
        {"5;3", 1, 4, true},
        {"0;0", 0, 23, false},
        {";", 0, 23, false},
        {"2;5", 1, 4, false},
        {"3;999", 2, 23, false},
        {"3;25", 2, 23, false},
        {"3;24", 2, 23, false},
        {"99999999999999999999;5", 0, 4, false},  // unreadable: the default
        {"24;24", 1, 4, true},
    };
    for (const Case& c : cases) {
        Grid g = screenGrid(80, 24);
        setScrollRegion(g, "2;5");
        g.cursor.row = 10;
        g.cursor.col = 10;
        g.cursor.pendingWrap = true;
        setScrollRegion(g, c.params);
        EXPECT_EQ(g.margins.top, c.top) << c.params;
        EXPECT_EQ(g.margins.bottom, c.bottom) << c.params;
        EXPECT_EQ(g.cursor.row, c.ignored ? 10 : 0) << c.params;
        EXPECT_EQ(g.cursor.col, c.ignored ? 10 : 0) << c.params;
        EXPECT_EQ(g.cursor.pendingWrap, c.ignored) << c.params;
    }
    // Rows count from the top of the screen.
    Grid g = screenGrid(80, 24, 100);
    for (int i = 0; i < 40; ++i)
        lineFeed(g);
    setScrollRegion(g, "2;5");
    EXPECT_EQ(g.margins.top, screenTop(g) + 1);
    EXPECT_EQ(g.margins.bottom, screenTop(g) + 4);
    EXPECT_EQ(g.cursor.row, screenTop(g));
}

}  // namespace
