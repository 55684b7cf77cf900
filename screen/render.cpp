#include "screen/render.h"

#include <algorithm>

#include "screen/interpreter.h"
#include "screen/placement.h"
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

// A cell's text as the client's terminal must receive it to show the same
// cell. A text emoji that a variation selector 16 did not widen (it came
// in the last column) is written without the selector: with it, and room
// after it, the client's terminal would make it two columns wide.
void appendCellText(const Row& row, size_t i, std::string& out) {
    size_t from = out.size();
    row.appendText(i, out);
    if (row[i].width() != 1 || !row[i].extended() || !isTextEmoji(row.rune(i))) return;
    static constexpr std::string_view kSelector16 = "\xef\xb8\x8f";
    for (size_t at; (at = out.find(kSelector16, from)) != std::string::npos;)
        out.erase(at, kSelector16.size());
}

// Writes rows, emitting graphic rendition (and hyperlinks, given the
// grid's links) only where the look in force changes.
class RowWriter {
  public:
    explicit RowWriter(std::string& out, const LinkTable* links = nullptr)
        : out_(out), links_(links) {}

    // Cells from column `from` on, at most colLimit of them when above 0.
    void row(const Row& row, int64_t colLimit, size_t from = 0) {
        size_t n = row.size();
        if (colLimit > 0) n = std::min(n, from + size_t(colLimit));
        cells(row, n, colLimit, from);
    }

    // A row of the history, uncut: the terminal that receives it wraps it
    // at its own width. Blanks that only pad the end of a logical line are
    // left out; a row that ran on into the next keeps them, as they stand
    // before the next row's text.
    void historyRow(const Row& row) {
        size_t n = row.size();
        if (!row.wrapped()) {
            while (n > 0 && isPlainBlank(row, n - 1))
                --n;
        }
        cells(row, n, 0);
    }

    // A row as text, as a capture prints it: without the blanks at its end;
    // with its looks, blanks that show a look (a coloured bar) stay.
    void textRow(const Row& row, bool looks) {
        size_t n = row.size();
        while (n > 0 && row[n - 1].width() == 1 && !row[n - 1].extended() &&
               row[n - 1].code() == ' ' && (!looks || normalized(row.pen(n - 1)) == Pen()))
            --n;
        if (looks) {
            cells(row, n, 0);
            endLine();
            return;
        }
        for (size_t i = 0; i < n; ++i)
            row.appendText(i, out_);
    }

    // The end of a logical line: nothing of its look reaches the next.
    void endLine() {
        finish();
        if (inForce_.link) inForce_.link = 0;
        if (inForce_ != Pen()) out_ += "\x1b[0m";
        inForce_ = Pen();
    }

    // The cells of a row from column `from` up to n.
    void cells(const Row& row, size_t n, int64_t colLimit, size_t from = 0) {
        if (from >= n) return;
        // Blanks in a background colour that reach the last column are
        // repainted as the erase that made them, so the terminal holds them
        // as erased cells too.
        size_t erased = n;
        if (colLimit > 0 && n == from + size_t(colLimit)) {
            while (erased > from && isErasedBlank(row, erased - 1))
                --erased;
        }
        for (size_t i = from; i < erased; ++i) {
            const Cell& c = row[i];
            // Cells of one row with the same bits have the same look.
            if (i == from || !c.sameLook(row[i - 1])) look(normalized(row.pen(i)));
            bool cutRight = c.width() == 2 && i + 1 == n && colLimit > 0;
            if (cutRight || (i == from && row.isWideRight(i))) {
                // Half of a wide character would spill past an edge.
                out_ += ' ';
                continue;
            }
            appendCellText(row, i, out_);
        }
        // Each colour's run but the last as an erase of that many cells and
        // a step over them; the last as an erase to the end of the line.
        for (size_t i = erased; i < n;) {
            size_t end = i + 1;
            while (end < n && row[end].sameLook(row[i]))
                ++end;
            look(normalized(row.pen(i)));
            if (end == n) {
                out_ += "\x1b[K";
            } else {
                out_ += "\x1b[";
                appendNumber(out_, int64_t(end - i));
                out_ += "X\x1b[";
                appendNumber(out_, int64_t(end - i));
                out_ += 'C';
            }
            i = end;
        }
    }

