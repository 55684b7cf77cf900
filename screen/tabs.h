// Tab stops: moving to them (HT, CHT, CBT) and setting and clearing them
// (HTS, TBC). A new grid, a reset and a new width have a stop every eight
// columns.
#pragma once

#include <cstdint>

#include "screen/grid.h"

namespace screen {

// HT: to the next stop, or the last column when none is left.
void tab(Grid& g);
// CHT / CBT: n stops forward, n stops back (the first column at most).
void tabForward(Grid& g, int64_t n);
void tabBackward(Grid& g, int64_t n);
// HTS: a stop at the cursor's column.
void setTabStop(Grid& g);
// TBC: mode 0 clears the stop at the cursor, mode 3 every stop; other
// modes do nothing.
void clearTabStops(Grid& g, int64_t mode);

}  // namespace screen
