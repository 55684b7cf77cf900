#include "screen/placement.h"

#include <algorithm>

#include "screen/editing.h"

namespace screen {

namespace {

struct Range {
    int32_t from, to;
};

constexpr Range kWide[] = {
    {0x1100, 0x115f}, {0x2329, 0x232a}, {0x2e80, 0x303e},   {0x3040, 0xa4cf},
    {0xac00, 0xd7a3}, {0xf900, 0xfaff}, {0xfe10, 0xfe19},   {0xfe30, 0xfe6f},
    {0xff00, 0xff60}, {0xffe0, 0xffe6}, {0x1f300, 0x1faff}, {0x20000, 0x3fffd},
};

constexpr Range kCombining[] = {
    {0x0300, 0x036f}, {0x1ab0, 0x1aff}, {0x1dc0, 0x1dff}, {0x20d0, 0x20ff}, {0xfe20, 0xfe2f},
};

template <size_t N>
bool inRanges(const Range (&ranges)[N], int32_t r) {
    for (const Range& x : ranges) {
        if (r < x.from) return false;
        if (r <= x.to) return true;
    }
    return false;
}

// The cell that is about to be written at col, of width w, must not leave
// half of a wide character behind.
void prepareCells(Row& row, size_t col, int w) {
    row.detachWide(col, col + size_t(w));
}

}  // namespace

bool isWide(int32_t rune) {
    return rune >= 0x1100 && inRanges(kWide, rune);
}

bool isCombining(int32_t rune) {
    return rune >= 0x300 && inRanges(kCombining, rune);
}

int displayWidth(int32_t rune) {
    if (isCombining(rune)) return 0;
    return isWide(rune) ? 2 : 1;
}

void appendCombining(Grid& g, int32_t mark) {
    Row& row = cursorLine(g);
    if (g.cursor.col >= 1 && size_t(g.cursor.col - 1) < row.size()) {
        row.addMark(size_t(g.cursor.col - 1), mark);
        return;
    }
    if (g.cursor.row >= 1 && g.lines.rowSize(g.cursor.row - 1) > 0) {
        Row& above = g.lines.edit(g.cursor.row - 1);
        above.addMark(above.size() - 1, mark);
        return;
    }
    if (int64_t(row.size()) > kMaxColumns) return;
    row.put(row.size(), mark, 0, g.pen);
}

void putRune(Grid& g, int32_t rune) {
    cursorLine(g);
    if (isCombining(rune)) {
        appendCombining(g, rune);
        return;
    }
    int w = isWide(rune) ? 2 : 1;
    // A character wider than the screen has nowhere to go; terminals drop it.
    if (g.cols > 0 && w > columnLimit(g)) return;
    g.cursor.col = std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g) + 1);
    if (g.cursor.pendingWrap) wrapLine(g);
    if (g.cols > 0) {
        int64_t cols = columnLimit(g);
        if (g.cursor.col > 0 && g.cursor.col + w > cols) {
            if (g.cursor.col < cols && g.modes.autowrap)
                wrapLine(g);
            else
                g.cursor.col = cols - w;
        }
    } else if (g.cursor.col + w > kMaxColumns) {
        // No width set: nothing wraps, but the row has a bound.
        g.cursor.col = kMaxColumns - w;
    }
    if (g.modes.insert) insertChars(g, w);
    Row& row = cursorLine(g);
    size_t col = size_t(g.cursor.col);
    row.padTo(col);
    prepareCells(row, col, w);
    row.put(col, rune, w, g.pen);
    if (w == 2) row.put(col + 1, Cell::make(0, 0, g.pen));
    g.cursor.col += w;
    if (g.cols > 0 && g.cursor.col >= g.cols) {
        // Without autowrap the cursor stays on the last column and the next
        // character overwrites it.
        g.cursor.pendingWrap = g.modes.autowrap;
        if (!g.modes.autowrap) g.cursor.col = g.cols - 1;
    } else {
        g.cursor.pendingWrap = false;
    }
}

void putAscii(Grid& g, const char* bytes, size_t n) {
    Cell pen = Cell::make(0, 1, g.pen);
    while (n > 0) {
        if (g.cursor.pendingWrap) wrapLine(g);
        int64_t limit = columnLimit(g);
        if (g.cursor.col < 0 || g.cursor.col >= limit) {
            // At or past the edge without a pending wrap: the general rule.
            putRune(g, static_cast<unsigned char>(*bytes));
            ++bytes;
            --n;
            continue;
        }
        size_t col = size_t(g.cursor.col);
        size_t m = std::min(n, size_t(limit - g.cursor.col));
        Row& row = cursorLine(g);
        row.padTo(col);
        row.detachWide(col, col + m);
        row.putAscii(col, bytes, m, pen);
        bytes += m;
        n -= m;
        g.cursor.col += int64_t(m);
        g.cursor.pendingWrap = g.cols > 0 && g.cursor.col >= g.cols;
        if (g.cols <= 0 && n > 0) {
            // No width: the rest overwrites the last column.
            bytes += n - 1;
            n = 1;
        }
    }
}

}  // namespace screen