    // Makes p the look in force, writing what changes.
    void look(const Pen& p) {
        Pen without = p, inForce = inForce_;
        without.link = inForce.link = 0;
        if (without != inForce) sgr(p);
        if (links_ && p.link != inForce_.link) link(p.link);
        inForce_ = p;
    }

    // The rendition sequence for a look: a full reset, then its colours and
    // styles.
    void sgr(const Pen& p) {
        out_ += "\x1b[0";
        colour(p.fg, p.fgIndex, p.fgRgb, 29, 81, "38");
        colour(p.bg, p.bgIndex, p.bgRgb, 39, 91, "48");
        static constexpr char kStyleCodes[] = {'1', '2', '3', '4', '5', '7', '9'};
        for (int bit = 0; bit < 7; ++bit) {
            if (!(p.attrs & (1 << bit))) continue;
            out_ += ';';
            out_ += kStyleCodes[bit];
            if (bit == 3 && p.underlineStyle() != kUnderlineSingle) {
                out_ += ':';
                out_ += char('0' + p.underlineStyle());
            }
        }
        if (p.attrs & kConceal) out_ += ";8";
        if (p.attrs & kOverline) out_ += ";53";
        if (p.ul >= 1 && p.ul <= 16) {
            out_ += ";58:5:";
            appendNumber(out_, p.ul - 1);
        } else if (p.ul == kColorIndexed) {
            out_ += ";58:5:";
            appendNumber(out_, p.ulIndex);
        } else if (p.ul == kColorDirect) {
            out_ += ";58:2:";
            rgb(p.ulRgb, ':');
        }
        out_ += 'm';
    }

    // Writes p's whole look, hyperlink too, whatever was in force before.
    void lookFromScratch(const Pen& p) {
        sgr(p);
        if (links_ && p.link) link(p.link);
        inForce_ = p;
    }

    // Closes a hyperlink still open at the end.
    void finish() {
        if (links_ && inForce_.link) link(0);
    }

  private:
    static bool isPlainBlank(const Row& row, size_t i) {
        const Cell& c = row[i];
        return c.width() == 1 && !c.extended() && c.code() == ' ' &&
               normalized(row.pen(i)) == Pen();
    }

    // A blank cell that erasing in a background colour makes: a space with
    // that background and nothing else.
    static bool isErasedBlank(const Row& row, size_t i) {
        const Cell& c = row[i];
        if (c.width() != 1 || c.extended() || c.code() != ' ') return false;
        Pen p = normalized(row.pen(i));
        if (p.bg == kColorDefault) return false;
        Pen bgOnly;
        bgOnly.bg = p.bg;
        bgOnly.bgIndex = p.bgIndex;
        bgOnly.bgRgb = p.bgRgb;
        return p == bgOnly;
    }

    void link(uint32_t id) {
        if (!links_) return;
        std::string_view text = links_->text(id);
        out_ += "\x1b]8;";
        out_ += text.empty() ? std::string_view(";") : text;
        out_ += "\x1b\\";
        inForce_.link = id;
    }

    void rgb(uint32_t v, char sep) {
        if (sep == ':') out_ += ':';  // the empty colour space
        appendNumber(out_, (v >> 16) & 0xff);
        out_ += sep;
        appendNumber(out_, (v >> 8) & 0xff);
        out_ += sep;
        appendNumber(out_, v & 0xff);
    }

    void colour(uint8_t kind, uint8_t index, uint32_t direct, int normal, int bright,
                const char* extended) {
        if (kind >= 1 && kind <= 8) {
            out_ += ';';
            appendNumber(out_, kind + normal);
        } else if (kind >= 9 && kind <= 16) {
            out_ += ';';
            appendNumber(out_, kind + bright);
        } else if (kind == kColorIndexed) {
            out_ += ';';
            out_ += extended;
            out_ += ";5;";
            appendNumber(out_, index);
        } else if (kind == kColorDirect) {
            out_ += ';';
            out_ += extended;
            out_ += ";2;";
            rgb(direct, ';');
        }
    }

    std::string& out_;
    const LinkTable* links_;
    Pen inForce_;
};

