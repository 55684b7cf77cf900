// The writer's cursor motion: relative and absolute moves, the home
// position, and saving and restoring the cursor.
#include <algorithm>
#include <type_traits>

#include "screen/writer.h"

namespace screen {

namespace {

// Saturating helpers for cursor arithmetic with large counts: a position
// (a line index or a column) moved n towards a limit, not past it.
template <class Position>
Position upTo(Position from, int64_t n, std::type_identity_t<Position> limit) {
    return from <= limit ? from : from - std::min(n, from - limit);
}
template <class Position>
Position downTo(Position from, int64_t n, std::type_identity_t<Position> limit) {
    return from >= limit ? from : from + std::min(n, limit - from);
}

}  // namespace

void Writer::clampColumn() {
    g_.cursor.col = std::clamp<int64_t>(g_.cursor.col, 0, columnLimit(g_) - 1);
}

void Writer::moveUp(int64_t n) {
    Grid& g = g_;
    const LineIndex top = scrollBounds(g).first;
    const LineIndex limit = regionActive(g) && g.cursor.row >= top ? top : screenTop(g);
    g.cursor.row = upTo(g.cursor.row, n, limit);
    g.cursor.pendingWrap = false;
    clampColumn();
}

void Writer::moveDown(int64_t n) {
    Grid& g = g_;
    const LineIndex bottom = scrollBounds(g).second;
    const LineIndex limit = regionActive(g) && g.cursor.row <= bottom ? bottom : lastScreenRow(g);
    g.cursor.row = clampRow(g, downTo(g.cursor.row, n, limit));
    ensureRow(g.cursor.row);
    g.cursor.pendingWrap = false;
    clampColumn();
}

void Writer::moveForward(int64_t n) {
    g_.cursor.col = downTo(std::max<int64_t>(g_.cursor.col, 0), n, columnLimit(g_) - 1);
    g_.cursor.pendingWrap = false;
    clampColumn();
}

void Writer::moveBack(int64_t n) {
    g_.cursor.col = upTo(g_.cursor.col, n, 0);
    g_.cursor.pendingWrap = false;
    clampColumn();
}

// A row (0-based) as absolute positioning addresses it, kept within the
// screen or the region.
void Writer::moveToScreenRow(int64_t row) {
    Grid& g = g_;
    auto [top, bottom] = g.state.modes.origin && regionActive(g)
                             ? scrollBounds(g)
                             : std::pair<LineIndex, LineIndex>{screenTop(g), lastScreenRow(g)};
    g.cursor.row = clampRow(g, top + std::clamp<int64_t>(row, 0, bottom - top));
    ensureRow(g.cursor.row);
}

void Writer::moveTo(int64_t row, Column col) {
    moveToScreenRow(row);
    g_.cursor.col = col;
    clampColumn();
    g_.cursor.pendingWrap = false;
}

void Writer::moveToRow(int64_t row) {
    moveToScreenRow(row);
    g_.cursor.pendingWrap = false;
    clampColumn();
}

void Writer::moveToColumn(Column col) {
    g_.cursor.col = std::min(col, columnLimit(g_) - 1);
    g_.cursor.pendingWrap = false;
}

void Writer::carriageReturn() {
    g_.cursor.pendingWrap = false;
    g_.cursor.col = 0;
}

void Writer::home() {
    Grid& g = g_;
    g.cursor.row = g.state.modes.origin && regionActive(g) ? scrollBounds(g).first : screenTop(g);
    g.cursor.col = 0;
    g.cursor.pendingWrap = false;
    ensureRow(g.cursor.row);
}

void Writer::backspace() {
    g_.cursor.pendingWrap = false;
    if (g_.cursor.col > 0) --g_.cursor.col;
    g_.cursor.col = std::min(g_.cursor.col, columnLimit(g_) - 1);
}

void Writer::cancelPendingWrap() {
    if (!g_.cursor.pendingWrap) return;
    g_.cursor.pendingWrap = false;
    g_.cursor.col = std::min(g_.cursor.col, columnLimit(g_) - 1);
}

void Writer::placeCursor(const SavedCursor& c) {
    Grid& g = g_;
    const ScreenView view = screenView(g);
    const ScreenRow row = clamp(c.row, ScreenRow{0}, view.row(lastScreenRow(g)));
    g.cursor.row = clampRow(g, view.line(row));
    int64_t last = columnLimit(g) - 1;
    // A pending wrap comes back only where it can still be pending, and
    // waits just past the last column, as after writing it.
    g.cursor.pendingWrap = c.pendingWrap && c.col >= last && g.cols > 0;
    g.cursor.col = g.cursor.pendingWrap ? last + 1 : std::clamp<int64_t>(c.col, 0, last);
    g.state.restore(c);
    ensureRow(g.cursor.row);
}

void Writer::saveCursor() {
    g_.state.savedCursor = currentCursor(g_);
}

void Writer::restoreCursor() {
    placeCursor(g_.state.savedCursor.value_or(SavedCursor()));
}

}  // namespace screen
