#include "screen/terminal_state.h"

#include <utility>

namespace screen {

// A soft reset puts back what shapes the output that follows: the pen, the
// character sets, the saved cursor and the modes. It keeps, as terminals do:
// - the modes of LastingModes (state.h: the program's arrangement with the
//   terminal about its input, and the cursor's style);
// - the tab stops, which are the layout of the screen, not of the output;
// - the title and the colours, which are the window's.
// Anything else is reset, so that a part added to the record is too unless
// it is named here.
void TerminalState::softReset() {
    TerminalState reset;
    static_cast<LastingModes&>(reset.modes) = modes;
    reset.tabs = tabs;
    reset.title = std::move(title);
    reset.colours = std::move(colours);
    *this = std::move(reset);
}

}  // namespace screen