// Where the history a repaint sends ends: at the top of the screen, or,
// without a height, after every line.
LineIndex historyBound(const Lines& lines, int64_t height) {
    return height > 0 ? screenTop(lines, height) : lines.end();
}

void appendRows(std::string& out, const Lines& lines, int64_t colLimit, int64_t rowCount,
                const LinkTable* links) {
    const LineIndex end = lines.end();
    const LineIndex first = rowCount > 0 ? max(LineIndex{0}, end - rowCount) : end;
    RowWriter w(out, links);
    for (LineIndex i = first; i < end; ++i) {
        if (i > first) out += "\r\n";
        if (const Row* r = lines.expanded(i)) {
            w.row(*r, colLimit);
        } else if (lines.rowSize(i) > 0) {
            w.row(lines.row(i), colLimit);
        }
    }
    w.finish();
    out += "\x1b[0m";
}

void appendScreen(std::string& out, const Lines& lines, int64_t colLimit, int64_t rowCount,
                  const LinkTable* links) {
    out += "\x1b[2J\x1b[H";
    appendRows(out, lines, colLimit, rowCount, links);
}

// Lines first..end-1 of the history with their looks, newest first as far
// as the budget goes. Rows that the output wrapped are joined to the next
// into one logical line, which the receiving terminal wraps at its own
// width; each logical line ends with the pen reset and CR LF, so that no
// look reaches the next line or the user's own.
void appendHistory(std::string& out, const Lines& lines, LineIndex first, LineIndex end,
                   size_t budget, const LinkTable* links) {
    std::vector<std::string> newestFirst;
    size_t total = 0;
    for (LineIndex stop = end; stop > first;) {
        LineIndex start = stop - 1;
        while (start > first && lines.wrapped(start - 1))
            --start;
        std::string line;
        RowWriter w(line, links);
        for (LineIndex i = start; i < stop; ++i) {
            if (const Row* r = lines.expanded(i)) {
                w.historyRow(*r);
            } else if (lines.rowSize(i) > 0) {
                w.historyRow(lines.row(i));
            }
        }
        w.endLine();
        line += "\r\n";
        if (line.size() > budget - total) break;
        total += line.size();
        newestFirst.push_back(std::move(line));
        stop = start;
    }
    out.reserve(out.size() + total);
    for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it)
        out += *it;
}

// The history from running line number `from` on, then the screen. The
// history lines are pushed off the terminal's screen into its scrollback
// by line feeds, which every terminal keeps (an erase is kept by some and
// dropped by others); so is whatever stood above the terminal's cursor
// before. The screen is then painted from the top, over blank rows.
void appendFull(std::string& out, const Lines& lines, int64_t cols, int64_t h, int64_t from,
                size_t budget, const LinkTable* links) {
    const LineIndex history = historyBound(lines, h);
    const LineIndex first = clamp(lines.lineNumbered(from), LineIndex{0}, history);
    out.reserve(size_t(std::max<int64_t>(h, 0)) * 100 + 256);
    out += "\x1b[0m";
    appendHistory(out, lines, first, history, budget, links);
    out.append(size_t(std::max<int64_t>(h - 1, 0)), '\n');
    out += "\x1b[H\x1b[J";
    appendRows(out, lines, cols, h, links);
}

}  // namespace

