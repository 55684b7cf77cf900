#include "screen/editing.h"

#include <algorithm>

#include "screen/params.h"

namespace screen {

namespace {

// The cursor column as far as editing can reach (the cursor may stand
// past the last column while a wrap is pending).
size_t editColumn(const Grid& g) {
    return size_t(std::clamp<int64_t>(g.cursorCol, 0, columnLimit(g) + 1));
}

// Sets cells [from, to) to blank, creating them if needed (cells before
// from that never existed become default blanks).
void eraseCells(Row& row, size_t from, size_t to, Cell blank) {
    if (from >= to) return;
    row.padTo(from);
    row.detachWide(from, to);
    row.padTo(to, blank);
    row.fill(from, to, blank);
}

// A whole row erased: empty, or painted to the width.
void eraseRow(Grid& g, int64_t i) {
    Row fill = scrolledInRow(g);
    g.lines.set(i, std::move(fill));
}

void eraseToEnd(Grid& g, Row& row, size_t col) {
    if (g.bg == kColorDefault) {
        if (col < row.size()) {
            row.detachWide(col, row.size());
            row.truncate(col);
        }
        return;
    }
    size_t end = std::max(row.size(), size_t(g.cols > 0 ? columnLimit(g) : 0));
    eraseCells(row, col, end, eraseBlank(g, row));
}

void eraseToCursor(Grid& g, Row& row, size_t col) {
    if (g.bg == kColorDefault) {
        size_t to = std::min(col + 1, row.size());
        eraseCells(row, 0, to, Cell());
        return;
    }
    size_t to = std::min(col + 1, size_t(columnLimit(g)));
    eraseCells(row, 0, to, eraseBlank(g, row));
}

}  // namespace

void tab(Grid& g) {
    // A pending wrap stays pending: the tab has nowhere to go.
    if (g.pendingWrap) return;
    int64_t w = std::max<int64_t>(g.tabWidth, 1);
    int64_t last = columnLimit(g) - 1;
    int64_t col = std::clamp<int64_t>(g.cursorCol, 0, last);
    // w * (col / w + 1) cannot overflow: col is below kMaxColumns.
    int64_t target = std::min(w * (col / w + 1), last);
    if (target <= col) {
        g.cursorCol = col;
        return;
    }
    // The tab moves over existing cells without changing them.
    cursorLine(g).padTo(size_t(target));
    g.cursorCol = target;
}

void backspace(Grid& g) {
    g.pendingWrap = false;
    if (g.cursorCol > 0) --g.cursorCol;
    g.cursorCol = std::min(g.cursorCol, columnLimit(g) - 1);
}

void insertChars(Grid& g, int64_t n) {
    Row& row = cursorLine(g);
    size_t limit = size_t(columnLimit(g));
    size_t col = std::min(editColumn(g), limit);
    size_t count = size_t(std::clamp<int64_t>(n, 1, int64_t(limit)));
    row.padTo(col);
    if (row.isWideRight(col)) row.fill(col - 1, col + 1, Cell());
    row.insert(col, count, eraseBlank(g, row));
    if (row.size() > limit) {
        if (row.isWideLeft(limit - 1)) row.fill(limit - 1, limit, Cell());
        row.truncate(limit);
    }
}

void deleteChars(Grid& g, int64_t n) {
    Row& row = cursorLine(g);
    size_t col = editColumn(g);
    size_t limit = size_t(columnLimit(g));
    size_t count = size_t(std::clamp<int64_t>(n, 1, int64_t(limit)));
    if (col < row.size()) {
        size_t k = std::min(count, row.size() - col);
        row.detachWide(col, col + k);
        row.erase(col, k);
    }
    if (g.cols > 0 && row.size() < limit) {
        // The columns the deletion vacates at the right edge take the
        // erase blank; cells that never existed before them stay default.
        size_t painted = std::max(col, limit > count ? limit - count : 0);
        row.padTo(std::min(painted, limit));
        row.padTo(limit, eraseBlank(g, row));
    }
}

void eraseChars(Grid& g, int64_t n) {
    Row& row = cursorLine(g);
    size_t limit = size_t(columnLimit(g));
    size_t col = editColumn(g);
    if (col >= limit) return;
    size_t end = col + size_t(std::clamp<int64_t>(n, 1, int64_t(limit - col)));
    if (g.bg == kColorDefault) {
        eraseCells(row, col, std::min(end, row.size()), Cell());
    } else {
        eraseCells(row, col, end, eraseBlank(g, row));
    }
}

void insertLines(Grid& g, int64_t n) {
    auto [top, bottom] = scrollBounds(g);
    if (g.cursorRow < top || g.cursorRow > bottom) return;
    scrollRegionDown(g, g.cursorRow, bottom, std::max<int64_t>(n, 1));
}

void deleteLines(Grid& g, int64_t n) {
    auto [top, bottom] = scrollBounds(g);
    if (g.cursorRow < top || g.cursorRow > bottom) return;
    scrollRegionUp(g, g.cursorRow, bottom, std::max<int64_t>(n, 1));
}

void eraseLine(Grid& g, int64_t mode) {
    Row& row = cursorLine(g);
    size_t col = editColumn(g);
    switch (mode) {
        case 0:
            eraseToEnd(g, row, col);
            break;
        case 1:
            eraseToCursor(g, row, col);
            break;
        case 2:
            eraseRow(g, g.cursorRow);
            break;
        default:
            break;
    }
}

void eraseDisplay(Grid& g, int64_t mode) {
    if (mode < 0 || mode > 2) return;
    cursorLine(g);
    int64_t top = screenTop(g);
    // A painted erase covers every screen row, including rows the screen
    // has not grown yet (the alternate screen starts with one).
    if (g.bg != kColorDefault && g.height > 0) ensureRow(g, lastScreenRow(g));
    size_t col = editColumn(g);
    if (mode == 0) {
        Row& row = g.lines.edit(g.cursorRow);
        if (g.bg == kColorDefault) {
            eraseCells(row, col, row.size(), Cell());
        } else {
            eraseToEnd(g, row, col);
        }
        for (int64_t i = g.cursorRow + 1; i < g.lines.size(); ++i)
            eraseRow(g, i);
    } else if (mode == 1) {
        for (int64_t i = top; i < g.cursorRow; ++i)
            eraseRow(g, i);
        eraseToCursor(g, g.lines.edit(g.cursorRow), col);
    } else {
        for (int64_t i = top; i < g.lines.size(); ++i)
            eraseRow(g, i);
    }
}

void eraseScrollback(Grid& g) {
    // On the alternate screen the history is the main screen's.
    Grid& main = g.altActive && g.savedMain ? *g.savedMain : g;
    int64_t k = screenTop(main);
    for (int64_t i = 0; i < k; ++i)
        main.lines.popFront();
    main.cursorRow = std::max<int64_t>(main.cursorRow - k, 0);
    if (main.scrollTop > 0) main.scrollTop = std::max<int64_t>(main.scrollTop - k, 0);
    if (main.scrollBottom > 0) main.scrollBottom = std::max<int64_t>(main.scrollBottom - k, 0);
    if (&main != &g) g.altSavedRow = std::max<int64_t>(g.altSavedRow - k, 0);
}

void screenAlignment(Grid& g) {
    g.scrollTop = 0;
    g.scrollBottom = 0;
    int64_t top = screenTop(g);
    if (g.height > 0) ensureRow(g, lastScreenRow(g));
    Row filled;
    filled.padTo(size_t(columnLimit(g) < kMaxColumns ? columnLimit(g) : 0),
                 Cell::make('E', 1, Pen{}));
    for (int64_t i = top; i < g.lines.size(); ++i)
        g.lines.set(i, filled);
    g.cursorRow = top;
    g.cursorCol = 0;
    g.pendingWrap = false;
}

void reverseIndex(Grid& g) {
    auto [top, bottom] = scrollBounds(g);
    if (g.cursorRow == top) {
        scrollRegionDown(g, top, bottom, 1);
    } else if (g.cursorRow > screenTop(g)) {
        --g.cursorRow;
    }
}

void setScrollRegion(Grid& g, std::string_view params) {
    int64_t top = screenTop(g);
    g.scrollTop = 0;
    g.scrollBottom = 0;
    if (!params.empty()) {
        std::vector<int64_t> p = parseParams(params);
        int64_t h =
            g.height > 0 ? std::min(g.height, kMaxRows) : std::max<int64_t>(g.lines.size(), 1);
        int64_t t = paramAt(p, 0, 1);
        int64_t b = std::min(paramAt(p, 1, h), h);
        if (t < b) {
            g.scrollTop = top + t - 1;
            g.scrollBottom = std::max(top + b - 1, g.scrollTop);
        }
    }
    g.pendingWrap = false;
    g.cursorRow = top;
    g.cursorCol = 0;
    ensureRow(g, top);
}

}  // namespace screen
