#include "screen/terminal.h"

#include <utility>

#include "screen/grid.h"
#include "screen/interpreter.h"
#include "screen/render.h"
#include "screen/render_state.h"

namespace screen {

Terminal::Terminal(int64_t cols, int64_t rows, int64_t scrollback)
    : grid_(std::make_unique<Grid>(newGrid(cols, rows, scrollback))) {}

Terminal::~Terminal() = default;

void Terminal::write(std::string_view bytes, Clock::time_point now) {
    feed(*grid_, bytes, now);
}

std::optional<Terminal::Clock::time_point> Terminal::updateDeadline() const {
    return syncDeadline(*grid_);
}

void Terminal::endOverdueUpdate(Clock::time_point now) {
    endOverdueSync(*grid_, now);
}

void Terminal::resize(int64_t cols, int64_t rows) {
    screen::resize(*grid_, cols, rows);
}

std::string Terminal::snapshot(size_t historyBudget) const {
    return renderSnapshot(*grid_, historyBudget);
}

std::string Terminal::repaint(int64_t cols, int64_t rows) const {
    return renderRepaint(*grid_, cols, rows);
}

std::string Terminal::text() const {
    std::string out;
    size_t kept = 0;
    for (int64_t i = 0; i < grid_->lines.size(); ++i) {
        std::string row = rowText(*grid_, i);
        row.erase(row.find_last_not_of(' ') + 1);
        out += row;
        out += '\n';
        if (!row.empty()) kept = out.size();
    }
    out.resize(kept);
    return out;
}

std::string Terminal::leavingSequence() const {
    return renderLeaving(*grid_);
}

ScreenPoint Terminal::cursor() const {
    return ScreenPoint{ScreenRow{grid_->cursor.row - screenTop(*grid_)}, grid_->cursor.col};
}

const Modes& Terminal::modes() const {
    return grid_->modes;
}

bool Terminal::alternateScreen() const {
    return grid_->alt.active;
}

int64_t Terminal::cols() const {
    return grid_->cols;
}

int64_t Terminal::rows() const {
    return grid_->height;
}

std::vector<Query> Terminal::takeQueries() {
    return std::exchange(grid_->queries, {});
}

std::unique_ptr<Terminal> newTerminal(int64_t cols, int64_t rows, int64_t scrollback) {
    return std::make_unique<Terminal>(cols, rows, scrollback);
}

}  // namespace screen
