#include "screen/render.h"

#include <algorithm>

#include "screen/render_state.h"

namespace screen {

void appendNumber(std::string& out, int64_t v) {
    char buf[24];
    int n = 0;
    uint64_t u = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
    do {
        buf[n++] = char('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) out += '-';
    while (n)
        out += buf[--n];
}

namespace {

// Writes rows, emitting graphic rendition only where the attributes in
// force change.
class RowWriter {
  public:
    explicit RowWriter(std::string& out) : out_(out) {}

    void row(const Row& row, int64_t colLimit) {
        size_t n = row.size();
        if (colLimit > 0) n = std::min(n, size_t(colLimit));
        // Blanks painted with a background to the end of the row are
        // written as the erase that made them, as a terminal keeps them.
        size_t erased = n;
        if (colLimit > 0 && n == size_t(colLimit) && isEraseBlank(row[n - 1])) {
            while (erased > 0 && row[erased - 1] == row[n - 1])
                --erased;
        }
        for (size_t i = 0; i < erased; ++i) {
            const Cell& c = row[i];
            if (differs(c, inForce_)) sgr(c);
            if (c.width() == 2 && i + 1 == n && colLimit > 0 && size_t(colLimit) == n) {
                // The right half would spill past the last column.
                out_ += ' ';
                continue;
            }
            row.appendText(i, out_);
        }
        if (erased < n) {
            if (differs(row[n - 1], inForce_)) sgr(row[n - 1]);
            out_ += "\x1b[K";
        }
    }

    // The rendition sequence for a cell: a full reset, then its colours and
    // styles.
    void sgr(const Cell& c) {
        out_ += "\x1b[0";
        colour(c.fg(), c.fgIndex(), 29, 81, "38;5;");
        colour(c.bg(), c.bgIndex(), 39, 91, "48;5;");
        static constexpr char kStyleCodes[] = {'1', '2', '3', '4', '5', '7', '9'};
        for (int bit = 0; bit < 7; ++bit) {
            if (c.attrs() & (1 << bit)) {
                out_ += ';';
                out_ += kStyleCodes[bit];
            }
        }
        out_ += 'm';
        inForce_ = c;
    }

  private:
    static bool isEraseBlank(const Cell& c) {
        return c.bg() != kColorDefault && c == Cell::eraseBlank(c.pen());
    }

    static bool differs(const Cell& a, const Cell& b) {
        if (a.fg() != b.fg() || a.bg() != b.bg() || a.attrs() != b.attrs()) return true;
        if (a.fg() == kColorIndexed && a.fgIndex() != b.fgIndex()) return true;
        return a.bg() == kColorIndexed && a.bgIndex() != b.bgIndex();
    }

    void colour(uint8_t kind, uint8_t index, int normal, int bright, const char* indexed) {
        if (kind >= 1 && kind <= 8) {
            out_ += ';';
            appendNumber(out_, kind + normal);
        } else if (kind >= 9 && kind <= 16) {
            out_ += ';';
            appendNumber(out_, kind + bright);
        } else if (kind == kColorIndexed) {
            out_ += ';';
            out_ += indexed;
            appendNumber(out_, index);
        }
    }

    std::string& out_;
    Cell inForce_ = Cell();
};

void appendScreen(std::string& out, const Lines& lines, int64_t colLimit, int64_t rowCount) {
    out += "\x1b[2J\x1b[H";
    int64_t n = lines.size();
    int64_t first = rowCount > 0 ? std::max<int64_t>(0, n - rowCount) : n;
    RowWriter w(out);
    for (int64_t i = first; i < n; ++i) {
        if (i > first) out += "\r\n";
        if (const Row* r = lines.expanded(i)) {
            w.row(*r, colLimit);
        } else if (lines.rowSize(i) > 0) {
            w.row(lines.row(i), colLimit);
        }
    }
    out += "\x1b[0m";
}

// The first scrollback line to write so that the text of the lines from it
// to the screen, with their line breaks, fits the budget.
int64_t firstHistoryLine(const Lines& lines, int64_t history, size_t budget) {
    if (budget == SIZE_MAX) return 0;
    std::string text;
    size_t total = 0;
    for (int64_t i = history - 1; i >= 0; --i) {
        text.clear();
        lines.appendText(i, text);
        total += text.size() + 2;
        if (total > budget) return i + 1;
    }
    return 0;
}

// The history as plain lines, then the screen.
void appendFull(std::string& out, const Lines& lines, int64_t cols, int64_t h, size_t budget) {
    int64_t n = lines.size();
    int64_t history = h > 0 ? std::max<int64_t>(0, n - h) : n;
    int64_t first = firstHistoryLine(lines, history, budget);
    out.reserve(size_t(history - first) * 82 + size_t(std::max<int64_t>(h, 0)) * 100 + 256);
    for (int64_t i = first; i < history; ++i) {
        lines.appendText(i, out);
        out += "\r\n";
    }
    appendScreen(out, lines, cols, h);
}

}  // namespace

std::string rowText(const Grid& g, int64_t i) {
    std::string s;
    g.lines.appendText(i, s);
    return s;
}

std::string renderRows(const std::vector<Row>& rows, int64_t colLimit) {
    std::string out;
    RowWriter w(out);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) out += "\r\n";
        w.row(rows[i], colLimit);
    }
    return out;
}

std::string renderAnsi(const Grid& g, int64_t colLimit, int64_t rowCount) {
    std::string out;
    appendScreen(out, g.lines, colLimit, rowCount);
    return out;
}

std::string renderAnsiFull(const Grid& g, size_t historyBudget) {
    std::string out;
    appendFull(out, g.lines, g.cols, g.height, historyBudget);
    return out;
}

namespace {

// The cursor put where it is (row and column 1-based, row as the terminal
// addresses it); a pending wrap is reproduced by writing the last column
// again, so that the client's terminal also waits to wrap.
void appendCursor(std::string& out, const Grid& g, int64_t row) {
    int64_t h = g.height;
    auto place = [&](int64_t col) { appendCursorPosition(out, row, col); };
    if (!g.cursor.pendingWrap || g.cols <= 0 || h <= 0) {
        place(g.cursor.col + 1);
        return;
    }
    size_t last = size_t(columnLimit(g) - 1);
    Row r = g.lines.row(g.cursor.row);
    RowWriter w(out);
    if (r.isWideRight(last)) {
        place(int64_t(last));
        w.sgr(r[last - 1]);
        r.appendText(last - 1, out);
    } else if (last < r.size()) {
        place(int64_t(last) + 1);
        w.sgr(r[last]);
        size_t before = out.size();
        if (r[last].width() == 1) r.appendText(last, out);
        if (out.size() == before) out += ' ';
    } else {
        place(int64_t(last) + 1);
        out += ' ';
    }
    out += "\x1b[0m";
}

}  // namespace

void appendSgr(std::string& out, const Pen& pen) {
    RowWriter(out).sgr(Cell::make(32, 1, pen));
}

void appendCursorPosition(std::string& out, int64_t row, int64_t col) {
    out += "\x1b[";
    appendNumber(out, row);
    out += ';';
    appendNumber(out, col);
    out += 'H';
}

std::string renderSnapshot(const Grid& g, size_t historyBudget) {
    std::string out;
    // History and the main screen first, on the main screen, so that
    // leaving the alternate screen later brings back what the model holds.
    bool alt = g.alt.active && g.savedMain;
    appendFull(out, alt ? g.savedMain->lines : g.lines, g.cols, g.height, historyBudget);
    if (alt) {
        appendAltScreenEntry(out, g);
        appendScreen(out, g.lines, g.cols, g.height);
    }
    appendStateBeforeCursor(out, g);
    appendCursor(out, g, cursorRowAddressed(g));
    appendStateAfterCursor(out, g);
    // The head of a sequence that the last read cut: its tail comes with
    // the live output that follows.
    out += g.held;
    return out;
}

}  // namespace screen