std::string rowText(const Grid& g, LineIndex i) {
    std::string s;
    g.screen.lines.appendText(i, s);
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

namespace {

// The first scrollback line to write so that the text of the lines from it
// to the screen, with their line breaks, fits the budget.
LineIndex firstHistoryLine(const Lines& lines, LineIndex history, size_t budget) {
    if (budget == SIZE_MAX) return LineIndex{0};
    std::string text;
    size_t total = 0;
    for (LineIndex i = history - 1; i >= LineIndex{0}; --i) {
        text.clear();
        lines.appendText(i, text);
        total += text.size() + 2;
        if (total > budget) return i + 1;
    }
    return LineIndex{0};
}

// The index past the last line of [from, to) that holds any text.
LineIndex endOfText(const Lines& lines, LineIndex from, LineIndex to) {
    std::string text;
    while (to > from) {
        text.clear();
        lines.appendText(to - 1, text);
        if (text.find_first_not_of(' ') != std::string::npos) break;
        --to;
    }
    return to;
}

// Each line on its own, from the default look back to it: a colour left
// in force at a line feed would paint the line that scrolls in.
void appendLines(std::string& out, const Lines& lines, LineIndex from, LineIndex to,
                 int64_t colLimit, const LinkTable* links) {
    for (LineIndex i = from; i < to; ++i) {
        RowWriter w(out, links);
        if (const Row* r = lines.expanded(i)) {
            w.row(*r, colLimit);
        } else if (lines.rowSize(i) > 0) {
            w.row(lines.row(i), colLimit);
        }
        w.finish();
        out += "\x1b[0m\r\n";
    }
}

}  // namespace

std::string renderTranscript(const Grid& g, size_t historyBudget) {
    bool alt = altShown(g);
    const Lines& main = mainScreen(g).lines;
    const LineIndex first = firstHistoryLine(main, historyBound(main, g.height), historyBudget);
    std::string out;
    appendLines(out, main, first, endOfText(main, first, main.end()), 0, g.links.get());
    if (alt) {
        const LineIndex top = screenTop(g.screen.lines, g.height);
        appendLines(out, g.screen.lines, top, endOfText(g.screen.lines, top, g.screen.lines.end()),
                    g.cols, g.links.get());
    }
    return out;
}

std::string renderAnsi(const Grid& g, int64_t colLimit, int64_t rowCount) {
    std::string out;
    appendScreen(out, g.screen.lines, colLimit, rowCount, g.links.get());
    return out;
}

std::string renderAnsiFull(const Grid& g, size_t historyBudget, int64_t from) {
    std::string out;
    appendFull(out, g.screen.lines, g.cols, g.height, from, historyBudget, g.links.get());
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
    Row r = g.screen.lines.row(g.cursor.row);
    RowWriter w(out, g.links.get());
    if (r.isWideRight(last)) {
        place(int64_t(last));
        w.lookFromScratch(r.pen(last - 1));
        r.appendText(last - 1, out);
    } else if (last < r.size()) {
        place(int64_t(last) + 1);
        w.lookFromScratch(r.pen(last));
        size_t before = out.size();
        if (r[last].width() == 1) r.appendText(last, out);
        if (out.size() == before) out += ' ';
    } else {
        place(int64_t(last) + 1);
        out += ' ';
    }
    w.finish();
    out += "\x1b[0m";
}

}  // namespace

void appendSgr(std::string& out, const Pen& pen) {
    RowWriter(out).sgr(pen);
}

void appendCursorPosition(std::string& out, int64_t row, int64_t col) {
    out += "\x1b[";
    appendNumber(out, row);
    out += ';';
    appendNumber(out, col);
    out += 'H';
}

std::string renderCapture(const Grid& g, bool looks, int64_t historyLines, size_t budget) {
    const Lines& lines = g.screen.lines;
    const int64_t n = lines.size();
    const int64_t h = g.height > 0 ? std::min(g.height, n) : n;
    const LineIndex history = lines.end() - h;
    const LineIndex first =
        historyLines < 0 ? LineIndex{0} : max(LineIndex{0}, history - historyLines);
    auto line = [&](std::string& out, LineIndex i) {
        RowWriter w(out);
        if (const Row* r = lines.expanded(i)) {
            w.textRow(*r, looks);
        } else if (lines.rowSize(i) > 0) {
            w.textRow(lines.row(i), looks);
        }
        out += '\n';
    };
    // The history, newest first as far as the budget goes.
    std::vector<std::string> newestFirst;
    size_t total = 0;
    for (LineIndex i = history - 1; i >= first; --i) {
        std::string text;
        line(text, i);
        if (text.size() > budget - total) break;
        total += text.size();
        newestFirst.push_back(std::move(text));
    }
    std::string out;
    out.reserve(total + size_t(std::max<int64_t>(g.height, h)) * 100);
    for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it)
        out += *it;
    for (LineIndex i = history; i < lines.end(); ++i)
        line(out, i);
    // Every row of the screen, those never written too.
    out.append(size_t(std::max<int64_t>(g.height - h, 0)), '\n');
    return out;
}

