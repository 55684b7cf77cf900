#include "screen/terminal.h"

#include <algorithm>
#include <utility>

#include "screen/grid.h"
#include "screen/interpreter.h"
#include "screen/placement.h"
#include "screen/render.h"
#include "screen/render_state.h"
#include "screen/utf8.h"
#include "screen/writer.h"

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
    Writer(*grid_).resize(cols, rows);
}

std::string Terminal::snapshot(size_t historyBudget, int64_t fromLine) const {
    return renderSnapshot(*grid_, historyBudget, fromLine);
}

std::string Terminal::capture(bool looks, int64_t historyLines, size_t budget) const {
    return renderCapture(*grid_, looks, historyLines, budget);
}

int64_t Terminal::historyEnd() const {
    return screen::historyEnd(*grid_);
}

std::string Terminal::transcript(size_t historyBudget) const {
    return renderTranscript(*grid_, historyBudget);
}

std::string Terminal::repaint(int64_t cols, int64_t rows) const {
    return renderRepaint(*grid_, cols, rows);
}

std::string Terminal::leavingSequence() const {
    return screen::leavingSequence(leavingState(*grid_));
}

ScreenPoint Terminal::cursor() const {
    return ScreenPoint{screenView(*grid_).row(grid_->cursor.row), grid_->cursor.col};
}

const Modes& Terminal::modes() const {
    return grid_->state.modes;
}

bool Terminal::alternateScreen() const {
    return altShown(*grid_);
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

int64_t displayColumns(std::string_view text) {
    int64_t columns = 0;
    for (size_t at = 0; at < text.size();) {
        Utf8Step step = decodeUtf8(text, at);
        columns += displayWidth(step.rune);
        at += std::max<size_t>(step.length, 1);
    }
    return columns;
}

int characterColumns(int32_t rune) {
    return displayWidth(rune);
}

bool widenedBySelector16(int32_t rune) {
    return isTextEmoji(rune);
}

}  // namespace screen
