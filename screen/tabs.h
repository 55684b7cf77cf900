// Tab stops: setting and clearing them (HTS, TBC); moving to them (HT,
// CHT, CBT) is the writer's (tabs.cpp). A new grid, a reset and a new
// width have a stop every eight columns.
#pragma once

#include <cstdint>

#include "screen/writer.h"

namespace screen {

// HTS: a stop at the cursor's column.
void setTabStop(Writer& w);
// TBC: mode 0 clears the stop at the cursor, mode 3 every stop; other
// modes do nothing.
void clearTabStops(Writer& w, int64_t mode);

}  // namespace screen
