// Character widths, and the writer's placement of text: characters put at
// the cursor with automatic wrapping, combining marks, REP.
#include "screen/placement.h"

#include <algorithm>
#include <iterator>

#include "screen/widths_table.h"

#include "screen/writer.h"

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

void Writer::putCombining(int32_t mark) {
    Grid& g = g_;
    Row& row = cursorLine();
    if (g.cursor.col >= 1 &&
        (size_t(g.cursor.col - 1) < row.size() || g.cursor.col <= columnLimit(g))) {
        // The mark joins the cell before the cursor, a blank one too (as
        // on a terminal, where a cell never written is a blank); after a
        // wide character it joins its left half.
        size_t at = size_t(g.cursor.col - 1);
        row.padTo(at + 1);
        if (row.isWideRight(at)) --at;
        row.addMark(at, mark);
        // A variation selector 16 shows a text emoji as an emoji, two
        // columns wide, when the line has room for it.
        if (mark == 0xfe0f && row[at].width() == 1 && isTextEmoji(row.rune(at)) &&
            !g.cursor.pendingWrap && g.cursor.col < columnLimit(g)) {
            size_t right = size_t(g.cursor.col);
            row.padTo(right);
            row.detachWide(right, right + 1);
            row.widen(at);
            row.put(right, row[at].rightHalf());
            g.cursor.col += 1;
            g.cursor.pendingWrap = g.cols > 0 && g.cursor.col >= g.cols && g.state.modes.autowrap;
            if (g.cols > 0 && g.cursor.col >= g.cols && !g.state.modes.autowrap)
                g.cursor.col = g.cols - 1;
        }
        return;
    }
    // With no character before it a mark has nothing to join: terminals
    // drop it, and so it takes no column here either.
}

void Writer::putRune(int32_t rune) {
    Grid& g = g_;
    cursorLine();
    if (isCombining(rune)) {
        putCombining(rune);
        return;
    }
    int w = isWide(rune) ? 2 : 1;
    // A character wider than the screen has nowhere to go; terminals drop it.
    if (g.cols > 0 && w > columnLimit(g)) return;
    g.cursor.col = std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g) + 1);
    if (g.cursor.pendingWrap) wrapLine();
    if (g.cols > 0) {
        int64_t cols = columnLimit(g);
        if (g.cursor.col > 0 && g.cursor.col + w > cols) {
            if (g.cursor.col < cols && g.state.modes.autowrap)
                wrapLine();
            else
                g.cursor.col = cols - w;
        }
    } else if (g.cursor.col + w > kMaxColumns) {
        // No width set: nothing wraps, but the row has a bound.
        g.cursor.col = kMaxColumns - w;
    }
    if (g.state.modes.insert) insertChars(w);
    Row& row = cursorLine();
    size_t col = size_t(g.cursor.col);
    row.padTo(col);
    prepareCells(row, col, w);
    row.put(col, rune, w, g.state.pen);
    if (w == 2) row.put(col + 1, row.penCell(g.state.pen, 0, 0));
    g.cursor.col += w;
    if (g.cols > 0 && g.cursor.col >= g.cols) {
        // Without autowrap the cursor stays on the last column and the next
        // character overwrites it.
        g.cursor.pendingWrap = g.state.modes.autowrap;
        if (!g.state.modes.autowrap) g.cursor.col = g.cols - 1;
    } else {
        g.cursor.pendingWrap = false;
    }
    g.lastRune = rune;
}

void Writer::putAscii(const char* bytes, size_t n) {
    Grid& g = g_;
    if (n > 0) g.lastRune = static_cast<unsigned char>(bytes[n - 1]);
    const Pen look = g.state.pen;
    while (n > 0) {
        if (g.cursor.pendingWrap) wrapLine();
        int64_t limit = columnLimit(g);
        if (g.cursor.col < 0 || g.cursor.col >= limit) {
            // At or past the edge without a pending wrap: the general rule.
            putRune(static_cast<unsigned char>(*bytes));
            ++bytes;
            --n;
            continue;
        }
        size_t col = size_t(g.cursor.col);
        size_t m = std::min(n, size_t(limit - g.cursor.col));
        Row& row = cursorLine();
        row.padTo(col);
        row.detachWide(col, col + m);
        row.putAscii(col, bytes, m, row.penCell(look));
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

// As tmux does, REP never wraps.
void Writer::repeat(int64_t n) {
    const Grid& g = g_;
    if (g.lastRune < 0) return;
    int64_t room = columnLimit(g) - std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g));
    n = std::min(n, room);
    int32_t rune = g.lastRune;
    for (int64_t i = 0; i < n; ++i)
        putRune(rune);
}

}  // namespace screen
