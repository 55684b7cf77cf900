// The coordinate spaces of the screen library.
//
// A line index counts the grid's lines from the oldest history line (the
// grid's own coordinate: the cursor and the margins are line indexes, so
// that they move with their lines when the history scrolls). A screen row
// counts from the top of the visible screen. Each is a type of its own, so
// that one cannot be passed where the other is meant, nor a count where
// either is: the saved cursors and everything the library tells its users
// are screen rows, and ScreenView (grid.h) is where the two meet. A column
// counts from the left edge.
#pragma once

#include <compare>
#include <cstdint>

namespace screen {

using LineIndex = int64_t;
using Column = int64_t;

struct ScreenRow {
    int64_t value = 0;
    auto operator<=>(const ScreenRow&) const = default;
};

// A position on the visible screen.
struct ScreenPoint {
    ScreenRow row;
    Column col = 0;
    bool operator==(const ScreenPoint&) const = default;
};

}  // namespace screen
