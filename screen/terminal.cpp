#include "screen/terminal.h"

#include <utility>

#include "screen/interpreter.h"
#include "screen/render.h"

namespace screen {

Terminal::Terminal(int64_t cols, int64_t rows, int64_t scrollback)
    : grid_(newGrid(cols, rows, scrollback)) {}

void Terminal::write(std::string_view bytes) {
    feed(grid_, bytes);
}

void Terminal::resize(int64_t cols, int64_t rows) {
    screen::resize(grid_, cols, rows);
}

std::string Terminal::snapshot(size_t historyBudget) const {
    return renderSnapshot(grid_, historyBudget);
}

std::vector<Query> Terminal::takeQueries() {
    return std::exchange(grid_.queries, {});
}

std::unique_ptr<Terminal> newTerminal(int64_t cols, int64_t rows, int64_t scrollback) {
    return std::make_unique<Terminal>(cols, rows, scrollback);
}

}  // namespace screen
