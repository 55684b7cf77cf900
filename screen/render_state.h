// The terminal state in bytes: what puts a client's terminal into the
// state the model holds (after the cells of a snapshot), and what brings a
// terminal in that state back to its defaults when a client leaves.
#pragma once

#include <cstdint>
#include <string>

#include "screen/grid.h"
#include "screen/terminal.h"

namespace screen {

// With the main screen painted: its cursor and pen as 1049 saved them
// (and its keyboard flags), then the switch to the alternate screen.
void appendAltScreenEntry(std::string& out, const Grid& g);
// On the main screen: the cursor that leaving the alternate screen by 1049
// restores, when an earlier switch saved one.
void appendMainCursorSaved(std::string& out, const Grid& g);
// Saved cursor, scroll region, tab stops, origin mode: all before the
// cursor is placed (they move it).
void appendStateBeforeCursor(std::string& out, const Grid& g);
// The cursor is placed by ESC 8, not by CUP: it stands outside the scroll
// region in origin mode, and appendStateBeforeCursor() saved it.
bool cursorPlacedByRestore(const Grid& g);
// The cursor's row as CUP addresses it: relative to the top margin in
// origin mode, 1-based.
int64_t cursorRowAddressed(const Grid& g);
// Pen, character sets, modes, keyboard flags, colours, title, cursor style and
// visibility: none of them moves the cursor or ends a pending wrap.
void appendStateAfterCursor(std::string& out, const Grid& g);

// What leaving a terminal that shows this grid has to undo (see
// leavingSequence()).
LeavingState leavingState(const Grid& g);

}  // namespace screen
