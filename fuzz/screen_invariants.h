// What must hold of the screen model whatever it was fed: checked after
// every chunk by the screen fuzz target and by the random streams of
// tests/screen_fuzz_test.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "screen/grid.h"
#include "screen/interpreter.h"

namespace screen {

// An invariant broken: what, and two numbers that show how.
struct BrokenInvariant {
    const char* what;
    int64_t a = 0, b = 0;
};

// A row that says it is uniform is: narrow ASCII cells that look alike.
inline bool uniformHolds(const Row& r) {
    if (!r.uniform()) return true;
    for (size_t c = 0; c < r.size(); ++c) {
        const Cell& cell = r[c];
        if (cell.extended() || cell.width() != 1 || cell.code() == 0 || cell.code() > 0x7f ||
            !cell.sameLook(r[0]))
            return false;
    }
    return true;
}

// A screen's lines: at least one, no more than the screen and (the main
// screen's only) the history hold, the cursor's row among them. The last
// `rows` lines and the cursor's are looked at one by one: within the
// widest row, honestly uniform, and on the screen shown no half of a wide
// character without the other.
inline std::optional<BrokenInvariant> brokenLines(const Grid& g, const ScreenBuffer& s,
                                                  LineIndex cursorRow, bool shown, int64_t rows) {
    const int64_t n = s.lines.size();
    const int64_t screenRows = g.height > 0 ? g.height : kMaxRows;
    const bool main = !shown || !altShown(g);
    const int64_t history = main ? std::max<int64_t>(g.maxScrollback, 0) : 0;
    if (n < 1 || n > screenRows + history)
        return BrokenInvariant{"lines out of bounds", n, screenRows};
    if (cursorRow < LineIndex{0} || cursorRow >= s.lines.end())
        return BrokenInvariant{"cursor row outside the lines", cursorRow.value, n};
    const LineIndex first = rows >= n ? LineIndex{0} : s.lines.end() - rows;
    for (LineIndex i = std::min(first, cursorRow); i < s.lines.end(); ++i) {
        if (i < first && i != cursorRow) continue;
        const int64_t size = s.lines.rowSize(i);
        if (size > kMaxColumns + 1) return BrokenInvariant{"row too long", i.value, size};
        const Row* r = s.lines.expanded(i);
        if (!r) continue;
        if (!uniformHolds(*r)) return BrokenInvariant{"a row wrongly uniform", i.value};
        for (size_t c = 0; shown && i >= screenTop(g) && c < r->size(); ++c)
            if ((*r)[c].width() == 2 && (c + 1 == r->size() || (*r)[c + 1].width() != 0))
                return BrokenInvariant{"left half without right half", i.value, int64_t(c)};
    }
    return std::nullopt;
}

// The first invariant g breaks, if any; `rows` as for brokenLines
// (INT64_MAX: every line, the history's too).
inline std::optional<BrokenInvariant> brokenInvariant(const Grid& g, int64_t rows) {
    if (auto broken = brokenLines(g, g.screen, g.cursor.row, true, rows)) return broken;
    if (g.hiddenMain) {
        if (auto broken = brokenLines(g, *g.hiddenMain, g.hiddenMain->cursorRow, false, rows))
            return broken;
    }
    // The bounds the writer keeps are those the lines and the size make.
    const ScreenBounds b = measureBounds(g);
    if (!(g.bounds == b))
        return BrokenInvariant{"bounds out of date", g.bounds.last.value, b.last.value};
    const LineIndex row = g.cursor.row, top = screenTop(g);
    if (row < top) return BrokenInvariant{"cursor row in the history", row.value, top.value};
    // Without a height every line is on the screen.
    if (g.height > 0 && row > lastScreenRow(g))
        return BrokenInvariant{"cursor row below the screen", row.value, lastScreenRow(g).value};
    if (g.cursor.col < 0 || g.cursor.col > columnLimit(g))
        return BrokenInvariant{"cursor column", g.cursor.col, columnLimit(g)};
    if (g.margins.top < LineIndex{0} || g.margins.bottom < LineIndex{0})
        return BrokenInvariant{"negative margin", g.margins.top.value, g.margins.bottom.value};
    if (g.input.body.size() > kMaxHeld)
        return BrokenInvariant{"string body unbounded", int64_t(g.input.body.size())};
    if (g.warnings.size() > kMaxWarnings)
        return BrokenInvariant{"warnings unbounded", int64_t(g.warnings.size())};
    return std::nullopt;
}

}  // namespace screen
