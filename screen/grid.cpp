#include "screen/grid.h"

namespace screen {

LineIndex scrollBottomDefault(const Grid& g) {
    if (g.margins.bottom > LineIndex{0}) return g.margins.bottom;
    if (g.height > 0) return lastScreenRow(g);
    return max(g.screen.lines.end() - 1, LineIndex{0});
}

std::pair<LineIndex, LineIndex> scrollBounds(const Grid& g) {
    const LineIndex top = regionActive(g) ? max(g.margins.top, LineIndex{0}) : screenTop(g);
    const LineIndex bottom = max(scrollBottomDefault(g), top);
    return {top, bottom};
}

SavedCursor currentCursor(const Grid& g) {
    return g.state.cursorAt(screenView(g).row(g.cursor.row), g.cursor.col, g.cursor.pendingWrap);
}

Row scrolledInRow(const Grid& g) {
    Row row;
    if (g.state.pen.bg != kColorDefault && g.cols > 0)
        row.padTo(size_t(columnLimit(g)), row.eraseCell(g.state.pen));
    return row;
}

}  // namespace screen
