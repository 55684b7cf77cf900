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

// Only what makes sense of a position: moving it by a count of lines,
// the count between two, and comparing; no conversion from or to a plain
// number but by its value. It compiles to the bare integer.
struct LineIndex {
    int64_t value = 0;
    constexpr auto operator<=>(const LineIndex&) const = default;
    constexpr LineIndex& operator+=(int64_t n) {
        value += n;
        return *this;
    }
    constexpr LineIndex& operator-=(int64_t n) {
        value -= n;
        return *this;
    }
    constexpr LineIndex& operator++() {
        ++value;
        return *this;
    }
    constexpr LineIndex& operator--() {
        --value;
        return *this;
    }
    constexpr LineIndex operator++(int) { return LineIndex{value++}; }
    constexpr LineIndex operator--(int) { return LineIndex{value--}; }
    // The lesser, the greater, and i kept within lo..hi, by value: std::min
    // and its kin pass references, which keep the compiler from holding
    // a line index in a register as it holds an integer.
    friend constexpr LineIndex min(LineIndex a, LineIndex b) { return b < a ? b : a; }
    friend constexpr LineIndex max(LineIndex a, LineIndex b) { return a < b ? b : a; }
    friend constexpr LineIndex clamp(LineIndex i, LineIndex lo, LineIndex hi) {
        return i < lo ? lo : hi < i ? hi : i;
    }
};
constexpr LineIndex operator+(LineIndex i, int64_t n) {
    return LineIndex{i.value + n};
}
constexpr LineIndex operator-(LineIndex i, int64_t n) {
    return LineIndex{i.value - n};
}
constexpr int64_t operator-(LineIndex a, LineIndex b) {
    return a.value - b.value;
}

using Column = int64_t;

struct ScreenRow {
    int64_t value = 0;
    auto operator<=>(const ScreenRow&) const = default;
    // As for line indexes.
    friend constexpr ScreenRow min(ScreenRow a, ScreenRow b) { return b < a ? b : a; }
    friend constexpr ScreenRow clamp(ScreenRow r, ScreenRow lo, ScreenRow hi) {
        return r < lo ? lo : hi < r ? hi : r;
    }
};

// A position on the visible screen.
struct ScreenPoint {
    ScreenRow row;
    Column col = 0;
    bool operator==(const ScreenPoint&) const = default;
};

}  // namespace screen
