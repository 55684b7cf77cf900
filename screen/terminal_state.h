// The terminal state that is not the screen's lines, as one record: the
// pen, the modes, the character sets, the tab stops, the title, the
// colours a program set and the cursor ESC 7 saved. Saving and restoring
// the cursor and both resets are operations of the record, each an
// assignment of the record or of one of its named parts, so that a field
// added to it is saved and reset with the rest instead of being missed by
// a list. What belongs to the grid (the cursor's position, the margins,
// the screens and their history) is the grid's to reset (modes.h).
#pragma once

#include <optional>
#include <string>

#include "screen/cell.h"
#include "screen/colours.h"
#include "screen/state.h"

namespace screen {

struct TerminalState {
    Pen pen;
    Modes modes;
    Charsets charsets;
    TabStops tabs;
    // ESC 7 / CSI s; absent until then (ESC 8 then restores the default).
    std::optional<SavedCursor> savedCursor;
    std::string title;  // OSC 0 / OSC 2
    Colours colours;    // OSC 4, 10, 11, 12

    // The cursor as ESC 7 (and 1049) saves it: the position, in screen
    // coordinates, is the grid's to give; the pen, the character sets and
    // origin mode are this record's.
    SavedCursor cursorAt(ScreenRow row, Column col, bool pendingWrap) const {
        return SavedCursor{row, col, pendingWrap, pen, charsets, modes.origin};
    }
    // What ESC 8 brings back besides the position (the grid's to place).
    void restore(const SavedCursor& c) {
        pen = c.pen;
        charsets = c.charsets;
        modes.origin = c.originMode;
    }
    // DECSTR (CSI ! p); see terminal_state.cpp for what it keeps.
    void softReset();
    // RIS (ESC c): everything back to a new terminal's.
    void fullReset() { *this = TerminalState(); }
};

}  // namespace screen
