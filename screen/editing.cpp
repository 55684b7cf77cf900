#include "screen/editing.h"

#include <algorithm>

#include "screen/params.h"

namespace screen {

namespace {

// The cursor column as far as editing can reach (the cursor may stand
// past the last column while a wrap is pending).
size_t editColumn(const Grid& g) {
    return size_t(std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g) + 1));
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
void eraseRow(Grid& g, LineIndex i) {
    Row fill = scrolledInRow(g);
    g.screen.lines.set(i, std::move(fill));
}

void eraseToEnd(Grid& g, Row& row, size_t col) {
    if (g.state.pen.bg == kColorDefault) {
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
    if (g.state.pen.bg == kColorDefault) {
        size_t to = std::min(col + 1, row.size());
        eraseCells(row, 0, to, Cell());
        return;
    }
    size_t to = std::min(col + 1, size_t(columnLimit(g)));
    eraseCells(row, 0, to, eraseBlank(g, row));
}

}  // namespace

void backspace(Grid& g) {
    g.cursor.pendingWrap = false;
    if (g.cursor.col > 0) --g.cursor.col;
    g.cursor.col = std::min(g.cursor.col, columnLimit(g) - 1);
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
    if (g.state.pen.bg == kColorDefault) {
        eraseCells(row, col, std::min(end, row.size()), Cell());
    } else {
        eraseCells(row, col, end, eraseBlank(g, row));
    }
}

void insertLines(Grid& g, int64_t n) {
    auto [top, bottom] = scrollBounds(g);
    if (g.cursor.row < top || g.cursor.row > bottom) return;
    scrollRegionDown(g, g.cursor.row, bottom, std::max<int64_t>(n, 1));
}

void deleteLines(Grid& g, int64_t n) {
    auto [top, bottom] = scrollBounds(g);
    if (g.cursor.row < top || g.cursor.row > bottom) return;
    scrollRegionUp(g, g.cursor.row, bottom, std::max<int64_t>(n, 1));
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
            eraseRow(g, g.cursor.row);
            break;
        default:
            break;
    }
}

void eraseDisplay(Grid& g, int64_t mode) {
    if (mode < 0 || mode > 2) return;
    cursorLine(g);
    const LineIndex top = screenTop(g);
    // A painted erase covers every screen row, including rows the screen
    // has not grown yet (the alternate screen starts with one).
    if (g.state.pen.bg != kColorDefault && g.height > 0) ensureRow(g, lastScreenRow(g));
    size_t col = editColumn(g);
    if (mode == 0) {
        Row& row = g.screen.lines.edit(g.cursor.row);
        if (g.state.pen.bg == kColorDefault) {
            eraseCells(row, col, row.size(), Cell());
        } else {
            eraseToEnd(g, row, col);
        }
        for (LineIndex i = g.cursor.row + 1; i < g.screen.lines.end(); ++i)
            eraseRow(g, i);
    } else if (mode == 1) {
        for (LineIndex i = top; i < g.cursor.row; ++i)
            eraseRow(g, i);
        eraseToCursor(g, g.screen.lines.edit(g.cursor.row), col);
    } else {
        for (LineIndex i = top; i < g.screen.lines.end(); ++i)
            eraseRow(g, i);
    }
}

void eraseScrollback(Grid& g) {
    // On the alternate screen the history is the main screen's.
    ScreenBuffer& main = mainScreen(g);
    const int64_t k = historyLength(main.lines, g.height);
    for (int64_t i = 0; i < k; ++i)
        main.lines.popFront();
    if (altShown(g)) {
        main.cursorRow = max(main.cursorRow - k, LineIndex{0});
        return;
    }
    g.cursor.row = max(g.cursor.row - k, LineIndex{0});
    // The margins are line indexes: they move with their lines.
    if (g.margins.top > LineIndex{0}) g.margins.top = max(g.margins.top - k, LineIndex{0});
    if (g.margins.bottom > LineIndex{0}) g.margins.bottom = max(g.margins.bottom - k, LineIndex{0});
}

void screenAlignment(Grid& g) {
    g.margins = Margins();
    const LineIndex top = screenTop(g);
    if (g.height > 0) ensureRow(g, lastScreenRow(g));
    Row filled;
    filled.padTo(size_t(columnLimit(g) < kMaxColumns ? columnLimit(g) : 0),
                 Cell::make('E', 1, Pen{}));
    for (LineIndex i = top; i < g.screen.lines.end(); ++i)
        g.screen.lines.set(i, filled);
    g.cursor.row = top;
    g.cursor.col = 0;
    g.cursor.pendingWrap = false;
}

void reverseIndex(Grid& g) {
    auto [top, bottom] = scrollBounds(g);
    if (g.cursor.row == top) {
        scrollRegionDown(g, top, bottom, 1);
    } else if (g.cursor.row > screenTop(g)) {
        --g.cursor.row;
    }
}

void setScrollRegion(Grid& g, std::optional<std::pair<ScreenRow, ScreenRow>> rows) {
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
    ensureRow(g, g.cursor.row);
}

}  // namespace screen
