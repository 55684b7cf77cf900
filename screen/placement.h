// Character widths: how wide a code point is, and which join the one
// before them. The writer's placement of text (placement.cpp) goes by them.
#pragma once

#include <cstdint>

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

}  // namespace screen
