// The screen model: lines of cells with scrollback, the cursor, scroll
// margins, the pen, the alternate screen and the state of synchronized
// updates, with the operations that keep its structure (line feed,
// scrolling, the scrollback limit, copying, resizing).
//
// Row positions (cursorRow, scrollTop, scrollBottom, altSavedRow) are
// indexes into lines; the visible screen is the last `height` lines, and
// screenTop() is the index of its first row. The saved cursor (savedRow)
// is a screen row, so output that scrolls the screen cannot move it into
// the history.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "screen/cell.h"
#include "screen/lines.h"
#include "screen/row.h"

namespace screen {

// Bounds that no input can push the grid past: the widest row and the
// most screen rows when no size is set (and the largest size accepted),
// and the number of warnings kept.
inline constexpr int64_t kMaxColumns = 4096;
inline constexpr int64_t kMaxRows = 4096;
inline constexpr size_t kMaxWarnings = 100;

struct Grid {
    Lines lines;
    int64_t cursorRow = 0;
    int64_t cursorCol = 0;
    int64_t cols = 0;
    int64_t height = 0;
    int64_t maxScrollback = 0;
    int64_t tabWidth = 8;
    int64_t scrollTop = 0;
    int64_t scrollBottom = 0;
    bool pendingWrap = false;
    int64_t savedRow = 0;  // screen row: an offset from screenTop()
    int64_t savedCol = 0;
    bool hasSavedCursor = false;
    bool cursorHidden = false;
    bool bracketedPaste = false;
    uint8_t fg = 0;
    uint8_t bg = 0;
    uint8_t fgIndex = 0;
    uint8_t bgIndex = 0;
    uint16_t attrs = 0;
    std::deque<std::string> warnings;
    bool syncActive = false;
    std::unique_ptr<Grid> syncGrid;
    std::string held;
    std::unique_ptr<Grid> savedMain;
    bool altActive = false;
    int64_t altSavedRow = 0;
    int64_t altSavedCol = 0;
    // ESC ( 0 selected the line-drawing character set for G0 (ESC ( B
    // selects ASCII again): "q" then prints as a horizontal line.
    bool lineDrawing = false;
    // Control sequences whose function this terminal does not know, and
    // so ignored (see functions.h).
    uint64_t unknownFunctions = 0;

    Pen pen() const { return Pen{fg, bg, fgIndex, bgIndex, attrs}; }
    void setPen(Pen p) {
        fg = p.fg;
        bg = p.bg;
        fgIndex = p.fgIndex;
        bgIndex = p.bgIndex;
        attrs = p.attrs;
    }
};

// A grid with one empty row, tab width 8 and everything else 0 or off.
Grid newGrid();
// The same with a size and a scrollback limit set (still one row).
Grid newGrid(int64_t cols, int64_t height, int64_t maxScrollback);
// A blank with the pen's attributes.
Cell blankCell(const Grid& g);
Row blankRow();
// Appends empty rows until lines has an entry at row (bounded by the screen).
void ensureRow(Grid& g, int64_t row);
void ensureThrough(Grid& g, int64_t row);
// Appends blanks with the given attributes until the row holds n cells
// (at most kMaxColumns + 1).
void padTo(Row& row, int64_t n, uint8_t fg, uint8_t bg, uint8_t fgIndex, uint8_t bgIndex,
           uint16_t attrs);

// Index of the first visible row.
int64_t screenTop(const Grid& g);
// Index of the last row the cursor may stand on.
int64_t lastScreenRow(const Grid& g);
// The width, or kMaxColumns when none is set.
inline int64_t columnLimit(const Grid& g) {
    return g.cols > 0 && g.cols < kMaxColumns ? g.cols : kMaxColumns;
}
// A row index clamped to the rows the grid may hold.
int64_t clampRow(const Grid& g, int64_t row);

bool regionActive(const Grid& g);
int64_t scrollBottomDefault(const Grid& g);
std::pair<int64_t, int64_t> scrollBounds(const Grid& g);
// Scroll lines top..bottom by n; the rows brought in are painted with the
// pen's background (empty when it is the default).
void scrollRegionUp(Grid& g, int64_t top, int64_t bottom, int64_t n);
void scrollRegionDown(Grid& g, int64_t top, int64_t bottom, int64_t n);
void trimScrollback(Grid& g);

// Next line at column 0 (carriage return and line feed).
void lineFeed(Grid& g);
// Next line keeping the column and a pending wrap, as LF, VT, FF and IND
// do in terminals.
void indexLine(Grid& g);
// The line feed of an automatic wrap: the row it brings in stays empty.
void wrapLine(Grid& g);

void copyGridState(Grid& dst, const Grid& src);
void enterAltScreen(Grid& g);
void leaveAltScreen(Grid& g, bool restoreCursor);
void resize(Grid& g, int64_t cols, int64_t rows);

void saveCursor(Grid& g);
void restoreCursor(Grid& g);
void addWarning(Grid& g, std::string text);

// The blank that erasing, inserting and deleting make: the pen's
// background and nothing else (a default blank for the default background).
Cell eraseBlank(const Grid& g);
// A row brought in by scrolling: empty, or painted to the width when the
// pen has a background colour.
Row scrolledInRow(const Grid& g);
// The cursor row, created if missing, ready for editing.
Row& cursorLineSlow(Grid& g);
inline Row& cursorLine(Grid& g) {
    if (g.cursorRow >= 0 && g.cursorRow < g.lines.size()) return g.lines.edit(g.cursorRow);
    return cursorLineSlow(g);
}

}  // namespace screen
