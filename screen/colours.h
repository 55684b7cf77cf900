// Colours a program sets on its terminal rather than in cells: the
// foreground, background and cursor colours (OSC 10, 11, 12) and entries of
// the palette (OSC 4), kept as the program wrote them so that a repaint can
// set them again, and so that a client that leaves can give the user's
// terminal its own colours back (OSC 110, 111, 112, 104).
#pragma once

#include <array>
#include <map>
#include <string>
#include <string_view>

namespace screen {

struct Colours {
    std::array<std::string, 3> dynamic;  // OSC 10, 11, 12; empty: the terminal's own
    std::map<int, std::string> palette;  // index 0..255 to the colour set for it
    bool operator==(const Colours&) const = default;
};

// Carries out OSC `code` ; `params` when it sets or resets a colour (4, 10
// to 12, 104, 110 to 112); false for any other code. Queries ("?") change
// nothing; a colour too long to be one is ignored.
bool setColours(Colours& c, int code, std::string_view params);

// The OSC sequences that set every colour the program set.
void appendColours(std::string& out, const Colours& c);

// The OSC sequences that give back the terminal's own colours for those the
// program set.
void appendColourReset(std::string& out, const Colours& c);

}  // namespace screen
