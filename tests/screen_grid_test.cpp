#include <gtest/gtest.h>

#include <random>

#include "screen/editing.h"
#include "screen/grid.h"
#include "screen/placement.h"
#include "screen_support.h"

using namespace screen;
using namespace screen::testing;

namespace {

// Fills every screen row with its own label and leaves the cursor on the
// last one.
void label(Grid& g, int64_t first = 0) {
    for (int64_t i = 0; i < g.height; ++i) {
        if (i > 0) lineFeed(g);
        type(g, "r" + std::to_string(first + i));
    }
}

TEST(Grid, NewGrid) {
    Grid g = newGrid();
    EXPECT_EQ(g.lines.size(), 1);
    EXPECT_EQ(g.lines.rowSize(0), 0);
    EXPECT_EQ(g.cursor.row, 0);
    EXPECT_EQ(g.cursor.col, 0);
    EXPECT_TRUE(g.tabs.isDefault());
    EXPECT_FALSE(regionActive(g));
    EXPECT_EQ(screenTop(g), 0);
}

TEST(Grid, LineFeedBuildsScrollbackUpToTheLimit) {
    Grid g = screenGrid(80, 24, 10000);
    g.cursor.row = 23;
    lineFeed(g);
    EXPECT_EQ(g.lines.size(), 25);
    EXPECT_EQ(screenTop(g), 1);
    for (int i = 0; i < 10100; ++i) {
        type(g, "line " + std::to_string(i));
        lineFeed(g);
    }
    EXPECT_EQ(g.lines.size(), 24 + 10000);
    EXPECT_EQ(g.cursor.row, 24 + 10000 - 1);
    // The oldest kept line is the one 10023 line feeds back; packing it
    // into the history kept its text.
    EXPECT_EQ(lineText(g, 0), "line 77");
    EXPECT_EQ(lineText(g, 10022), "line 10099");
    EXPECT_EQ(lineText(g, 10023), "");
}

TEST(Grid, RegionLineFeedDiscardsTheTopLine) {
    Grid g = screenGrid(80, 24, 100);
    label(g);
    setScrollRegion(g, "1");
    EXPECT_EQ(g.margins.bottom, 23);
    g.cursor.row = 23;
    lineFeed(g);
    EXPECT_EQ(g.lines.size(), 24);
    EXPECT_EQ(lineText(g, 0), "r1");
    EXPECT_EQ(lineText(g, 23), "");

    setScrollRegion(g, "5;10");
    EXPECT_EQ(g.margins.top, 4);
    EXPECT_EQ(g.margins.bottom, 9);
    g.cursor.row = 12;
    lineFeed(g);
    EXPECT_EQ(g.cursor.row, 13);
    // Below the region on the last row: neither scroll nor grow.
    g.cursor.row = 23;
    lineFeed(g);
    EXPECT_EQ(g.cursor.row, 23);
    EXPECT_EQ(g.lines.size(), 24);
    EXPECT_EQ(lineText(g, 0), "r1");
}

TEST(Grid, ScrollRegionUpAndDown) {
    Grid g = screenGrid(10, 6);
    label(g);
    scrollRegionUp(g, 1, 4, 2);
    EXPECT_EQ(allLines(g), (std::vector<std::string>{"r0", "r3", "r4", "", "", "r5"}));
    scrollRegionDown(g, 0, 2, 1);
    EXPECT_EQ(allLines(g), (std::vector<std::string>{"", "r0", "r3", "", "", "r5"}));
    scrollRegionUp(g, 3, 2, 1);  // bottom above top: nothing
    scrollRegionUp(g, 0, 5, 100);
    EXPECT_EQ(allLines(g), std::vector<std::string>(6, ""));
}

TEST(Grid, ScreenRelativeRegionAndBounds) {
    Grid g = screenGrid(10, 4, 100);
    label(g);
    lineFeed(g);
    lineFeed(g);
    ASSERT_EQ(screenTop(g), 2);
    EXPECT_EQ(scrollBottomDefault(g), 5);
    EXPECT_EQ(scrollBounds(g), (std::pair<int64_t, int64_t>(2, 5)));
    // Inserting lines at the top of the screen never reaches the history.
    g.cursor.row = 2;
    insertLines(g, 1);
    EXPECT_EQ(allLines(g), (std::vector<std::string>{"r0", "r1", "", "r2", "r3", ""}));
}

TEST(Grid, ResizeResetsTheRegionAndTabStops) {
    Grid g = screenGrid(10, 6, 0);
    label(g);
    setScrollRegion(g, "3;5");
    ASSERT_EQ(g.margins.top, 2);
    g.tabs.stops.reset();
    resize(g, 10, 6);  // the same size: nothing changes
    EXPECT_EQ(g.margins.top, 2);
    EXPECT_FALSE(g.tabs.isDefault());
    g.cursor.row = 5;
    resize(g, 10, 4);  // the cursor is on the last row: the top two lines go
    EXPECT_EQ(g.lines.size(), 4);
    EXPECT_EQ(lineText(g, 0), "r2");
    EXPECT_FALSE(regionActive(g));
    EXPECT_EQ(g.cursor.row, 3);
    EXPECT_FALSE(g.tabs.isDefault());  // only a new width resets them
    resize(g, 12, 4);
    EXPECT_TRUE(g.tabs.isDefault());
}

TEST(Grid, SavedCursorIsAScreenPosition) {
    Grid g = screenGrid(10, 4, 1);
    label(g);
    g.cursor.row = 1;
    g.cursor.col = 3;
    saveCursor(g);
    g.cursor.row = 3;
    for (int i = 0; i < 5; ++i)
        lineFeed(g);  // history full, lines dropped
    restoreCursor(g);
    EXPECT_TRUE(g.savedCursor.has_value());
    EXPECT_EQ(g.cursor.row, screenTop(g) + 1);
    EXPECT_EQ(g.cursor.col, 3);
    // A saved row beyond a smaller screen is clamped onto it.
    g.savedCursor->row = ScreenRow{10};
    restoreCursor(g);
    EXPECT_EQ(g.cursor.row, lastScreenRow(g));
}

TEST(Grid, AlternateScreenWithCursorRestore) {
    Grid g = screenGrid(20, 5, 10);
    label(g);
    g.cursor.col = 2;
    g.pen.fg = 3;
    const std::vector<std::string> mainLines = allLines(g);
    const int64_t mainRow = g.cursor.row, mainTop = screenTop(g);
    enterAltScreen(g);
    EXPECT_TRUE(g.alt.active);
    // The cursor keeps its place on the screen; the pen carries over.
    EXPECT_EQ(g.cursor.row, mainRow - mainTop);
    EXPECT_EQ(g.cursor.col, 2);
    EXPECT_EQ(g.pen.fg, 3);
    type(g, "alt");
    g.pen.fg = 5;
    for (int i = 0; i < 10; ++i)
        lineFeed(g);
    EXPECT_EQ(g.lines.size(), 5);  // no scrollback on the alternate screen
    enterAltScreen(g);             // already there: nothing
    leaveAltScreen(g, true);
    EXPECT_FALSE(g.alt.active);
    EXPECT_EQ(allLines(g), mainLines);
    EXPECT_EQ(g.cursor.row, mainRow);
    EXPECT_EQ(g.cursor.col, 2);
    EXPECT_EQ(g.pen.fg, 3);
    EXPECT_FALSE(g.savedMain);
    leaveAltScreen(g, true);  // not there: nothing
    EXPECT_EQ(g.cursor.col, 2);
    // A screen narrowed meanwhile brings the cursor back within it.
    g.cursor.col = 15;
    enterAltScreen(g);
    resize(g, 5, 5);
    leaveAltScreen(g, true);
    EXPECT_EQ(g.cursor.col, 4);
}

TEST(Grid, AlternateScreenWithoutCursorRestore) {
    Grid g = screenGrid(40, 24, 100);
    for (int i = 0; i < 30; ++i)
        lineFeed(g);  // 7 lines of history
    enterAltScreen(g);
    g.cursor.row = 10;
    g.cursor.col = 20;
    ensureRow(g, 10);
    leaveAltScreen(g, false);
    EXPECT_EQ(g.cursor.row, screenTop(g) + 10);
    EXPECT_EQ(g.cursor.col, 20);
    // The wrap the main screen had pending goes with its cursor.
    type(g, std::string(20, 'x'));
    ASSERT_TRUE(g.cursor.pendingWrap);
    enterAltScreen(g);
    type(g, "y");
    leaveAltScreen(g, false);
    EXPECT_FALSE(g.cursor.pendingWrap);
    EXPECT_EQ(g.cursor.col, 1);
}

TEST(Grid, ResizeKeepsRowsAndClampsTheCursor) {
    Grid g = screenGrid(80, 24);
    type(g, std::string(79, 'x'));
    resize(g, 40, 24);
    EXPECT_EQ(g.lines.rowSize(0), 79);
    EXPECT_EQ(g.cursor.col, 39);
    resize(g, 40, 0);
    EXPECT_EQ(g.lines.size(), 24);
    // Huge sizes are bounded.
    resize(g, INT64_MAX, INT64_MAX);
    EXPECT_EQ(g.cols, kMaxColumns);
    EXPECT_EQ(g.height, kMaxRows);
    EXPECT_EQ(g.lines.size(), kMaxRows);
}

TEST(Grid, ShrinkingKeepsTheTopLine) {
    // The prompt after a clear stays at the top.
    Grid g = screenGrid(20, 24, 100);
    type(g, "$ ");
    resize(g, 20, 10);
    EXPECT_EQ(g.lines.size(), 10);
    EXPECT_EQ(screenTop(g), 0);
    EXPECT_EQ(g.cursor.row, 0);
    EXPECT_EQ(lineText(g, 0), "$ ");
    // With the cursor near the bottom the top lines move into the history.
    eraseDisplay(g, 2);
    g.cursor.col = 0;
    label(g);
    g.cursor.row = 8;
    resize(g, 20, 5);
    EXPECT_EQ(g.lines.size(), 9);
    EXPECT_EQ(screenTop(g), 4);
    EXPECT_EQ(g.cursor.row, 8);
    EXPECT_EQ(lineText(g, 4), "r4");
}

TEST(Grid, GrowingFromNoHeightKeepsTheCursorOnTheScreen) {
    Grid g = screenGrid(10, 24, 1);
    type(g, "$");
    resize(g, 10, 0);
    resize(g, 10, 8);
    EXPECT_EQ(screenTop(g), 0);
    EXPECT_EQ(g.cursor.row, 0);
    EXPECT_EQ(g.lines.size(), 8);
    EXPECT_EQ(lineText(g, 0), "$");
}

TEST(Grid, ResizeWithPendingWrap) {
    Grid g = screenGrid(10, 3);
    type(g, "0123456789");
    ASSERT_TRUE(g.cursor.pendingWrap);
    resize(g, 8, 3);  // narrower: wait past the new last column
    EXPECT_TRUE(g.cursor.pendingWrap);
    EXPECT_EQ(g.cursor.col, 8);
    resize(g, 8, 4);  // the same width: still waiting, as after writing it
    EXPECT_TRUE(g.cursor.pendingWrap);
    EXPECT_EQ(g.cursor.col, 8);
    resize(g, 12, 3);  // wider: continue the line
    EXPECT_FALSE(g.cursor.pendingWrap);
    EXPECT_EQ(g.cursor.col, 8);
    type(g, "ab");
    EXPECT_EQ(lineText(g, 0), "01234567ab");
}

TEST(Grid, ResizeOnTheAlternateScreenTrimsFromTheTop) {
    Grid g = screenGrid(10, 6);
    enterAltScreen(g);
    label(g);
    g.cursor.row = 1;
    resize(g, 10, 3);
    EXPECT_EQ(allLines(g), (std::vector<std::string>{"r3", "r4", "r5"}));
    EXPECT_EQ(g.cursor.row, 0);
    // The saved main screen takes the new size too.
    leaveAltScreen(g, true);
    EXPECT_EQ(g.cols, 10);
    EXPECT_EQ(g.height, 3);
    EXPECT_EQ(g.lines.size(), 3);
}

TEST(Grid, HistoryKeepsEveryCellExactly) {
    Grid g = screenGrid(12, 2, 10);
    g.pen.fg = kColorIndexed;
    g.pen.fgIndex = 200;
    type(g, "a\xe4\xb8\xad");  // a, wide U+4E2D
    g.pen.fg = 2;
    g.pen.bg = 5;
    g.pen.attrs = kBold | kUnderline;
    type(g, "e\xcc\x81");  // e + combining acute
    putRune(g, 0x7fffffff);
    g.pen.fg = 0;
    putRune(g, 0x1f600);
    putRune(g, 0x0301);                                    // joins the wide character
    g.lines.edit(0).put(7, Cell::make(0, 0, Pen{}));       // a stray width-0 cell
    g.lines.edit(0).put(8, Cell::make(0x4e2d, 2, Pen{}));  // an orphan left half
    Row original = g.lines.row(0);
    for (int i = 0; i < 3; ++i)
        lineFeed(g);
    ASSERT_EQ(screenTop(g), 2);
    Row back = g.lines.row(0);
    EXPECT_TRUE(back == original);
    EXPECT_EQ(back.rune(4), 0x7fffffff);
    EXPECT_EQ(back[1].fgIndex(), 200);
    EXPECT_EQ(back.text(3), "e\xcc\x81");
    EXPECT_EQ(back.text(5), "\xf0\x9f\x98\x80\xcc\x81");
    std::string text = lineText(g, 0);
    std::string expected;
    original.appendAllText(expected);
    EXPECT_EQ(text, expected);
}

// Rows of every kind of cell survive the trip into the history.
TEST(Grid, HistoryRoundTripOfRandomRows) {
    std::mt19937 rng(11);
    const int32_t kRunes[] = {'a',   'Z',        ' ',      0xe9,   0x4e2d, 0x1f600,
                              0x301, 0x7fffffff, 0x10ffff, 0xd800, 0};
    for (int round = 0; round < 300; ++round) {
        Grid g = screenGrid(0, 2, 4);  // no width: nothing wraps
        // Past 64 cells too, which the packer looks at 64 at a time.
        int cells = std::uniform_int_distribution<int>(1, 150)(rng);
        for (int i = 0; i < cells; ++i) {
            if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
                g.pen.fg = uint8_t(std::uniform_int_distribution<int>(0, 18)(rng));
                g.pen.fgIndex = uint8_t(std::uniform_int_distribution<int>(0, 255)(rng));
                g.pen.bg = uint8_t(std::uniform_int_distribution<int>(0, 18)(rng));
                g.pen.attrs = uint16_t(std::uniform_int_distribution<int>(0, kAllStyles)(rng));
            }
            int32_t r =
                kRunes[std::uniform_int_distribution<size_t>(0, std::size(kRunes) - 1)(rng)];
            if (r == 0) {
                g.cursor.col = std::uniform_int_distribution<int64_t>(0, 150)(rng);
            } else {
                putRune(g, r);
            }
        }
        Row original = g.lines.row(0);
        std::string text = lineText(g, 0);
        g.cursor.row = 1;
        for (int i = 0; i < 3; ++i)
            lineFeed(g);
        ASSERT_GE(screenTop(g), 1);  // the row is in the history
        ASSERT_TRUE(g.lines.row(0) == original) << round;
        ASSERT_EQ(lineText(g, 0), text) << round;
    }
}

