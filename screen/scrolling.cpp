// The writer's operations on the count and order of lines: line feeds,
// scrolling and the scroll region, the history's limit, and resizing,
// which refits both screens' lines. Each keeps the grid's bounds.
#include <algorithm>
#include <limits>

#include "screen/writer.h"

namespace screen {

namespace {

int64_t satAdd(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<int64_t>::max() : 0;
    return r;
}

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

void Writer::scrollRows(LineIndex top, LineIndex bottom, int64_t n, bool up, const Row& fill) {
    Grid& g = g_;
    top = max(top, LineIndex{0});
    bottom = min(bottom, rowLimit(g) - 1);
    ensureRow(bottom);
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
void Writer::scrollIntoHistory(LineIndex bottom, Row fill) {
    Grid& g = g_;
    const LineIndex last = lastScreenRow(g);
    ensureRow(last);
    g.screen.lines.pushBack(Row());
    for (LineIndex j = last + 1; j > bottom + 1; --j)
        g.screen.lines.swapLines(j, j - 1);
    g.screen.lines.set(bottom + 1, std::move(fill));
    ++g.cursor.row;
    ++g.margins.top;
    ++g.margins.bottom;
    if (trimScrollback() != 1) refreshBounds();
}

void Writer::advance(bool fillScrolled) {
    Grid& g = g_;
    auto fill = [&] { return fillScrolled ? scrolledInRow(g) : Row(); };
    if (regionActive(g)) {
        auto [top, bottom] = scrollBounds(g);
        if (g.cursor.row == bottom && g.cursor.row >= top) {
            if (top == screenTop(g) && g.height > 0 && !altShown(g) && g.maxScrollback > 0)
                return scrollIntoHistory(bottom, fill());
            scrollRows(top, bottom, 1, true, fill());
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
    int64_t added = 0;
    for (; g.screen.lines.end() <= g.cursor.row; ++added) {
        // Only a row that scrolls the screen is painted; the pen's default
        // background needs nothing.
        if (g.screen.lines.size() >= rows && fillScrolled && g.state.pen.bg != kColorDefault)
            g.screen.lines.pushBack(scrolledInRow(g));
        else
            g.screen.lines.pushBack();
    }
    // Once the history is full, a line in means a line out: the bounds
    // stay.
    if (trimScrollback() != added) refreshBounds();
}

int64_t Writer::trimScrollback() {
    Grid& g = g_;
    const int64_t n = dropOldest(g.screen.lines, lineLimit(g, !altShown(g)));
    if (n == 0) return 0;
    g.cursor.row = max(g.cursor.row - n, LineIndex{0});
    if (!altShown(g)) {
        // The margins belong to their lines.
        if (g.margins.top > LineIndex{0}) g.margins.top = max(g.margins.top - n, LineIndex{0});
        if (g.margins.bottom > LineIndex{0})
            g.margins.bottom = max(g.margins.bottom - n, LineIndex{0});
    }
    return n;
}

void Writer::lineFeed() {
    advance(true);
    g_.cursor.col = 0;
    g_.cursor.pendingWrap = false;
}

void Writer::index() {
    advance(true);
}

void Writer::wrapLine() {
    Grid& g = g_;
    if (g.cursor.row >= LineIndex{0} && g.cursor.row < g.screen.lines.end())
        g.screen.lines.edit(g.cursor.row).setWrapped(true);
    advance(false);
    g.cursor.col = 0;
    g.cursor.pendingWrap = false;
}

void Writer::reverseIndex() {
    auto [top, bottom] = scrollBounds(g_);
    if (g_.cursor.row == top) {
        scrollDown(top, bottom, 1);
    } else if (g_.cursor.row > screenTop(g_)) {
        --g_.cursor.row;
    }
}

void Writer::scrollUp(LineIndex top, LineIndex bottom, int64_t n) {
    scrollRows(top, bottom, n, true, scrolledInRow(g_));
}

void Writer::scrollDown(LineIndex top, LineIndex bottom, int64_t n) {
    scrollRows(top, bottom, n, false, scrolledInRow(g_));
}

void Writer::scrollUp(int64_t n) {
    auto [top, bottom] = scrollBounds(g_);
    scrollUp(top, bottom, n);
}

void Writer::scrollDown(int64_t n) {
    auto [top, bottom] = scrollBounds(g_);
    scrollDown(top, bottom, n);
}

void Writer::setScrollRegion(std::optional<std::pair<ScreenRow, ScreenRow>> rows) {
    Grid& g = g_;
    const ScreenView view = screenView(g);
    const Margins kept = g.margins;
    g.margins = Margins();
    if (rows) {
        int64_t h = g.height > 0 ? std::min(g.height, kMaxRows)
                                 : std::max<int64_t>(g.screen.lines.size(), 1);
        const ScreenRow t = rows->first;
        // A bottom beyond the screen means the last row, as in xterm.
        const ScreenRow b = min(rows->second, ScreenRow{h - 1});
        // Top at or below bottom: terminals ignore the sequence, margins
        // and cursor stay.
        if (t >= b) {
            g.margins = kept;
            return;
        }
        g.margins.top = view.line(t);
        g.margins.bottom = max(view.line(b), g.margins.top);
    }
    // The cursor goes home: to the top margin in origin mode.
    g.cursor.pendingWrap = false;
    g.cursor.row = g.state.modes.origin && regionActive(g) ? g.margins.top : view.top;
    g.cursor.col = 0;
    ensureRow(g.cursor.row);
}

void Writer::eraseScrollback() {
    Grid& g = g_;
    // On the alternate screen the history is the main screen's.
    ScreenBuffer& main = g.hiddenMain ? *g.hiddenMain : g.screen;
    const int64_t k = historyLength(main.lines, g.height);
    for (int64_t i = 0; i < k; ++i)
        main.lines.popFront();
    refreshBounds();
    if (altShown(g)) {
        main.cursorRow = max(main.cursorRow - k, LineIndex{0});
        return;
    }
    g.cursor.row = max(g.cursor.row - k, LineIndex{0});
    // The margins are line indexes: they move with their lines.
    if (g.margins.top > LineIndex{0}) g.margins.top = max(g.margins.top - k, LineIndex{0});
    if (g.margins.bottom > LineIndex{0}) g.margins.bottom = max(g.margins.bottom - k, LineIndex{0});
}

void Writer::resize(int64_t cols, int64_t rows) {
    Grid& g = g_;
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
    trimScrollback();
    refreshBounds();
    if (g.hiddenMain) {
        ScreenBuffer& main = *g.hiddenMain;
        int64_t n = dropOldest(main.lines, lineLimit(g, true));
        main.cursorRow = max(main.cursorRow - n, LineIndex{0});
    }
}

}  // namespace screen
