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

#include "screen/queries.h"
#include "screen/state.h"

namespace screen {

struct Grid;

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
    // The repaint an attaching client receives: cells, the terminal state
    // and the cursor. With a history budget, the oldest scrollback lines
    // are left out as far as needed to keep their text within that many
    // bytes.
    std::string snapshot(size_t historyBudget = SIZE_MAX) const;
    // What brings a terminal of cols x rows that showed anything at all
    // (a cut stream, an older screen) to show this model's screen without
    // its history: cropped to the window, or blank where the window is
    // larger, when the size is not the model's.
    std::string repaint(int64_t cols, int64_t rows) const;
    // The history and the screen as plain lines, each ended by a line
    // feed, trailing blanks and blank lines at the end left out: for a
    // reader that is not a terminal.
    std::string text() const;
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

}  // namespace screen
