// The writer: the one way into the screen model. The control functions
// (functions.h) and the interpreter change the grid through it, by the
// operations named here; whatever else reads the grid (rendering, the
// queries' answers, the terminal's accessors) reads a const Grid.
//
// The writer keeps the grid's bounds (Grid::bounds: the screen's top
// line, the last row the cursor may stand on, the column limit) where the
// lines, the screens or the size change, so that moving the cursor never
// has to work them out again.
//
// Its operations are implemented by concern: writer.cpp (the bounds and
// the records besides the screen), cursor_motion.cpp, scrolling.cpp (line
// feeds, the region and the history), screens.cpp (the alternate screen,
// resizing and the resets), editing.cpp, placement.cpp (text) and tabs.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "screen/grid.h"

namespace screen {

// A grid with one empty row, tab width 8 and everything else 0 or off.
Grid newGrid();
// The same with a size and a scrollback limit set (still one row).
Grid newGrid(int64_t cols, int64_t height, int64_t maxScrollback);

class Writer {
  public:
    explicit Writer(Grid& g) : g_(g) {}

    // Reading the model, and the parts of it that carry no position: the
    // terminal state record (pen, modes, character sets, tab stops, title,
    // colours), the shown screen's keyboard flags and the hyperlinks.
    const Grid& grid() const { return g_; }
    TerminalState& state() { return g_.state; }
    KeyboardFlags& keyboard() { return g_.screen.keyboard; }
    LinkTable& links() { return *g_.links; }

    // Cursor motion. Up and down stop at the margin when starting inside
    // the region, else at the screen's edge; forward and back at the
    // edges. Rows of moveTo and moveToRow count from 0 below the top of
    // the screen, or in origin mode below the top margin.
    void moveUp(int64_t n);
    void moveDown(int64_t n);
    void moveForward(int64_t n);
    void moveBack(int64_t n);
    void moveTo(int64_t row, Column col);
    void moveToRow(int64_t row);
    void moveToColumn(Column col);
    void carriageReturn();
    // The home position: the top margin in origin mode, else the top of
    // the screen.
    void home();
    void backspace();
    // HT, CHT and CBT: n tab stops forward, n back.
    void tabForward(int64_t n);
    void tabBackward(int64_t n);
    // A wrap no longer pending leaves the cursor on the last column, not
    // past it.
    void cancelPendingWrap();
    // ESC 7 and ESC 8 (and CSI s, CSI u, ?1048).
    void saveCursor();
    // The saved cursor, or home with the default pen when nothing was saved.
    void restoreCursor();

    // Text. putAscii places a run of printable ASCII (0x20..0x7E) as
    // putRune would each byte; putRune places one character at the cursor
    // and advances it; putCombining attaches a mark to the character
    // before the cursor (or drops it with none); repeat is REP: the
    // character last written, n times more, within the line.
    void putAscii(const char* bytes, size_t n);
    void putRune(int32_t rune);
    void putCombining(int32_t mark);
    void repeat(int64_t n);
    // No character to repeat: any control breaks REP's hold on the last
    // one.
    void breakRepeat() { g_.lastRune = -1; }
    // For the interpreter's text lane, which writes cells of the cursor
    // row itself: the row, created if missing, and the end of the text
    // written into it, at column col (a wrap pending at the width).
    Row& textRow() { return cursorLine(); }
    void endTextRun(Column col, int32_t lastRune) {
        g_.lastRune = lastRune;
        g_.cursor.col = col;
        g_.cursor.pendingWrap = col >= g_.cols;
    }

    // Next line at column 0 (NEL); next line keeping the column and a
    // pending wrap (LF, VT, FF, IND); up one row, scrolling the region
    // down at its top (RI).
    void lineFeed();
    void index();
    void reverseIndex();

