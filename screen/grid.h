// The screen model: lines of cells with scrollback, the alternate screen,
// the cursor and margins, the rest of the terminal state in force (one
// record: terminal_state.h) and the state of synchronized updates, with
// what reading it needs. Only the writer (writer.h) changes it. A grid has
// one owner and is never copied.
//
// Row positions (cursor.row, margins) are line indexes; the visible screen
// is the last `height` lines, screenTop() is the index of its first row and
// screenView() converts between the two. The saved cursors are screen
// rows, so output that scrolls the screen cannot move them into the history.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "screen/cell.h"
#include "screen/colours.h"
#include "screen/lines.h"
#include "screen/links.h"
#include "screen/parser.h"
#include "screen/queries.h"
#include "screen/row.h"
#include "screen/state.h"
#include "screen/terminal_state.h"

namespace screen {

// The number of warnings kept (the other bounds are in state.h).
inline constexpr size_t kMaxWarnings = 100;

// The clock that dates synchronized updates (the caller's; see feed()).
using SyncClock = std::chrono::steady_clock;

// What each screen, main and alternate, has of its own. The grid shows one
// (Grid::screen); while the alternate screen is shown, the main one waits
// behind it (Grid::hiddenMain). Switching moves these records, so that a
// screen's lines are never copied.
struct ScreenBuffer {
    Lines lines;  // its history (the main screen's only), then its rows
    // The kitty keyboard flags are kept per screen, as that protocol says.
    KeyboardFlags keyboard;
    // While hidden: the line the cursor stood on, so that a resize treats
    // the screen as it treats the one shown (rows below the cursor go
    // first, the rest into the history). The size and the history limit
    // are the grid's: both screens take every resize.
    LineIndex cursorRow{0};
    // On the main screen: its cursor and pen as 1049 saved them on entering
    // the alternate screen, to be restored when 1049 leaves it.
    std::optional<SavedCursor> savedBy1049;
};

// The program's output as read so far (interpreter.h): where the parser
// stands, and the body of a string being read, which its end needs (a
// title, a hyperlink) and an attaching client's repaint carries.
struct ScreenInput;
struct InputState {
    Parser<ScreenInput> parser;
    StringKind kind = StringKind::Osc;
    // A device control string's head (its name and parameters).
    Sequence head;
    // The string's body so far; past kMaxHeld it is dropped and the string
    // ignored.
    std::string body;
    bool overflow = false;
};

// The screen's bounds, which cursor motion asks for all the time: kept by
// the writer wherever the lines or the size change (see measureBounds()).
struct ScreenBounds {
    LineIndex top{0};               // the screen's first row: the line after the history
    LineIndex last{kMaxRows - 1};   // the last row the cursor may stand on
    LineIndex rowLimit{kMaxRows};   // exclusive bound of the rows the grid may create
    int64_t columns = kMaxColumns;  // the width, or kMaxColumns when none is set
    bool operator==(const ScreenBounds&) const = default;
};

struct Grid {
    ScreenBuffer screen;  // the screen shown
    Cursor cursor;
    int64_t cols = 0;
    int64_t height = 0;
    int64_t maxScrollback = 0;
    Margins margins;
    ScreenBounds bounds;
    // The pen, the modes, the character sets, the tab stops, the saved
    // cursor, the title and the colours.
    TerminalState state;
    // The hyperlinks cells refer to by number: one table for both screens,
    // so the main screen's cells keep their links behind the alternate one.
    std::shared_ptr<LinkTable> links = std::make_shared<LinkTable>();
    std::deque<std::string> warnings;
    // A synchronized update (?2026) is open: the program is drawing a
    // frame. The model takes it in as it comes; a repaint opens one on
    // the client's terminal too, so that the rest of the frame shows at
    // once when the program ends it.
    bool syncActive = false;
    SyncClock::time_point syncBegan{};  // when the open update began
    SyncClock::time_point now{};        // when the chunk being fed arrived
    InputState input;
    // While the alternate screen is shown: the main screen, moved here
    // whole.
    std::optional<ScreenBuffer> hiddenMain;
    // Control sequences whose function this terminal does not know, and
    // so ignored (see functions.h).
    uint64_t unknownFunctions = 0;
    // The last graphic character written, for REP (-1: none since the
    // last control).
    int32_t lastRune = -1;
    // Queries the program asked, oldest first, until the owner takes them.
    std::vector<Query> queries;
};

// Printable ASCII goes in as it is: no other character set, no insert
// mode, autowrap on (the fast paths of text need all three).
inline bool plainWriting(const Grid& g) {
    return g.state.charsets.active() == Charset::Ascii && !g.state.modes.insert &&
           g.state.modes.autowrap;
}

// The alternate screen is shown (the main one waits behind it).
inline bool altShown(const Grid& g) {
    return g.hiddenMain.has_value();
}
// The main screen, shown or behind the alternate one.
inline const ScreenBuffer& mainScreen(const Grid& g) {
    return g.hiddenMain ? *g.hiddenMain : g.screen;
}

// How many of the lines lie above a screen of that height: the history.
inline int64_t historyLength(const Lines& lines, int64_t height) {
    return height > 0 && lines.size() > height ? lines.size() - height : 0;
}
// Index of the first visible row of lines on a screen of that height, the
// line after the history.
inline LineIndex screenTop(const Lines& lines, int64_t height) {
    return LineIndex{historyLength(lines, height)};
}
// The bounds of the grid's screen as its lines and size make them.
inline ScreenBounds measureBounds(const Grid& g) {
    const int64_t rows = g.height > 0 && g.height < kMaxRows ? g.height : kMaxRows;
    const LineIndex top = screenTop(g.screen.lines, g.height);
    return ScreenBounds{
        top,
        g.height > 0 ? top + rows - 1 : LineIndex{kMaxRows - 1},
        LineIndex{g.screen.lines.size() > rows ? g.screen.lines.size() : rows},
        g.cols > 0 && g.cols < kMaxColumns ? g.cols : kMaxColumns,
    };
}
inline LineIndex screenTop(const Grid& g) {
    return g.bounds.top;
}
// The visible screen over the lines, for one state of them (a line feed
// that scrolls moves it): which line index a screen row shows, and which
// screen row shows a line. The one place where the two spaces meet.
struct ScreenView {
    LineIndex top{0};
    LineIndex line(ScreenRow row) const { return top + row.value; }
    ScreenRow row(LineIndex line) const { return ScreenRow{line - top}; }
};
inline ScreenView screenView(const Grid& g) {
    return ScreenView{screenTop(g)};
}
// Index of the last row the cursor may stand on.
inline LineIndex lastScreenRow(const Grid& g) {
    return g.bounds.last;
}
// The width, or kMaxColumns when none is set.
inline int64_t columnLimit(const Grid& g) {
    return g.bounds.columns;
}
// Exclusive bound of the row indexes the grid may create.
inline LineIndex rowLimit(const Grid& g) {
    return g.bounds.rowLimit;
}
// A row index clamped to the rows the grid may hold.
inline LineIndex clampRow(const Grid& g, LineIndex row) {
    const LineIndex last = rowLimit(g) - 1;
    return row < LineIndex{0} ? LineIndex{0} : row > last ? last : row;
}

inline bool regionActive(const Grid& g) {
    return g.margins.top > LineIndex{0} || g.margins.bottom > LineIndex{0};
}
LineIndex scrollBottomDefault(const Grid& g);
// The lines that scroll: the region, else the screen.
std::pair<LineIndex, LineIndex> scrollBounds(const Grid& g);
// The cursor as ESC 7 saves it, in screen coordinates.
SavedCursor currentCursor(const Grid& g);

// The blank that erasing, inserting and deleting make in row: the pen's
// background and nothing else (a default blank for the default background).
inline Cell eraseBlank(const Grid& g, Row& row) {
    return row.eraseCell(g.state.pen);
}
// A row brought in by scrolling: empty, or painted to the width when the
// pen has a background colour.
Row scrolledInRow(const Grid& g);

}  // namespace screen
