#include "screen/grid.h"

#include <algorithm>
#include <limits>

namespace screen {

namespace {

int64_t satAdd(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<int64_t>::max() : 0;
    return r;
}

// Rows that stay expanded: the screen.
void syncScreenRows(Grid& g) {
    g.screen.lines.setScreenRows(g.height > 0 ? g.height : kMaxRows);
}

void scrollRows(Grid& g, LineIndex top, LineIndex bottom, int64_t n, bool up, const Row& fill) {
    top = max(top, LineIndex{0});
    bottom = min(bottom, rowLimit(g) - 1);
    ensureRow(g, bottom);
    if (bottom < top) return;
    int64_t k = std::clamp<int64_t>(n, 0, bottom - top + 1);
    if (k == 0) return;
    // The rows move by trading places; those that leave the region end up
    // where the new ones come in, and are overwritten.
    if (up) {
        for (LineIndex j = top; j + k <= bottom; ++j)
            g.screen.lines.swapLines(j, j + k);
        for (LineIndex j = bottom - k + 1; j <= bottom; ++j)
            g.screen.lines.set(j, fill);
    } else {
        for (LineIndex j = bottom; j - k >= top; --j)
            g.screen.lines.swapLines(j, j - k);
        for (LineIndex j = top; j < top + k; ++j)
            g.screen.lines.set(j, fill);
    }
}

// A region that starts at the top of the main screen scrolls its top line
// into the history, as xterm does (and tmux): the screen moves down one
// line, the region with it, and the rows below the region keep their
// place on the screen, a fresh row opening at the region's bottom.
void scrollIntoHistory(Grid& g, LineIndex bottom, Row fill) {
    const LineIndex last = lastScreenRow(g);
    ensureRow(g, last);
    g.screen.lines.pushBack(Row());
    for (LineIndex j = last + 1; j > bottom + 1; --j)
        g.screen.lines.swapLines(j, j - 1);
    g.screen.lines.set(bottom + 1, std::move(fill));
    ++g.cursor.row;
    ++g.margins.top;
    ++g.margins.bottom;
    trimScrollback(g);
}

// One line down, scrolling where needed; fillScrolled paints a row that
// scrolling brings in (not done for an automatic wrap).
void advance(Grid& g, bool fillScrolled) {
    auto fill = [&] { return fillScrolled ? scrolledInRow(g) : Row(); };
    if (regionActive(g)) {
        auto [top, bottom] = scrollBounds(g);
        if (g.cursor.row == bottom && g.cursor.row >= top) {
            if (top == screenTop(g) && g.height > 0 && !altShown(g) && g.maxScrollback > 0)
                return scrollIntoHistory(g, bottom, fill());
            scrollRows(g, top, bottom, 1, true, fill());
            return;
        }
        // Below a region on the last screen row a terminal neither scrolls
        // nor grows.
        if (g.height > 0 && g.cursor.row >= lastScreenRow(g)) return;
    }
    const int64_t rows = g.height > 0 ? g.height : kMaxRows;
    // A full screen that keeps no history (the alternate screen, or no
    // scrollback): the top line goes without ever reaching the history.
    if ((altShown(g) || g.maxScrollback <= 0) && !regionActive(g) &&
        g.screen.lines.size() == rows && g.cursor.row + 1 == g.screen.lines.end()) {
        g.screen.lines.popFront();
        g.screen.lines.pushBack(fill());
        return;
    }
    g.cursor.row = clamp(g.cursor.row + 1, LineIndex{0}, rowLimit(g));
    while (g.screen.lines.end() <= g.cursor.row) {
        // Only a row that scrolls the screen is painted; the pen's default
        // background needs nothing.
        if (g.screen.lines.size() >= rows && fillScrolled && g.state.pen.bg != kColorDefault)
            g.screen.lines.pushBack(scrolledInRow(g));
        else
            g.screen.lines.pushBack();
    }
    trimScrollback(g);
}

}  // namespace

Grid newGrid() {
    return Grid();
}

Grid newGrid(int64_t cols, int64_t height, int64_t maxScrollback) {
    Grid g;
    g.cols = std::min(cols, kMaxColumns);
    g.height = std::min(height, kMaxRows);
    g.maxScrollback = maxScrollback;
    syncScreenRows(g);
    return g;
}

Cell blankCell(const Grid& g) {
    return Cell::make(32, 1, g.state.pen);
}

Row blankRow() {
    return Row();
}

void ensureRowSlow(Grid& g, LineIndex row) {
    row = min(row, rowLimit(g) - 1);
    while (g.screen.lines.end() <= row)
        g.screen.lines.pushBack();
}

void ensureThrough(Grid& g, LineIndex row) {
    ensureRow(g, row);
}

void padTo(Row& row, int64_t n, uint8_t fg, uint8_t bg, uint8_t fgIndex, uint8_t bgIndex,
           uint16_t attrs) {
    n = std::min(n, kMaxColumns + 1);
    if (n > 0) row.padTo(size_t(n), Cell::make(32, 1, Pen{fg, bg, fgIndex, bgIndex, attrs}));
}

LineIndex scrollBottomDefault(const Grid& g) {
    if (g.margins.bottom > LineIndex{0}) return g.margins.bottom;
    if (g.height > 0) return lastScreenRow(g);
    return max(g.screen.lines.end() - 1, LineIndex{0});
}

std::pair<LineIndex, LineIndex> scrollBounds(const Grid& g) {
    const LineIndex top = regionActive(g) ? max(g.margins.top, LineIndex{0}) : screenTop(g);
    const LineIndex bottom = max(scrollBottomDefault(g), top);
    return {top, bottom};
}

void scrollRegionUp(Grid& g, LineIndex top, LineIndex bottom, int64_t n) {
    scrollRows(g, top, bottom, n, true, scrolledInRow(g));
}

void scrollRegionDown(Grid& g, LineIndex top, LineIndex bottom, int64_t n) {
    scrollRows(g, top, bottom, n, false, scrolledInRow(g));
}

namespace {

// The most lines a screen holds: its rows, and on the main screen the
// history besides. Without a height the lines still have a bound; on the
// main screen it leaves room for the history, so a zero size does not wipe
// it.
int64_t lineLimit(const Grid& g, bool mainScreen) {
    const int64_t rows = g.height > 0 ? g.height : kMaxRows;
    return mainScreen ? satAdd(rows, std::max<int64_t>(g.maxScrollback, 0)) : rows;
}

// Drops the oldest lines beyond limit; how many went.
int64_t dropOldest(Lines& lines, int64_t limit) {
    int64_t n = 0;
    for (; lines.size() > limit; ++n)
        lines.popFront();
    return n;
}

// A screen's lines fitted to a new height: growing adds empty rows;
// shrinking a screen with a history drops the rows below the cursor first,
// so that the screen's top line stays where it is and the rows above go
// into the history (without one, the top rows go when the lines are
// trimmed to the screen).
void fitLines(Lines& lines, LineIndex& cursorRow, int64_t oldHeight, int64_t rows,
              bool dropBelowCursor) {
    // Without a height every line is on the screen.
    const int64_t shown = oldHeight > 0 ? oldHeight : lines.size();
    if (dropBelowCursor && rows > 0 && shown > rows) {
        int64_t drop = std::min(shown - rows, lines.end() - 1 - cursorRow);
        for (int64_t i = 0; i < drop; ++i)
            lines.popBack();
    }
    lines.setScreenRows(rows > 0 ? rows : kMaxRows);
    while (lines.size() < rows)
        lines.pushBack();
    cursorRow = min(cursorRow, max(lines.end() - 1, LineIndex{0}));
}

}  // namespace

void trimScrollback(Grid& g) {
    const int64_t n = dropOldest(g.screen.lines, lineLimit(g, !altShown(g)));
    if (n == 0) return;
    g.cursor.row = max(g.cursor.row - n, LineIndex{0});
    if (!altShown(g)) {
        // The margins belong to their lines.
        if (g.margins.top > LineIndex{0}) g.margins.top = max(g.margins.top - n, LineIndex{0});
        if (g.margins.bottom > LineIndex{0})
            g.margins.bottom = max(g.margins.bottom - n, LineIndex{0});
    }
}

void lineFeed(Grid& g) {
    advance(g, true);
    g.cursor.col = 0;
    g.cursor.pendingWrap = false;
}

void indexLine(Grid& g) {
    advance(g, true);
}

void wrapLine(Grid& g) {
    if (g.cursor.row >= LineIndex{0} && g.cursor.row < g.screen.lines.end())
        g.screen.lines.edit(g.cursor.row).setWrapped(true);
    advance(g, false);
    g.cursor.col = 0;
    g.cursor.pendingWrap = false;
}

namespace {

// The margins moved from one screen's line indexes to another's: they are
// kept as screen rows across a switch, as terminals keep the region.
void moveMargins(Grid& g, ScreenView from, ScreenView to) {
    if (!regionActive(g)) return;
    g.margins.top = max(to.line(from.row(g.margins.top)), LineIndex{0});
    g.margins.bottom = max(to.line(from.row(g.margins.bottom)), LineIndex{0});
}

}  // namespace

void enterAltScreen(Grid& g, bool saveMainCursor) {
    if (altShown(g)) return;
    if (saveMainCursor) g.screen.savedBy1049 = currentCursor(g);
    // Where the main screen begins, asked before its lines move away.
    const ScreenView main = screenView(g);
    const ScreenRow row = main.row(g.cursor.row);
    // The main screen moves behind the alternate one, uncopied, with its
    // cursor row, so that a resize meanwhile treats it as it treats the
    // screen shown instead of dropping its lines. The cursor, the pen, the
    // modes and the region stay as they are; the new screen is blank and
    // has no history.
    g.screen.cursorRow = g.cursor.row;
    g.hiddenMain = std::exchange(g.screen, ScreenBuffer());
    syncScreenRows(g);
    const ScreenView alt = screenView(g);
    g.cursor.row = clampRow(g, alt.line(row));
    ensureRow(g, g.cursor.row);
    moveMargins(g, main, alt);
}

void leaveAltScreen(Grid& g, bool restore) {
    if (altShown(g)) {
        const ScreenView alt = screenView(g);
        const ScreenRow row = alt.row(g.cursor.row);
        // The alternate screen goes, the main screen comes back.
        g.screen = std::move(*g.hiddenMain);
        g.hiddenMain.reset();
        syncScreenRows(g);
        // The alternate screen's cursor stays where it was on the screen.
        const ScreenView main = screenView(g);
        g.cursor.row = clamp(main.line(row), main.top, lastScreenRow(g));
        moveMargins(g, alt, main);
    }
    // 1049 brings back what it saved, as ESC 8 does (position, pen,
    // character sets, origin mode), even when the alternate screen is not
    // shown, as terminals do.
    SavedCursor c = currentCursor(g);
    if (restore && g.screen.savedBy1049) {
        c = *g.screen.savedBy1049;
        c.pendingWrap = false;
    }
    // Within the screen, whatever width it has now.
    placeCursor(g, c);
}

void resize(Grid& g, int64_t cols, int64_t rows) {
    cols = std::min(cols, kMaxColumns);
    rows = std::min(rows, kMaxRows);
    if (g.cursor.pendingWrap) {
        // The cursor waits just past the old last column.
        if (cols <= 0 || cols > g.cols) {
            g.cursor.col = g.cols;
            g.cursor.pendingWrap = false;
        } else {
            g.cursor.col = cols;
        }
    }
    // The alternate screen has no history to keep its top line in.
    fitLines(g.screen.lines, g.cursor.row, g.height, rows, !altShown(g));
    // The size belongs to the terminal: a main screen behind the alternate
    // screen takes it too.
    if (g.hiddenMain) fitLines(g.hiddenMain->lines, g.hiddenMain->cursorRow, g.height, rows, true);
    // A new width brings the default tab stops back, a new size the full
    // screen as the scroll region, as terminals do.
    if (cols != g.cols) g.state.tabs = TabStops();
    if (cols != g.cols || rows != g.height) g.margins = Margins();
    g.cols = cols;
    g.height = rows;
    // A pending wrap waits just past the last column, as after writing it.
    g.cursor.col =
        std::min(g.cursor.col, g.cursor.pendingWrap ? cols : std::max<int64_t>(cols - 1, 0));
    trimScrollback(g);
    if (g.hiddenMain) {
        ScreenBuffer& main = *g.hiddenMain;
        int64_t n = dropOldest(main.lines, lineLimit(g, true));
        main.cursorRow = max(main.cursorRow - n, LineIndex{0});
    }
}

SavedCursor currentCursor(const Grid& g) {
    return g.state.cursorAt(screenView(g).row(g.cursor.row), g.cursor.col, g.cursor.pendingWrap);
}

void placeCursor(Grid& g, const SavedCursor& c) {
    const ScreenView view = screenView(g);
    const ScreenRow row = clamp(c.row, ScreenRow{0}, view.row(lastScreenRow(g)));
    g.cursor.row = clampRow(g, view.line(row));
    int64_t last = columnLimit(g) - 1;
    // A pending wrap comes back only where it can still be pending, and
    // waits just past the last column, as after writing it.
    g.cursor.pendingWrap = c.pendingWrap && c.col >= last && g.cols > 0;
    g.cursor.col = g.cursor.pendingWrap ? last + 1 : std::clamp<int64_t>(c.col, 0, last);
    g.state.restore(c);
    ensureRow(g, g.cursor.row);
}

void saveCursor(Grid& g) {
    g.state.savedCursor = currentCursor(g);
}

void restoreCursor(Grid& g) {
    placeCursor(g, g.state.savedCursor.value_or(SavedCursor()));
}

void addWarning(Grid& g, std::string text) {
    g.warnings.push_back(std::move(text));
    while (g.warnings.size() > kMaxWarnings)
        g.warnings.pop_front();
}

Row scrolledInRow(const Grid& g) {
    Row row;
    if (g.state.pen.bg != kColorDefault && g.cols > 0)
        row.padTo(size_t(columnLimit(g)), row.eraseCell(g.state.pen));
    return row;
}

Row& cursorLineSlow(Grid& g) {
    g.cursor.row = clampRow(g, g.cursor.row);
    ensureRow(g, g.cursor.row);
    return g.screen.lines.edit(g.cursor.row);
}

}  // namespace screen
