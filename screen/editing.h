// The editing operations that control sequences invoke: backspace,
// inserting and deleting characters and lines, erasing, the scroll region.
//
// Blanks follow terminals: cells never written are default blanks, and
// cells that erasing, inserting or deleting produce take the pen's
// background and nothing else, so a program that paints a coloured bar
// with an erase gets its bar. No operation leaves half a wide character.
#pragma once

#include <optional>
#include <utility>

#include <cstdint>
#include <string_view>

#include "screen/grid.h"

namespace screen {

void backspace(Grid& g);
void insertChars(Grid& g, int64_t n);
void deleteChars(Grid& g, int64_t n);
void insertLines(Grid& g, int64_t n);
// Blanks n cells from the cursor on without moving the rest.
void eraseChars(Grid& g, int64_t n);
void deleteLines(Grid& g, int64_t n);
// Mode 0: from the cursor to the end, 1: from the start through the
// cursor, 2: all; other modes do nothing.
void eraseLine(Grid& g, int64_t mode);
// The same modes over the screen; the scrollback is never touched.
void eraseDisplay(Grid& g, int64_t mode);
// Sets the margins to the screen rows top..bottom (a bottom below the
// screen is its last row), or clears them when none are given, and homes
// the cursor.
void setScrollRegion(Grid& g, std::optional<std::pair<ScreenRow, ScreenRow>> rows);
// ED 3: the history above the screen is dropped (the screen stays).
void eraseScrollback(Grid& g);
// DECALN: every screen cell an "E" in the default look, no margins, the
// cursor home.
void screenAlignment(Grid& g);
// Reverse index: up one row; at the top margin (the top of the screen
// without a region) the region scrolls down instead. Never above the screen.
void reverseIndex(Grid& g);

}  // namespace screen
