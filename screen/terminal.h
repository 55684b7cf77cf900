// The terminal object, the screen library's public face: a model of a
// terminal fed with a program's output, chunk by chunk, rendered for a
// client that attaches, and asked about its state. Positions it gives are
// screen coordinates; the grid behind it is the library's own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "screen/colours.h"
#include "screen/queries.h"
#include "screen/state.h"

namespace screen {

struct Grid;

// What the sequence that takes a terminal back to its defaults depends on:
// the few facts that a client leaving a terminal must undo, known to a
// model of the whole screen and to a tracker of the terminal's state alike.
struct LeavingState {
    int keyboardPushes = 0;        // kitty keyboard flags pushed on the screen shown
    bool alternateScreen = false;  // shown, to be left
    int mainKeyboardPushes = 0;    // pushed on the main screen behind it
    bool modifyOtherKeys = false;
    // Tab stops changed: the width to set the default ones again over
    // (0: unchanged).
    int64_t tabColumns = 0;
    bool linkOpen = false;      // an OSC 8 hyperlink links what is written
    bool cursorStyled = false;  // DECSCUSR chose a style
    Colours colours;            // those the program set
    // The main screen's row (from 0) that the cursor stands on, or comes
    // back to when the alternate screen is left, and the last of its rows
    // that may hold visible text (-1: none).
    int64_t cursorRow = 0;
    int64_t lastTextRow = -1;
};

// The bytes that take a terminal in that state back to its defaults: main
// screen, input modes off, keyboard flags popped, insert and origin off,
// autowrap on, scroll region and tab stops reset, ASCII, default pen, the
// terminal's own colours where the program set others, the cursor shown in
// the default style and on a line of its own below the text. No full
// reset: it would erase the terminal's scrollback.
std::string leavingSequence(const LeavingState& s);

// The columns a character takes on the screen: 2 for a wide one, 0 for a
// combining mark, 1 otherwise.
int characterColumns(int32_t rune);
// A character shown as text that a following variation selector 16 shows
// as a two-column emoji.
bool widenedBySelector16(int32_t rune);

class Terminal {
  public:
    // A grid with the given width, height and scrollback limit.
    Terminal(int64_t cols, int64_t rows, int64_t scrollback);
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    using Clock = std::chrono::steady_clock;

    // Feeds one chunk of the program's output, cut anywhere; now is when it
    // arrived (see updateDeadline()).
    void write(std::string_view bytes, Clock::time_point now = {});
    // A synchronized update the program never closes ends by itself one
    // second after it began, as on terminals. The library reads no clock:
    // the caller asks when the open update is due to end (none: nothing
    // to wait for) and calls endOverdueUpdate() once that time has come.
    std::optional<Clock::time_point> updateDeadline() const;
    void endOverdueUpdate(Clock::time_point now);
    void resize(int64_t cols, int64_t rows);
    // The repaint an attaching client receives: the history, then the
    // cells, the terminal state and the cursor. The history goes with its
    // looks, each logical line whole (rows the output wrapped joined), and
    // ends up in the receiving terminal's scrollback. Only the lines from
    // running number `fromLine` on are sent (see historyEnd()); with a
    // history budget, the oldest of them are left out as far as needed to
    // keep their rendering within that many bytes.
    std::string snapshot(size_t historyBudget = SIZE_MAX, int64_t fromLine = 0) const;
    // History lines are numbered from the first line the session ever
    // scrolled off, a number that trimming the history does not change:
    // this is one past the newest. A terminal that has been sent the
    // history up to here, or has shown the output live until now, holds
    // every line before it. Erasing the history (ED 3) moves it on, so that
    // nothing erased is owed to anybody.
    int64_t historyEnd() const;
    // The text of the screen shown, one line per row without its trailing
    // blanks; with `looks` the colours and attributes as graphic
    // rendition. Before it the newest `historyLines` history lines (-1:
    // all), as many of the newest as fit in `budget` bytes.
    std::string capture(bool looks, int64_t historyLines, size_t budget = SIZE_MAX) const;
    // History and the screen in view, oldest first, as lines that a
    // terminal's main screen (or a fresh model) shows as they were, with
    // their colours: no modes, no cursor placement. The history budget is
    // the snapshot's.
    std::string transcript(size_t historyBudget = SIZE_MAX) const;
    // What brings a terminal of cols x rows that showed anything at all
    // (a cut stream, an older screen) to show this model's screen without
    // its history: cropped to the window, or blank where the window is
    // larger, when the size is not the model's.
    std::string repaint(int64_t cols, int64_t rows) const;
    // What takes a terminal that shows this model back to its defaults,
    // the cursor on a line of its own below the text (no full reset).
    std::string leavingSequence() const;

    ScreenPoint cursor() const;
    const Modes& modes() const;
    bool alternateScreen() const;
    int64_t cols() const;
    int64_t rows() const;

    // The queries the program asked since the last call, oldest first, each
    // with the answer the model gives.
    std::vector<Query> takeQueries();

    // The model itself, for the library's own tests and benchmarks.
    const Grid& grid() const { return *grid_; }
    Grid& grid() { return *grid_; }

  private:
    std::unique_ptr<Grid> grid_;
};

std::unique_ptr<Terminal> newTerminal(int64_t cols, int64_t rows, int64_t scrollback);

// The columns UTF-8 text takes on a terminal, by the widths the model uses:
// two for a wide character, none for a combining mark.
int64_t displayColumns(std::string_view text);

}  // namespace screen