int64_t historyEnd(const Grid& g) {
    const Lines& lines = mainScreen(g).lines;
    return lines.numberOf(historyBound(lines, g.height));
}

namespace {

// Whatever a terminal was doing (a sequence cut short, another screen,
// a scroll region, input modes), what it draws next is drawn as a fresh
// repaint would be; the update is shown at once at its end.
constexpr std::string_view RepaintStart =
    "\x18\x1b[?2026h\x1b[?1049l\x1b[r\x1b[?6l\x1b[?7h\x1b[4l\x1b(B\x1b)B\x0f\x1b[0m"
    "\x1b[?1l\x1b>\x1b[?2004l\x1b[?1004l\x1b[?9l\x1b[?1000l\x1b[?1002l\x1b[?1003l"
    "\x1b[?1005l\x1b[?1006l\x1b[?1015l\x1b[?25h";
constexpr std::string_view RepaintEnd = "\x1b[?2026l";

// The visible screen as a window of cols x rows shows it: cropped to the
// part that holds the cursor (the top left when the cursor is there), or
// with the rest of the window blank.
void appendWindow(std::string& out, const Grid& g, int64_t cols, int64_t rows) {
    const ScreenView view = screenView(g);
    int64_t cursorRow = view.row(g.cursor.row).value;
    int64_t row0 = std::max<int64_t>(0, cursorRow - rows + 1);
    int64_t col0 = std::max<int64_t>(0, std::min(g.cursor.col, g.cols - 1) - cols + 1);
    out += "\x1b[2J";
    RowWriter w(out, g.links.get());
    int64_t shown = std::min(rows, g.height - row0);
    for (int64_t r = 0; r < shown; ++r) {
        LineIndex i = view.line(ScreenRow{row0 + r});
        if (i >= g.screen.lines.end()) break;
        appendCursorPosition(out, r + 1, 1);
        if (const Row* expanded = g.screen.lines.expanded(i)) {
            w.row(*expanded, cols, size_t(col0));
        } else if (g.screen.lines.rowSize(i) > 0) {
            w.row(g.screen.lines.row(i), cols, size_t(col0));
        }
    }
    w.finish();
    out += "\x1b[0m";
    appendCursorPosition(out, std::clamp<int64_t>(cursorRow - row0, 0, rows - 1) + 1,
                         std::clamp<int64_t>(g.cursor.col - col0, 0, cols - 1) + 1);
}

}  // namespace

std::string renderRepaint(const Grid& g, int64_t cols, int64_t rows) {
    std::string out(RepaintStart);
    if (cols == g.cols && rows == g.height) {
        out += renderSnapshot(g, 0);
        // Inside an update the live output that follows ends it.
        if (!g.syncActive) out += RepaintEnd;
        return out;
    }
    if (cols > 0 && rows > 0) {
        if (altShown(g)) out += "\x1b[?1049h";
        appendWindow(out, g, cols, rows);
        appendStateAfterCursor(out, g);
    }
    if (!g.syncActive) out += RepaintEnd;
    return out;
}

std::string renderSnapshot(const Grid& g, size_t historyBudget, int64_t from) {
    std::string out;
    // Inside a synchronized update the client's terminal holds its display
    // too: the frame half drawn is not shown, and the rest of it, which
    // the client receives live, shows at once when the program ends it.
    if (g.syncActive) out += "\x1b[?2026h";
    // History and the main screen first, on the main screen, so that
    // leaving the alternate screen later brings back what the model holds.
    bool alt = altShown(g);
    appendFull(out, mainScreen(g).lines, g.cols, g.height, from, historyBudget, g.links.get());
    if (alt) {
        appendAltScreenEntry(out, g);
        appendScreen(out, g.screen.lines, g.cols, g.height, g.links.get());
    } else {
        appendMainCursorSaved(out, g);
    }
    appendStateBeforeCursor(out, g);
    if (cursorPlacedByRestore(g))
        out +=
            "\x1b"
            "8";
    else
        appendCursor(out, g, cursorRowAddressed(g));
    appendStateAfterCursor(out, g);
    // The head of a sequence that the last read cut: its tail comes with
    // the live output that follows.
    out += unfinishedInput(g);
    return out;
}

}  // namespace screen