    // Editing at the cursor.
    void insertChars(int64_t n);
    void deleteChars(int64_t n);
    // Blanks n cells from the cursor on without moving the rest.
    void eraseChars(int64_t n);
    void insertLines(int64_t n);
    void deleteLines(int64_t n);
    // Mode 0: from the cursor to the end, 1: from the start through the
    // cursor, 2: all; other modes do nothing. eraseDisplay never touches
    // the history; eraseScrollback (ED 3) drops it, the screen staying.
    void eraseLine(int64_t mode);
    void eraseDisplay(int64_t mode);
    void eraseScrollback();
    // DECALN: every screen cell an "E" in the default look, no margins,
    // the cursor home.
    void alignmentTest();

    // Sets the margins to the screen rows top..bottom (a bottom below the
    // screen is its last row), or clears them when none are given, and
    // homes the cursor.
    void setScrollRegion(std::optional<std::pair<ScreenRow, ScreenRow>> rows);
    // Scrolls lines top..bottom by n; the rows brought in are painted with
    // the pen's background (empty when it is the default). Without bounds:
    // the region, else the screen (SU, SD).
    void scrollUp(LineIndex top, LineIndex bottom, int64_t n);
    void scrollDown(LineIndex top, LineIndex bottom, int64_t n);
    void scrollUp(int64_t n);
    void scrollDown(int64_t n);
    // Appends empty rows until the lines have one at row (bounded by the
    // screen). Asked on every cursor move: inline while the row is there.
    void ensureRow(LineIndex row) {
        if (row >= g_.screen.lines.end()) ensureRowSlow(row);
    }

    // Shows the alternate screen, blank, keeping the cursor where it is on
    // the screen; saveMainCursor (1049) keeps the cursor and pen to come
    // back to.
    void enterAltScreen(bool saveMainCursor);
    // Back to the main screen; restoreCursor (1049) puts back what 1049
    // saved.
    void leaveAltScreen(bool restoreCursor);
    void resize(int64_t cols, int64_t rows);
    // DECSTR: the terminal state's soft reset (terminal_state.cpp says
    // what it keeps) and no margins; the screen and the cursor stay.
    void softReset();
    // RIS: the whole terminal state back to a new terminal's, the screen
    // cleared and the cursor home; the history stays.
    void fullReset();

    // The records kept besides the screen: synchronized updates (?2026,
    // dated by the chunk being fed), warnings, queries, control functions
    // not known.
    void setClock(SyncClock::time_point now) { g_.now = now; }
    void beginUpdate();
    void endUpdate();
    // Ends the open update if its deadline is at or before now.
    void endOverdueUpdate(SyncClock::time_point now);
    void warn(std::string text);
    void record(Query q);
    void countUnknown() { ++g_.unknownFunctions; }

  private:
    // The bounds worked out again from the lines and the size, after
    // anything that changes them.
    void refreshBounds() { g_.bounds = measureBounds(g_); }
    void ensureRowSlow(LineIndex row);
    // The cursor row, created if missing, ready for editing.
    Row& cursorLine() {
        if (g_.cursor.row >= LineIndex{0} && g_.cursor.row < g_.screen.lines.end())
            return g_.screen.lines.edit(g_.cursor.row);
        return cursorLineSlow();
    }
    Row& cursorLineSlow();
    void clampColumn();
    void moveToScreenRow(int64_t row);
    void placeCursor(const SavedCursor& c);

    // The line feed of an automatic wrap: the row it brings in stays empty.
    void wrapLine();
    // One line down, scrolling where needed; fillScrolled paints a row
    // that scrolling brings in (not done for an automatic wrap).
    void advance(bool fillScrolled);
    void scrollRows(LineIndex top, LineIndex bottom, int64_t n, bool up, const Row& fill);
    void scrollIntoHistory(LineIndex bottom, Row fill);
    // Drops the lines beyond the history limit; how many went. The
    // caller refreshes the bounds when the count of lines has changed.
    int64_t trimScrollback();
    void moveMargins(ScreenView from, ScreenView to);
    // After the main and the alternate screen traded places.
    void screenSwitched();

    void eraseRow(LineIndex i);
    void eraseToEnd(Row& row, size_t col);
    void eraseToCursor(Row& row, size_t col);

    Grid& g_;
};

}  // namespace screen
