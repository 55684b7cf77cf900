#include "screen/tabs.h"

#include <algorithm>

namespace screen {

namespace {

int64_t nextStop(const Grid& g, int64_t col, int64_t last) {
    for (int64_t c = col + 1; c < last; ++c)
        if (g.state.tabs.stops.test(size_t(c))) return c;
    return last;
}

int64_t previousStop(const Grid& g, int64_t col) {
    for (int64_t c = col - 1; c > 0; --c)
        if (g.state.tabs.stops.test(size_t(c))) return c;
    return 0;
}

}  // namespace

void tab(Grid& g) {
    tabForward(g, 1);
}

void tabForward(Grid& g, int64_t n) {
    // A pending wrap stays pending: the tab has nowhere to go.
    if (g.cursor.pendingWrap) return;
    int64_t last = columnLimit(g) - 1;
    int64_t col = std::clamp<int64_t>(g.cursor.col, 0, last);
    int64_t target = col;
    for (int64_t i = 0; i < std::max<int64_t>(n, 1) && target < last; ++i)
        target = nextStop(g, target, last);
    g.cursor.col = target;
    // The tab moves over existing cells without changing them.
    if (target > col) cursorLine(g).padTo(size_t(target));
}

void tabBackward(Grid& g, int64_t n) {
    int64_t col = std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g) - 1);
    for (int64_t i = 0; i < std::max<int64_t>(n, 1) && col > 0; ++i)
        col = previousStop(g, col);
    g.cursor.col = col;
    g.cursor.pendingWrap = false;
}

void setTabStop(Grid& g) {
    int64_t col = std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g) - 1);
    g.state.tabs.stops.set(size_t(col));
}

void clearTabStops(Grid& g, int64_t mode) {
    if (mode == 0) {
        int64_t col = std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g) - 1);
        g.state.tabs.stops.reset(size_t(col));
    } else if (mode == 3) {
        g.state.tabs.stops.reset();
    }
}

}  // namespace screen
