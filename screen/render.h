// Rendering: the grid back into the byte stream that repaints a terminal,
// as a newly attached client receives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "screen/grid.h"

namespace screen {

// The text of line i: every cell's text, no control sequences ("" outside
// the lines).
std::string rowText(const Grid& g, LineIndex i);
// Rows with graphic rendition, separated by CR LF; a column limit above 0
// cuts each row after that many cells.
std::string renderRows(const std::vector<Row>& rows, int64_t colLimit);
// Erase, home, then the last rowCount lines.
std::string renderAnsi(const Grid& g, int64_t colLimit, int64_t rowCount);
// The scrollback from running line number `from` on (see historyEnd()),
// with its looks and each logical line whole, pushed into the terminal's
// scrollback by line feeds; then the screen painted from the top. With a
// history budget, only the newest scrollback lines whose rendering fits in
// that many bytes are written.
std::string renderAnsiFull(const Grid& g, size_t historyBudget = SIZE_MAX, int64_t from = 0);
// What an attaching client receives: renderAnsiFull, then the cursor put
// where it is; a pending wrap is reproduced by writing the last column
// again, so the client's terminal also waits to wrap.
// Then the terminal state: the alternate screen with its contents, scroll
// region, tab stops, saved cursor, modes, character sets, pen, title,
// cursor style and visibility; and last the head of a sequence that the
// latest read cut, whose tail the live output brings.
std::string renderSnapshot(const Grid& g, size_t historyBudget = SIZE_MAX, int64_t from = 0);
// The text of the screen shown (the alternate screen while it is shown),
// one line per row, each row without the blanks at its end; with `looks`
// each cell's colours and attributes as graphic rendition, reset at the
// end of every line (and blanks at the end that show a look kept). Before it, the newest `historyLines` lines of the
// history (-1: all of them; the alternate screen has none), as many of
// the newest as fit in `budget` bytes.
std::string renderCapture(const Grid& g, bool looks, int64_t historyLines, size_t budget);
// The running number one past the newest line of the main screen's
// history: what a terminal that has been given the whole history holds.
int64_t historyEnd(const Grid& g);

// History and the screen in view as plain lines for a terminal's main
// screen: every line of the main screen (history within the budget, as in
// renderAnsiFull), then, while the alternate screen is shown, its lines;
// trailing blank lines left out. Each line carries its rendition, ends with
// SGR 0 and CR LF; no cursor movement, no modes.
std::string renderTranscript(const Grid& g, size_t historyBudget = SIZE_MAX);
// What brings a terminal of cols x rows back to showing this model,
// whatever it showed before: without the history, as a snapshot when the
// size is the model's, else the screen cropped to that window (the part
// holding the cursor) or with the rest blank, and the modes, pen and title.
std::string renderRepaint(const Grid& g, int64_t cols, int64_t rows);

// Building blocks of the state's rendering.
void appendNumber(std::string& out, int64_t v);
// Graphic rendition that sets exactly this pen.
void appendSgr(std::string& out, const Pen& pen);
// CUP to a 1-based row and column.
void appendCursorPosition(std::string& out, int64_t row, int64_t col);

}  // namespace screen
