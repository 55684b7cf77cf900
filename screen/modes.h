// The state-setting control functions: modes (SM/RM and DECSET/DECRST),
// the alternate screens, keypad modes, cursor style, the kitty keyboard
// flags, modifyOtherKeys, the window title, colours and hyperlinks. What
// a mode does to the screen (the alternate screen, origin mode, autowrap)
// is the writer's to carry out.
#pragma once

#include <cstdint>

#include "screen/sequence.h"
#include "screen/writer.h"

namespace screen {

// SM / RM (CSI Pm h / l): 4 is insert mode; others are not kept.
void setAnsiMode(Writer& w, int64_t mode, bool set);
// DECSET / DECRST (CSI ? Pm h / l) for one mode number.
void setPrivateMode(Writer& w, int64_t mode, bool set);
// DECSCUSR (CSI Ps SP q).
void setCursorStyle(Writer& w, int64_t style);
// Kitty keyboard protocol: CSI > flags u, CSI < n u, CSI = flags ; mode u.
void pushKeyboardFlags(Writer& w, int64_t flags);
void popKeyboardFlags(Writer& w, int64_t n);
void setKeyboardFlags(Writer& w, int64_t flags, int64_t mode);
// CSI > 4 ; n m (xterm's modifyOtherKeys); CSI > 4 m resets it.
void setModifyOtherKeys(Writer& w, int64_t level);
// Operating system commands, as functions of the table: s.text is what
// follows the command's number. OSC 0 and 2 set the title.
void setTitle(Writer& w, const Sequence& s);
// OSC 4, 10 to 12 and their resets (104, 110 to 112) set the colours a
// repaint sets again (colours.h); "?" in place of a colour asks for it.
void setColour(Writer& w, const Sequence& s);
// OSC 8 ; params ; target: text written next is linked to the target,
// until a hyperlink with an empty target.
void hyperlink(Writer& w, const Sequence& s);

}  // namespace screen
