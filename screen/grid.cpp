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
    g.lines.setScreenRows(g.height > 0 ? g.height : kMaxRows);
}

// Exclusive bound of the row indexes the grid may create.
int64_t rowLimit(const Grid& g) {
    if (g.height > 0) return std::max(g.lines.size(), std::min(g.height, kMaxRows));
    return std::max(g.lines.size(), kMaxRows);
}

void scrollRows(Grid& g, int64_t top, int64_t bottom, int64_t n, bool up, const Row& fill) {
    top = std::max<int64_t>(top, 0);
    bottom = std::min(bottom, rowLimit(g) - 1);
    ensureRow(g, bottom);
    if (bottom < top) return;
    int64_t k = std::clamp<int64_t>(n, 0, bottom - top + 1);
    if (k == 0) return;
    if (up) {
        for (int64_t j = top; j + k <= bottom; ++j)
            g.lines.copyLine(j, j + k);
        for (int64_t j = bottom - k + 1; j <= bottom; ++j)
            g.lines.set(j, fill);
    } else {
        for (int64_t j = bottom; j - k >= top; --j)
            g.lines.copyLine(j, j - k);
        for (int64_t j = top; j < top + k; ++j)
            g.lines.set(j, fill);
    }
}

// One line down, scrolling where needed; fillScrolled paints a row that
// scrolling brings in (not done for an automatic wrap).
void advance(Grid& g, bool fillScrolled) {
    auto [top, bottom] = scrollBounds(g);
    bool region = regionActive(g);
    Row fill = fillScrolled ? scrolledInRow(g) : Row();
    if (region && g.cursorRow == bottom && g.cursorRow >= top) {
        scrollRows(g, top, bottom, 1, true, fill);
        return;
    }
    // Below a region on the last screen row a terminal neither scrolls
    // nor grows.
    if (region && g.height > 0 && g.cursorRow >= lastScreenRow(g)) return;
    g.cursorRow = std::clamp<int64_t>(g.cursorRow + 1, 0, rowLimit(g));
    while (g.lines.size() <= g.cursorRow) {
        bool scrolls = g.lines.size() >= (g.height > 0 ? g.height : kMaxRows);
        g.lines.pushBack(scrolls ? fill : Row());
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
    return Cell::make(32, 1, g.pen());
}

Row blankRow() {
    return Row();
}

void ensureRow(Grid& g, int64_t row) {
    row = std::min(row, rowLimit(g) - 1);
    while (g.lines.size() <= row)
        g.lines.pushBack();
}

void ensureThrough(Grid& g, int64_t row) {
    ensureRow(g, row);
}

void padTo(Row& row, int64_t n, uint8_t fg, uint8_t bg, uint8_t fgIndex, uint8_t bgIndex,
           uint16_t attrs) {
    n = std::min(n, kMaxColumns + 1);
    if (n > 0) row.padTo(size_t(n), Cell::make(32, 1, Pen{fg, bg, fgIndex, bgIndex, attrs}));
}

int64_t screenTop(const Grid& g) {
    return g.height > 0 ? std::max<int64_t>(0, g.lines.size() - g.height) : 0;
}

int64_t lastScreenRow(const Grid& g) {
    return g.height > 0 ? screenTop(g) + std::min(g.height, kMaxRows) - 1 : kMaxRows - 1;
}

int64_t clampRow(const Grid& g, int64_t row) {
    return std::clamp<int64_t>(row, 0, rowLimit(g) - 1);
}

bool regionActive(const Grid& g) {
    return g.scrollTop > 0 || g.scrollBottom > 0;
}

int64_t scrollBottomDefault(const Grid& g) {
    if (g.scrollBottom > 0) return g.scrollBottom;
    if (g.height > 0) return lastScreenRow(g);
    return std::max<int64_t>(g.lines.size() - 1, 0);
}

std::pair<int64_t, int64_t> scrollBounds(const Grid& g) {
    int64_t top = regionActive(g) ? std::max<int64_t>(g.scrollTop, 0) : screenTop(g);
    int64_t bottom = std::max(scrollBottomDefault(g), top);
    return {top, bottom};
}

void scrollRegionUp(Grid& g, int64_t top, int64_t bottom, int64_t n) {
    scrollRows(g, top, bottom, n, true, scrolledInRow(g));
}

void scrollRegionDown(Grid& g, int64_t top, int64_t bottom, int64_t n) {
    scrollRows(g, top, bottom, n, false, scrolledInRow(g));
}

void trimScrollback(Grid& g) {
    // Without a height the lines still have a bound; on the main screen it
    // leaves room for the history, so a zero size does not wipe it.
    int64_t rows = g.height > 0 ? g.height : kMaxRows;
    int64_t limit = g.altActive ? rows : satAdd(rows, std::max<int64_t>(g.maxScrollback, 0));
    while (g.lines.size() > limit) {
        g.lines.popFront();
        g.cursorRow = std::max<int64_t>(g.cursorRow - 1, 0);
        if (!g.altActive) {
            // The margins belong to their lines.
            if (g.scrollTop > 0) --g.scrollTop;
            if (g.scrollBottom > 0) --g.scrollBottom;
        }
    }
}

void lineFeed(Grid& g) {
    advance(g, true);
    g.cursorCol = 0;
    g.pendingWrap = false;
}

void indexLine(Grid& g) {
    advance(g, true);
}

void wrapLine(Grid& g) {
    advance(g, false);
    g.cursorCol = 0;
    g.pendingWrap = false;
}

void copyGridState(Grid& dst, const Grid& src) {
    if (&dst == &src) return;
    dst.lines = src.lines;
    dst.cursorRow = src.cursorRow;
    dst.cursorCol = src.cursorCol;
    dst.cols = src.cols;
    dst.height = src.height;
    dst.maxScrollback = src.maxScrollback;
    dst.tabWidth = src.tabWidth;
    dst.scrollTop = src.scrollTop;
    dst.scrollBottom = src.scrollBottom;
    dst.pendingWrap = src.pendingWrap;
    dst.savedRow = src.savedRow;
    dst.savedCol = src.savedCol;
    dst.hasSavedCursor = src.hasSavedCursor;
    dst.cursorHidden = src.cursorHidden;
    dst.bracketedPaste = src.bracketedPaste;
    dst.fg = src.fg;
    dst.bg = src.bg;
    dst.fgIndex = src.fgIndex;
    dst.bgIndex = src.bgIndex;
    dst.attrs = src.attrs;
    dst.lineDrawing = src.lineDrawing;
}

void enterAltScreen(Grid& g) {
    if (g.altActive) return;
    g.altSavedRow = g.cursorRow;
    g.altSavedCol = g.cursorCol;
    if (!g.savedMain) g.savedMain = std::make_unique<Grid>();
    copyGridState(*g.savedMain, g);
    g.lines.reset(1);
    syncScreenRows(g);
    g.cursorRow = 0;
    g.cursorCol = 0;
    g.scrollTop = 0;
    g.scrollBottom = 0;
    g.pendingWrap = false;
    g.hasSavedCursor = false;
    g.syncActive = false;
    g.syncGrid.reset();
    g.altActive = true;
}

void leaveAltScreen(Grid& g, bool restore) {
    if (!g.altActive) return;
    if (!g.savedMain) {
        g.altActive = false;
        return;
    }
    int64_t altRow = g.cursorRow - screenTop(g);
    int64_t altCol = g.cursorCol;
    bool altWrap = g.pendingWrap;
    copyGridState(g, *g.savedMain);
    g.savedMain.reset();
    syncScreenRows(g);
    g.altActive = false;
    g.syncActive = false;
    g.syncGrid.reset();
    if (restore) {
        g.cursorRow = g.altSavedRow;
        // The screen may have narrowed since.
        g.cursorCol = std::min(g.altSavedCol, columnLimit(g) - 1);
        g.pendingWrap = false;
    } else {
        // The alternate screen's cursor stays where it was on the screen.
        int64_t top = screenTop(g);
        g.cursorRow = std::clamp(satAdd(top, altRow), top, lastScreenRow(g));
        g.cursorCol = altCol;
        g.pendingWrap = altWrap;
    }
    g.cursorRow = clampRow(g, g.cursorRow);
    ensureRow(g, g.cursorRow);
}

void resize(Grid& g, int64_t cols, int64_t rows) {
    cols = std::min(cols, kMaxColumns);
    rows = std::min(rows, kMaxRows);
    if (g.pendingWrap) {
        // The cursor waits just past the old last column.
        if (cols <= 0 || cols > g.cols) {
            g.cursorCol = g.cols;
            g.pendingWrap = false;
        } else {
            g.cursorCol = cols;
        }
    }
    // Without a height every line is on the screen.
    const int64_t shown = g.height > 0 ? g.height : g.lines.size();
    if (!g.altActive && rows > 0 && shown > rows) {
        // Shrinking drops the rows below the cursor first, so the screen's
        // top line stays where it is.
        int64_t drop = std::min(shown - rows, g.lines.size() - 1 - g.cursorRow);
        for (int64_t i = 0; i < drop; ++i)
            g.lines.popBack();
    }
    g.cols = cols;
    g.height = rows;
    syncScreenRows(g);
    while (g.lines.size() < rows)
        g.lines.pushBack();
    g.cursorRow = std::min(g.cursorRow, std::max<int64_t>(g.lines.size() - 1, 0));
    // A pending wrap waits just past the last column, as after writing it.
    g.cursorCol = std::min(g.cursorCol, g.pendingWrap ? cols : std::max<int64_t>(cols - 1, 0));
    trimScrollback(g);
    // The size belongs to the terminal: a main screen saved behind the
    // alternate screen, and a frame being assembled, take it too.
    if (g.savedMain) resize(*g.savedMain, cols, rows);
    if (g.syncActive && g.syncGrid) resize(*g.syncGrid, cols, rows);
}

void saveCursor(Grid& g) {
    g.savedRow = g.cursorRow - screenTop(g);
    g.savedCol = g.cursorCol;
    g.hasSavedCursor = true;
}

void restoreCursor(Grid& g) {
    if (!g.hasSavedCursor) return;
    int64_t top = screenTop(g);
    g.cursorRow = clampRow(g, std::clamp(satAdd(top, g.savedRow), top, lastScreenRow(g)));
    g.cursorCol = std::clamp<int64_t>(g.savedCol, 0, columnLimit(g) - 1);
    g.pendingWrap = false;
    ensureRow(g, g.cursorRow);
}

void addWarning(Grid& g, std::string text) {
    g.warnings.push_back(std::move(text));
    while (g.warnings.size() > kMaxWarnings)
        g.warnings.pop_front();
}

Cell eraseBlank(const Grid& g) {
    return g.bg == kColorDefault ? Cell() : Cell::eraseBlank(g.pen());
}

Row scrolledInRow(const Grid& g) {
    Row row;
    if (g.bg != kColorDefault && g.cols > 0) row.padTo(size_t(columnLimit(g)), eraseBlank(g));
    return row;
}

Row& cursorLineSlow(Grid& g) {
    g.cursorRow = clampRow(g, g.cursorRow);
    ensureRow(g, g.cursorRow);
    return g.lines.edit(g.cursorRow);
}

}  // namespace screen
