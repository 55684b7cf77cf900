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
std::string rowText(const Grid& g, int64_t i);
// Rows with graphic rendition, separated by CR LF; a column limit above 0
// cuts each row after that many cells.
std::string renderRows(const std::vector<Row>& rows, int64_t colLimit);
// Erase, home, then the last rowCount lines.
std::string renderAnsi(const Grid& g, int64_t colLimit, int64_t rowCount);
// The scrollback as plain lines, then the screen with renderAnsi. With a
// history budget, only the newest scrollback lines whose text (with line
// breaks) fits in that many bytes are written.
std::string renderAnsiFull(const Grid& g, size_t historyBudget = SIZE_MAX);
// What an attaching client receives: renderAnsiFull, then the cursor put
// where it is; a pending wrap is reproduced by writing the last column
// again, so the client's terminal also waits to wrap.
// Then the terminal state: the alternate screen with its contents, scroll
// region, tab stops, saved cursor, modes, character sets, pen, title,
// cursor style and visibility; and last the head of a sequence that the
// latest read cut, whose tail the live output brings.
std::string renderSnapshot(const Grid& g, size_t historyBudget = SIZE_MAX);
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
