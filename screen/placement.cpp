#include "screen/placement.h"

#include <algorithm>
#include <iterator>

#include "screen/widths_table.h"

namespace screen {

namespace {

template <size_t N>
bool inRanges(const WidthRange (&ranges)[N], int32_t r) {
    // The first range that ends at or after r.
    const WidthRange* it =
        std::lower_bound(std::begin(ranges), std::end(ranges), r,
                         [](const WidthRange& x, int32_t v) { return x.to < v; });
    return it != std::end(ranges) && it->from <= r;
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
    return rune >= 0x300 && inRanges(kZeroWidth, rune);
}

bool isTextEmoji(int32_t rune) {
    return rune >= 0xa9 && inRanges(kEmojiText, rune);
}

int displayWidth(int32_t rune) {
    if (isCombining(rune)) return 0;
    return isWide(rune) ? 2 : 1;
}

void appendCombining(Grid& g, int32_t mark) {
    Row& row = cursorLine(g);
    if (g.cursorCol >= 1 && size_t(g.cursorCol - 1) < row.size()) {
        // After a wide character the mark joins its left half.
        size_t at = size_t(g.cursorCol - 1);
        if (row.isWideRight(at)) --at;
        row.addMark(at, mark);
        // A variation selector 16 shows a text emoji as an emoji, two
        // columns wide, when the line has room for it.
        if (mark == 0xfe0f && row[at].width() == 1 && isTextEmoji(row.rune(at)) && !g.pendingWrap &&
            g.cursorCol < columnLimit(g)) {
            size_t right = size_t(g.cursorCol);
            row.padTo(right);
            row.detachWide(right, right + 1);
            row.widen(at);
            row.put(right, row[at].rightHalf());
            g.cursorCol += 1;
            g.pendingWrap = g.cols > 0 && g.cursorCol >= g.cols;
        }
        return;
    }
    // With no character before it a mark has nothing to join: terminals
    // drop it, and so it takes no column here either.
}

void putRune(Grid& g, int32_t rune) {
    cursorLine(g);
    if (isCombining(rune)) {
        appendCombining(g, rune);
        return;
    }
    int w = isWide(rune) ? 2 : 1;
    g.cursorCol = std::clamp<int64_t>(g.cursorCol, 0, columnLimit(g) + 1);
    if (g.pendingWrap) wrapLine(g);
    if (g.cols > 0) {
        int64_t cols = columnLimit(g);
        if (g.cursorCol > 0 && g.cursorCol + w > cols) {
            if (g.cursorCol < cols)
                wrapLine(g);
            else
                g.cursorCol = cols - 1;
        }
    } else if (g.cursorCol + w > kMaxColumns) {
        // No width set: nothing wraps, but the row has a bound.
        g.cursorCol = kMaxColumns - w;
    }
    Row& row = cursorLine(g);
    size_t col = size_t(g.cursorCol);
    row.padTo(col);
    prepareCells(row, col, w);
    row.put(col, rune, w, g.pen());
    if (w == 2) row.put(col + 1, row.penCell(g.pen(), 0, 0));
    g.cursorCol += w;
    g.pendingWrap = g.cols > 0 && g.cursorCol >= g.cols;
    g.lastRune = rune;
}

void putAscii(Grid& g, const char* bytes, size_t n) {
    if (n > 0) g.lastRune = static_cast<unsigned char>(bytes[n - 1]);
    const Pen look = g.pen();
    while (n > 0) {
        if (g.pendingWrap) wrapLine(g);
        int64_t limit = columnLimit(g);
        if (g.cursorCol < 0 || g.cursorCol >= limit) {
            // At or past the edge without a pending wrap: the general rule.
            putRune(g, static_cast<unsigned char>(*bytes));
            ++bytes;
            --n;
            continue;
        }
        size_t col = size_t(g.cursorCol);
        size_t m = std::min(n, size_t(limit - g.cursorCol));
        Row& row = cursorLine(g);
        row.padTo(col);
        row.detachWide(col, col + m);
        row.putAscii(col, bytes, m, row.penCell(look));
        bytes += m;
        n -= m;
        g.cursorCol += int64_t(m);
        g.pendingWrap = g.cols > 0 && g.cursorCol >= g.cols;
        if (g.cols <= 0 && n > 0) {
            // No width: the rest overwrites the last column.
            bytes += n - 1;
            n = 1;
        }
    }
}

}  // namespace screen
