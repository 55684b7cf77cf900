// The byte streams the benchmarks feed, the same for kiv's screen and for
// libvterm.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

// Lines of 80 printable characters, each ended by CR LF.
std::string plainText(int lines);
// The same lines with a colour change every few characters (256-colour
// foreground, every fourth change a background too), reset at each line end.
std::string colourText(int lines, int every);
// The same with 24-bit colours (38;2;r;g;b, every fourth change a 48;2
// background too).
std::string directColourText(int lines, int every);
// Lines of tokens of 3 to 9 characters, each with its own colour or
// style sequence (16- and 256-colour, bold, underline, resets).
std::string highlightedText(int lines);
// Lines of 80 columns of words, every word in its own graphic-rendition
// mix (256-colour, bold, underline, reverse) and reset after it, ended by
// CR LF: what colourised listings and the end-to-end benchmark print.
std::string wordColourText(int lines);
// Full-screen redraws of an 80x24 screen addressed row by row with cursor
// positioning, erase to end of line and a few colours.
std::string redrawFrames(int frames);
// The same redraws, each wrapped in a synchronized update.
std::string syncFrames(int frames);

// libvterm, when the benchmark is built with it (vterm_bench.cpp fills
// these in before main); all null otherwise.
struct Libvterm {
    void* (*open)(int rows, int cols) = nullptr;
    void (*write)(void* vt, const char* bytes, size_t n) = nullptr;
    void (*close)(void* vt) = nullptr;
};
extern Libvterm libvterm;

}  // namespace bench
