#include "screen/writer.h"

#include <algorithm>

#include "screen/interpreter.h"

namespace screen {

Grid newGrid() {
    return Grid();
}

Grid newGrid(int64_t cols, int64_t height, int64_t maxScrollback) {
    Grid g;
    g.cols = std::min(cols, kMaxColumns);
    g.height = std::min(height, kMaxRows);
    g.maxScrollback = maxScrollback;
    g.screen.lines.setScreenRows(g.height > 0 ? g.height : kMaxRows);
    g.bounds = measureBounds(g);
    return g;
}

void Writer::ensureRowSlow(LineIndex row) {
    row = min(row, rowLimit(g_) - 1);
    while (g_.screen.lines.end() <= row)
        g_.screen.lines.pushBack();
    refreshBounds();
}

Row& Writer::cursorLineSlow() {
    g_.cursor.row = clampRow(g_, g_.cursor.row);
    ensureRow(g_.cursor.row);
    return g_.screen.lines.edit(g_.cursor.row);
}

// A begin inside an open update neither restarts it nor extends it.
void Writer::beginUpdate() {
    if (g_.syncActive) {
        warn("nested DEC 2026 sync begin");
        return;
    }
    g_.syncActive = true;
    g_.syncBegan = g_.now;
}

void Writer::endUpdate() {
    if (!g_.syncActive) {
        warn("DEC 2026 sync end without begin");
        return;
    }
    g_.syncActive = false;
}

void Writer::endOverdueUpdate(SyncClock::time_point now) {
    if (!g_.syncActive || now < g_.syncBegan + kSyncTimeout) return;
    g_.syncActive = false;
    warn("DEC 2026 sync update ended after its timeout");
}

void Writer::warn(std::string text) {
    g_.warnings.push_back(std::move(text));
    while (g_.warnings.size() > kMaxWarnings)
        g_.warnings.pop_front();
}

void Writer::record(Query q) {
    if (g_.queries.size() < kMaxPendingQueries) g_.queries.push_back(std::move(q));
}

}  // namespace screen
