// The state-setting control functions: modes (SM/RM and DECSET/DECRST),
// the alternate screens, keypad modes, cursor style, the kitty keyboard
// flags, modifyOtherKeys, the window title, and the two resets.
#pragma once

#include <cstdint>
#include <string_view>

#include "screen/grid.h"
#include "screen/sequence.h"

namespace screen {

// SM / RM (CSI Pm h / l): 4 is insert mode; others are not kept.
void setAnsiMode(Grid& g, int64_t mode, bool set);
// DECSET / DECRST (CSI ? Pm h / l) for one mode number.
void setPrivateMode(Grid& g, int64_t mode, bool set);
// Every mode of a parameter text, in order (CSI ? 1006;1000 h sets both).
void setModes(Grid& g, std::string_view params, bool isPrivate, bool set);
// DECSCUSR (CSI Ps SP q).
void setCursorStyle(Grid& g, int64_t style);
// Kitty keyboard protocol: CSI > flags u, CSI < n u, CSI = flags ; mode u.
void pushKeyboardFlags(Grid& g, int64_t flags);
void popKeyboardFlags(Grid& g, int64_t n);
void setKeyboardFlags(Grid& g, int64_t flags, int64_t mode);
// CSI > 4 ; n m (xterm's modifyOtherKeys); CSI > 4 m resets it.
void setModifyOtherKeys(Grid& g, int64_t level);
// Operating system commands, as functions of the table: s.text is what
// follows the command's number. OSC 0 and 2 set the title.
void setTitle(Grid& g, const Sequence& s);
// OSC 4, 10 to 12 and their resets (104, 110 to 112) set the colours a
// repaint sets again (colours.h); "?" in place of a colour asks for it.
void setColour(Grid& g, const Sequence& s);
// OSC 8 ; params ; target: text written next is linked to the target,
// until a hyperlink with an empty target.
void hyperlink(Grid& g, const Sequence& s);
// DECSTR (CSI ! p): the terminal state's soft reset (terminal_state.cpp
// says what it keeps) and no margins; the screen and the cursor stay.
void softReset(Grid& g);
// RIS (ESC c): the whole terminal state back to a new terminal's, the
// screen cleared and the cursor home; the history stays.
void fullReset(Grid& g);

}  // namespace screen
