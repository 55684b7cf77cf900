// The terminal object: a grid fed with a program's output, chunk by chunk,
// and rendered for a client that attaches.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "screen/grid.h"
#include "screen/queries.h"

namespace screen {

class Terminal {
  public:
    // A grid with the given width, height and scrollback limit.
    Terminal(int64_t cols, int64_t rows, int64_t scrollback);
    // Feeds one chunk of the program's output, cut anywhere.
    void write(std::string_view bytes);
    void resize(int64_t cols, int64_t rows);
    // The repaint an attaching client receives, cursor placement included.
    // With a history budget, the oldest scrollback lines are left out as
    // far as needed to keep their text within that many bytes.
    std::string snapshot(size_t historyBudget = SIZE_MAX) const;
    // The queries the program asked since the last call, oldest first, each
    // with the answer the model gives.
    std::vector<Query> takeQueries();
    const Grid& grid() const { return grid_; }
    Grid& grid() { return grid_; }

  private:
    Grid grid_;
};

std::unique_ptr<Terminal> newTerminal(int64_t cols, int64_t rows, int64_t scrollback);

}  // namespace screen
