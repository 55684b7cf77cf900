// Character placement: how wide a code point is, combining marks, and
// putting characters into the grid with automatic wrapping.
#pragma once

#include <cstddef>
#include <cstdint>

#include "screen/grid.h"

namespace screen {

bool isWide(int32_t rune);
// Zero columns: a combining mark or another character that joins the one
// before it (see widths_table.h).
bool isCombining(int32_t rune);
// A character shown as text that a variation selector 16 shows as a
// two-column emoji.
bool isTextEmoji(int32_t rune);
// 0 for a combining mark, 2 for a wide character, 1 otherwise.
int displayWidth(int32_t rune);

// Attaches a combining mark to the character before the cursor (or to the
// last character of the line above, or as a cell of its own).
void appendCombining(Grid& g, int32_t mark);
// Places one character at the cursor and advances it.
void putRune(Grid& g, int32_t rune);
// Places a run of printable ASCII bytes (0x20..0x7E); the same as putRune
// for each byte, without the per-character overhead.
void putAscii(Grid& g, const char* bytes, size_t n);

}  // namespace screen
