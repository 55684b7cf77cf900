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

// The cursor's column as tab stops are kept: on the screen.
size_t stopColumn(const Grid& g) {
    return size_t(std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g) - 1));
}

}  // namespace

void Writer::tabForward(int64_t n) {
    Grid& g = g_;
    // A pending wrap stays pending: the tab has nowhere to go.
    if (g.cursor.pendingWrap) return;
    int64_t last = columnLimit(g) - 1;
    int64_t col = std::clamp<int64_t>(g.cursor.col, 0, last);
    int64_t target = col;
    for (int64_t i = 0; i < std::max<int64_t>(n, 1) && target < last; ++i)
        target = nextStop(g, target, last);
    g.cursor.col = target;
    // The tab moves over existing cells without changing them.
    if (target > col) cursorLine().padTo(size_t(target));
}

void Writer::tabBackward(int64_t n) {
    Grid& g = g_;
    int64_t col = std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g) - 1);
    for (int64_t i = 0; i < std::max<int64_t>(n, 1) && col > 0; ++i)
        col = previousStop(g, col);
    g.cursor.col = col;
    g.cursor.pendingWrap = false;
}

void setTabStop(Writer& w) {
    w.state().tabs.stops.set(stopColumn(w.grid()));
}

void clearTabStops(Writer& w, int64_t mode) {
    if (mode == 0) {
        w.state().tabs.stops.reset(stopColumn(w.grid()));
    } else if (mode == 3) {
        w.state().tabs.stops.reset();
    }
}

}  // namespace screen