TEST(Grid, ScrolledInRowsTakeThePenBackground) {
    Grid g = screenGrid(6, 3);
    g.pen.bg = 4;
    g.pen.attrs = kUnderline;
    g.cursor.row = 2;
    lineFeed(g);
    Row r = g.lines.row(2);
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[0].bg(), 4);
    EXPECT_EQ(r[0].attrs(), 0);
    // The row an automatic wrap brings in stays empty.
    type(g, "abcdefg");
    EXPECT_EQ(g.lines.row(2).size(), 1u);
    // So does a row appended below a young screen that did not scroll.
    Grid young = newGrid(6, 3, 0);
    young.pen.bg = 4;
    lineFeed(young);
    EXPECT_EQ(young.lines.rowSize(1), 0);
}

TEST(Grid, BoundsAgainstHostileValues) {
    Grid g = newGrid(80, 24, 100);
    ensureRow(g, INT64_MAX);
    EXPECT_EQ(g.lines.size(), 24);
    scrollRegionUp(g, 0, INT64_MAX, INT64_MAX);
    EXPECT_EQ(g.lines.size(), 24);
    for (int i = 0; i < 150; ++i)
        addWarning(g, std::to_string(i));
    EXPECT_EQ(g.warnings.size(), kMaxWarnings);
    EXPECT_EQ(g.warnings.front(), "50");
    // Without a height the lines still have a bound.
    Grid unsized = newGrid();
    for (int64_t i = 0; i < kMaxRows + 10; ++i)
        lineFeed(unsized);
    EXPECT_EQ(unsized.lines.size(), kMaxRows);
    EXPECT_EQ(unsized.cursor.row, kMaxRows - 1);
    // A client that reports no height does not wipe the history.
    Grid full = screenGrid(10, 4, 100);
    for (int i = 0; i < 200; ++i)
        lineFeed(full);
    resize(full, 10, 0);
    EXPECT_EQ(full.lines.size(), 104);
    resize(full, 10, 4);
    EXPECT_EQ(full.lines.size(), 104);
    // A huge scrollback limit does not overflow.
    Grid big = newGrid(10, 2, INT64_MAX);
    lineFeed(big);
    lineFeed(big);
    EXPECT_EQ(big.lines.size(), 3);
}

}  // namespace
