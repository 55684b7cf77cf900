// The writer's editing at the cursor: inserting and deleting characters
// and lines, erasing, the alignment test.
//
// Blanks follow terminals: cells never written are default blanks, and
// cells that erasing, inserting or deleting produce take the pen's
// background and nothing else, so a program that paints a coloured bar
// with an erase gets its bar. No operation leaves half a wide character.
#include <algorithm>

#include "screen/writer.h"

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

}  // namespace

// A whole row erased: empty, or painted to the width.
void Writer::eraseRow(LineIndex i) {
    Row fill = scrolledInRow(g_);
    g_.screen.lines.set(i, std::move(fill));
}

void Writer::eraseToEnd(Row& row, size_t col) {
    const Grid& g = g_;
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

void Writer::eraseToCursor(Row& row, size_t col) {
    const Grid& g = g_;
    if (g.state.pen.bg == kColorDefault) {
        size_t to = std::min(col + 1, row.size());
        eraseCells(row, 0, to, Cell());
        return;
    }
    size_t to = std::min(col + 1, size_t(columnLimit(g)));
    eraseCells(row, 0, to, eraseBlank(g, row));
}

void Writer::insertChars(int64_t n) {
    const Grid& g = g_;
    Row& row = cursorLine();
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

void Writer::deleteChars(int64_t n) {
    const Grid& g = g_;
    Row& row = cursorLine();
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

void Writer::eraseChars(int64_t n) {
    const Grid& g = g_;
    Row& row = cursorLine();
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

void Writer::insertLines(int64_t n) {
    auto [top, bottom] = scrollBounds(g_);
    if (g_.cursor.row < top || g_.cursor.row > bottom) return;
    scrollDown(g_.cursor.row, bottom, std::max<int64_t>(n, 1));
}

void Writer::deleteLines(int64_t n) {
    auto [top, bottom] = scrollBounds(g_);
    if (g_.cursor.row < top || g_.cursor.row > bottom) return;
    scrollUp(g_.cursor.row, bottom, std::max<int64_t>(n, 1));
}

void Writer::eraseLine(int64_t mode) {
    Row& row = cursorLine();
    size_t col = editColumn(g_);
    switch (mode) {
        case 0:
            eraseToEnd(row, col);
            break;
        case 1:
            eraseToCursor(row, col);
            break;
        case 2:
            eraseRow(g_.cursor.row);
            break;
        default:
            break;
    }
}

void Writer::eraseDisplay(int64_t mode) {
    Grid& g = g_;
    if (mode < 0 || mode > 2) return;
    cursorLine();
    const LineIndex top = screenTop(g);
    // A painted erase covers every screen row, including rows the screen
    // has not grown yet (the alternate screen starts with one).
    if (g.state.pen.bg != kColorDefault && g.height > 0) ensureRow(lastScreenRow(g));
    size_t col = editColumn(g);
    if (mode == 0) {
        Row& row = g.screen.lines.edit(g.cursor.row);
        if (g.state.pen.bg == kColorDefault) {
            eraseCells(row, col, row.size(), Cell());
        } else {
            eraseToEnd(row, col);
        }
        for (LineIndex i = g.cursor.row + 1; i < g.screen.lines.end(); ++i)
            eraseRow(i);
    } else if (mode == 1) {
        for (LineIndex i = top; i < g.cursor.row; ++i)
            eraseRow(i);
        eraseToCursor(g.screen.lines.edit(g.cursor.row), col);
    } else {
        for (LineIndex i = top; i < g.screen.lines.end(); ++i)
            eraseRow(i);
    }
}

void Writer::alignmentTest() {
    Grid& g = g_;
    g.margins = Margins();
    const LineIndex top = screenTop(g);
    if (g.height > 0) ensureRow(lastScreenRow(g));
    Row filled;
    filled.padTo(size_t(columnLimit(g) < kMaxColumns ? columnLimit(g) : 0),
                 Cell::make('E', 1, Pen{}));
    for (LineIndex i = top; i < g.screen.lines.end(); ++i)
        g.screen.lines.set(i, filled);
    g.cursor.row = top;
    g.cursor.col = 0;
    g.cursor.pendingWrap = false;
}

}  // namespace screen
