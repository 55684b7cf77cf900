// Helpers shared by the screen library's tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "screen/grid.h"
#include "screen/placement.h"
#include "screen/utf8.h"

namespace screen::testing {

// The text of line i (every cell's text, trailing blanks included).
inline std::string lineText(const Grid& g, int64_t i) {
    std::string s;
    g.lines.appendText(i, s);
    return s;
}

// Every line's text, oldest first.
inline std::vector<std::string> allLines(const Grid& g) {
    std::vector<std::string> out;
    for (int64_t i = 0; i < g.lines.size(); ++i)
        out.push_back(lineText(g, i));
    return out;
}

// Places the characters of UTF-8 text one by one with putRune.
inline void type(Grid& g, std::string_view text) {
    for (size_t p = 0; p < text.size();) {
        Utf8Step s = decodeUtf8(text, p);
        putRune(g, s.rune);
        p += s.length;
    }
}

// A grid of the given size whose screen is already full of empty rows.
inline Grid screenGrid(int64_t cols, int64_t rows, int64_t scrollback = 0) {
    Grid g = newGrid(cols, rows, scrollback);
    resize(g, cols, rows);
    return g;
}

}  // namespace screen::testing
