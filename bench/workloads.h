// The byte streams the benchmarks feed, the same for kiv's screen and for
// libvterm.
#pragma once

#include <string>

namespace bench {

// Lines of 80 printable characters, each ended by CR LF.
std::string plainText(int lines);
// The same lines with a colour change every 4 characters (256-colour
// foreground, now and then a background), reset at each line end.
std::string colourText(int lines);
// Full-screen redraws of an 80x24 screen addressed row by row with cursor
// positioning, erase to end of line and a few colours.
std::string redrawFrames(int frames);
// The same redraws, each wrapped in a synchronized update.
std::string syncFrames(int frames);

}  // namespace bench
