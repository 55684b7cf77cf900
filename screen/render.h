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
std::string renderSnapshot(const Grid& g, size_t historyBudget = SIZE_MAX);

}  // namespace screen
