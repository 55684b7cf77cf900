#include "kiv/terminal_tracker.h"

#include <algorithm>

namespace kiv {

using screen::Sequence;

namespace {

// One character of at least two bytes as the model decodes it: the lead
// byte fixes the length, the bytes after it are taken whatever they are,
// and a stray byte stands for its own value.
int32_t decode(const char* p, size_t& length, size_t available) {
    auto b0 = static_cast<unsigned char>(*p);
    static constexpr uint32_t kLeadMask[7] = {0, 0, 0x1f, 0x0f, 0x07, 0x03, 0x01};
    length = screen::parsing::characterLength(b0);
    if (length == 1) return b0;
    // The parser hands over whole characters; a cut one is a replacement.
    if (length > available) {
        length = available;
        return 0xfffd;
    }
    uint32_t rune = b0 & kLeadMask[length];
    for (size_t i = 1; i < length; ++i)
        rune = (rune << 6) | (static_cast<unsigned char>(p[i]) & 0x3f);
    return int32_t(rune);
}

// Of the operating-system commands, those whose effect leaving undoes:
// colours (4, 10 to 12 and their resets) and hyperlinks (8).
bool undoneOnLeaving(std::string_view code) {
    for (std::string_view c : {"4", "8", "10", "11", "12", "104", "110", "111", "112"})
        if (code == c) return true;
    return false;
}

// A longer string the model drops unread, as terminals do.
constexpr size_t kMaxCommand = 64 * 1024;

}  // namespace

TerminalTracker::TerminalTracker(int64_t cols, int64_t rows)
    : cols_(std::clamp<int64_t>(cols, 1, screen::kMaxColumns)),
      rows_(std::clamp<int64_t>(rows, 1, screen::kMaxRows)),
      textEnd_(size_t(rows_), 0) {}

screen::LeavingState TerminalTracker::leaving() const {
    screen::LeavingState s;
    s.keyboardPushes = keyboard_;
    s.alternateScreen = alternate_;
    s.mainKeyboardPushes = alternate_ ? mainKeyboard_ : 0;
    s.modifyOtherKeys = modifyOtherKeys_;
    if (!tabs_.isDefault()) s.tabColumns = cols_;
    s.linkOpen = link_;
    s.cursorStyled = cursorStyled_;
    s.colours = colours_;
    s.cursorRow = alternate_ && mainCursor_ ? mainCursor_->row : row_;
    for (int64_t r = int64_t(textEnd_.size()) - 1; r >= 0; --r) {
        if (textEnd_[size_t(r)] > 0) {
            s.lastTextRow = r;
            break;
        }
    }
    return s;
}

void TerminalTracker::resize(int64_t cols, int64_t rows) {
    cols = std::clamp<int64_t>(cols, 1, screen::kMaxColumns);
    rows = std::clamp<int64_t>(rows, 1, screen::kMaxRows);
    if (pendingWrap_) {
        // The cursor waits just past the old last column.
        if (cols > cols_) {
            col_ = cols_;
            pendingWrap_ = false;
        } else {
            col_ = cols;
        }
    }
    if (!alternate_) {
        // Shrinking drops the rows below the cursor first, then the top
        // rows (there is no history here to take them).
        int64_t size = rows_;
        if (size > rows) {
            size -= std::min(size - rows, size - 1 - row_);
            textEnd_.resize(size_t(size));
        }
        if (size < rows) {
            textEnd_.resize(size_t(rows), 0);
            size = rows;
        }
        row_ = std::min(row_, size - 1);
        if (size > rows) {
            textEnd_.erase(textEnd_.begin(), textEnd_.begin() + (size - rows));
            row_ = std::max<int64_t>(row_ - (size - rows), 0);
        }
    } else {
        // How far down the program has written the alternate screen is not
        // kept: taken as all of it, whose top rows go when it shrinks. The
        // main screen behind it loses its bottom rows.
        if (rows_ > rows) row_ = std::max<int64_t>(row_ - (rows_ - rows), 0);
        textEnd_.resize(size_t(rows), 0);
    }
    if (cols != cols_) tabs_ = screen::TabStops();
    if (cols != cols_ || rows != rows_) region_ = false;
    col_ = std::min(col_, pendingWrap_ ? cols : cols - 1);
    cols_ = cols;
    rows_ = rows;
}

// Text.

void TerminalTracker::markText(int64_t to) {
    if (alternate_ || to <= 0) return;
    uint16_t& end = textEnd_[size_t(row_)];
    end = std::max(end, uint16_t(std::min(to, screen::kMaxColumns)));
}

void TerminalTracker::print(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        // Printable ASCII up to the first byte of a longer character.
        const char* run = p;
        p = screen::parsing::printableRunEnd(p, end);
        if (p > run) placeRun(run, size_t(p - run));
        if (p == end) return;
        size_t length = 1;
        int32_t rune = decode(p, length, size_t(end - p));
        p += length;
        // Controls decoded from overlong forms are not printed.
        if (rune < 0x20 || rune == 0x7f) continue;
        int width = screen::characterColumns(rune);
        if (width == 0) {
            combine(rune);
        } else {
            placeRune(rune, width);
        }
    }
}

const char* TerminalTracker::lane(const char* p, const char* end) {
    using namespace screen::parsing;
    while (p < end) {
        if (isPrintableAscii(static_cast<unsigned char>(*p))) {
            const char* run = printableRunEnd(p + 1, end);
            placeRun(p, size_t(run - p));
            p = run;
            continue;
        }
        // ESC [ parameters m, whole, without a leader: the pen, which is
        // not followed; whatever its parameters, it only ends a REP's reach.
        if (*p != kEsc || end - p < 3 || p[1] != '[' || (p[2] >= '<' && p[2] <= '?')) break;
        const char* final = paramsEnd(p + 2, end);
        if (final == end || *final != 'm') break;
        lastRune_ = -1;
        p = final + 1;
    }
    return p;
}

// Printable ASCII (the parser hands over no controls), as the model places
// it: each byte one column, wrapping at the edge.
void TerminalTracker::placeRun(const char* text, size_t n) {
    const int32_t last = static_cast<unsigned char>(text[n - 1]);
    while (n > 0) {
        if (pendingWrap_) wrap();
        if (col_ < 0 || col_ >= cols_) {
            placeRune(static_cast<unsigned char>(*text), 1);
            ++text;
            --n;
            continue;
        }
        size_t m = std::min(n, size_t(cols_ - col_));
        if (insert_) insertChars(int64_t(m));
        size_t shown = m;
        while (shown > 0 && text[shown - 1] == ' ')
            --shown;
        if (shown > 0) markText(col_ + int64_t(shown));
        col_ += int64_t(m);
        text += m;
        n -= m;
        if (col_ < cols_) {
            pendingWrap_ = false;
        } else if (autowrap_) {
            pendingWrap_ = true;
        } else {
            // Without autowrap the rest overwrites the last column.
            col_ = cols_ - 1;
            pendingWrap_ = false;
            if (n > 0 && text[n - 1] != ' ') markText(col_ + 1);
            n = 0;
        }
    }
    lastRune_ = last;
    widenable_ = false;
}

void TerminalTracker::placeRune(int32_t rune, int width) {
    // A character wider than the screen has nowhere to go.
    if (width > cols_) return;
    col_ = std::clamp<int64_t>(col_, 0, cols_ + 1);
    if (pendingWrap_) wrap();
    if (col_ > 0 && col_ + width > cols_) {
        if (col_ < cols_ && autowrap_)
            wrap();
        else
            col_ = cols_ - width;
    }
    if (insert_) insertChars(width);
    if (rune != ' ') markText(col_ + width);
    col_ += width;
    if (col_ >= cols_) {
        pendingWrap_ = autowrap_;
        if (!autowrap_) col_ = cols_ - 1;
    } else {
        pendingWrap_ = false;
    }
    lastRune_ = rune;
    widenable_ = width == 1 && screen::widenedBySelector16(rune);
}

// A combining mark joins the character before the cursor (a blank one
// too, which makes it text); a variation selector 16 after a text-style
// emoji widens it to two columns where the line has room.
void TerminalTracker::combine(int32_t mark) {
    if (col_ < 1) return;
    markText(std::min(col_, cols_));
    if (mark != 0xfe0f || !widenable_ || pendingWrap_ || col_ >= cols_) return;
    widenable_ = false;
    col_ += 1;
    markText(col_);
    pendingWrap_ = col_ >= cols_ && autowrap_;
    if (col_ >= cols_ && !autowrap_) col_ = cols_ - 1;
}

// REP: the character just written, n times more, within the line.
void TerminalTracker::repeat(int64_t n) {
    if (lastRune_ < 0) return;
    int64_t room = cols_ - std::clamp<int64_t>(col_, 0, cols_);
    n = std::min(n, room);
    int width = lastRune_ < 0x80 ? 1 : screen::characterColumns(lastRune_);
    for (int64_t i = 0; i < n; ++i) {
        if (width == 0) {
            combine(lastRune_);
        } else {
            placeRune(lastRune_, width);
        }
    }
}

// Lines and scrolling.

// One line down, scrolling the region (or the screen) at its bottom.
void TerminalTracker::advance() {
    int64_t top = scrollTop(), bottom = scrollBottom();
    if (region_ && row_ == bottom && row_ >= top) {
        scroll(top, bottom, 1);
        return;
    }
    // Below a region on the last row the terminal neither scrolls nor moves.
    if (region_ && row_ >= rows_ - 1) return;
    if (row_ + 1 >= rows_) {
        scroll(0, rows_ - 1, 1);
        return;
    }
    ++row_;
}

void TerminalTracker::wrap() {
    advance();
    col_ = 0;
    pendingWrap_ = false;
}

// Rows top..bottom move up by n (down when n is negative), with their
// text bounds; the rows brought in are empty.
void TerminalTracker::scroll(int64_t top, int64_t bottom, int64_t n) {
    if (alternate_) return;
    top = std::max<int64_t>(top, 0);
    bottom = std::min(bottom, rows_ - 1);
    if (bottom < top) return;
    int64_t k = std::min(n < 0 ? -n : n, bottom - top + 1);
    auto first = textEnd_.begin() + top, last = textEnd_.begin() + bottom + 1;
    if (n >= 0) {
        std::copy(first + k, last, first);
        std::fill(last - k, last, 0);
    } else {
        std::copy_backward(first, last - k, last);
        std::fill(first, first + k, 0);
    }
}

// Cursor movement.

void TerminalTracker::clampColumn() {
    col_ = std::clamp<int64_t>(col_, 0, cols_ - 1);
}

// Up, stopping at the top margin when starting inside the region, else at
// the top of the screen; down likewise.
void TerminalTracker::cursorUp(int64_t n) {
    int64_t limit = region_ && row_ >= scrollTop() ? scrollTop() : 0;
    if (row_ > limit) row_ -= std::min(n, row_ - limit);
    pendingWrap_ = false;
    clampColumn();
}

void TerminalTracker::cursorDown(int64_t n) {
    int64_t limit = region_ && row_ <= scrollBottom() ? scrollBottom() : rows_ - 1;
    if (row_ < limit) row_ += std::min(n, limit - row_);
    row_ = std::clamp<int64_t>(row_, 0, rows_ - 1);
    pendingWrap_ = false;
    clampColumn();
}

// A row (from 0) as absolute positioning addresses it: in origin mode a
// row of the scroll region.
void TerminalTracker::moveToRow(int64_t row) {
    if (origin_ && region_) {
        row_ = scrollTop() + std::clamp<int64_t>(row, 0, scrollBottom() - scrollTop());
    } else {
        row_ = std::clamp<int64_t>(row, 0, rows_ - 1);
    }
}

void TerminalTracker::homeCursor() {
    row_ = origin_ && region_ ? scrollTop() : 0;
    col_ = 0;
    pendingWrap_ = false;
}

void TerminalTracker::tabForward(int64_t n) {
    // A pending wrap stays pending: the tab has nowhere to go.
    if (pendingWrap_) return;
    int64_t last = cols_ - 1;
    int64_t target = std::clamp<int64_t>(col_, 0, last);
    for (int64_t i = 0; i < std::max<int64_t>(n, 1) && target < last; ++i) {
        int64_t c = target + 1;
        while (c < last && !tabs_.stops.test(size_t(c)))
            ++c;
        target = c;
    }
    col_ = target;
}

void TerminalTracker::tabBackward(int64_t n) {
    int64_t col = std::clamp<int64_t>(col_, 0, cols_ - 1);
    for (int64_t i = 0; i < std::max<int64_t>(n, 1) && col > 0; ++i) {
        int64_t c = col - 1;
        while (c > 0 && !tabs_.stops.test(size_t(c)))
            --c;
        col = c;
    }
    col_ = col;
    pendingWrap_ = false;
}

// Editing, as it moves the bound of the cursor row's text.

void TerminalTracker::insertChars(int64_t n) {
    if (alternate_) return;
    int64_t col = std::clamp<int64_t>(col_, 0, cols_);
    uint16_t& end = textEnd_[size_t(row_)];
    if (end > col) end = uint16_t(std::min<int64_t>(cols_, end + std::clamp<int64_t>(n, 1, cols_)));
}

void TerminalTracker::deleteChars(int64_t n) {
    if (alternate_) return;
    int64_t col = std::clamp<int64_t>(col_, 0, cols_ + 1);
    uint16_t& end = textEnd_[size_t(row_)];
    if (end > col) end = uint16_t(std::max<int64_t>(col, end - std::clamp<int64_t>(n, 1, cols_)));
}

void TerminalTracker::eraseChars(int64_t n) {
    if (alternate_) return;
    int64_t col = std::clamp<int64_t>(col_, 0, cols_ + 1);
    if (col >= cols_) return;
    int64_t stop = col + std::clamp<int64_t>(n, 1, cols_ - col);
    uint16_t& end = textEnd_[size_t(row_)];
    if (end > col && end <= stop) end = uint16_t(col);
}

void TerminalTracker::eraseLine(int64_t mode) {
    if (alternate_) return;
    int64_t col = std::clamp<int64_t>(col_, 0, cols_ + 1);
    uint16_t& end = textEnd_[size_t(row_)];
    if (mode == 0) {
        end = uint16_t(std::min<int64_t>(end, col));
    } else if (mode == 1) {
        if (end <= col + 1) end = 0;
    } else if (mode == 2) {
        end = 0;
    }
}

void TerminalTracker::eraseDisplay(int64_t mode) {
    if (alternate_ || mode < 0 || mode > 2) return;
    auto cursorRow = textEnd_.begin() + row_;
    if (mode == 0) {
        eraseLine(0);
        std::fill(cursorRow + 1, textEnd_.end(), 0);
    } else if (mode == 1) {
        std::fill(textEnd_.begin(), cursorRow, 0);
        eraseLine(1);
    } else {
        std::fill(textEnd_.begin(), textEnd_.end(), 0);
    }
}

void TerminalTracker::setScrollRegion(const Sequence& s) {
    // No parameters at all: no region. Otherwise a bottom beyond the
    // screen is its last row, and a top at or below the bottom is ignored.
    if (s.noParams()) {
        region_ = false;
    } else {
        int64_t top = s.arg(0, 1), bottom = std::min(s.arg(1, rows_), rows_);
        if (top >= bottom) return;
        region_ = true;
        top_ = top - 1;
        bottom_ = bottom - 1;
    }
    homeCursor();
}

// Saved cursors and screens.

TerminalTracker::Saved TerminalTracker::current() const {
    return Saved{row_, col_, pendingWrap_, origin_, link_};
}

void TerminalTracker::place(const Saved& c) {
    row_ = std::clamp<int64_t>(c.row, 0, rows_ - 1);
    int64_t last = cols_ - 1;
    // A pending wrap comes back only where it can still be pending.
    pendingWrap_ = c.pendingWrap && c.col >= last;
    col_ = pendingWrap_ ? last + 1 : std::clamp<int64_t>(c.col, 0, last);
    origin_ = c.origin;
    link_ = c.link;
}

void TerminalTracker::enterAlternate(bool saveCursor) {
    if (alternate_) return;
    if (saveCursor) mainCursor_ = current();
    // The kitty keyboard flags are kept per screen.
    mainKeyboard_ = keyboard_;
    keyboard_ = 0;
    alternate_ = true;
}

void TerminalTracker::leaveAlternate(bool restoreCursor) {
    if (alternate_) {
        keyboard_ = mainKeyboard_;
        mainKeyboard_ = 0;
        alternate_ = false;
    }
    // 1049 brings back what it saved even when the alternate screen is
    // not shown, as terminals do.
    Saved c = current();
    if (restoreCursor && mainCursor_) {
        c = *mainCursor_;
        c.pendingWrap = false;
    }
    place(c);
}

void TerminalTracker::softReset() {
    // What DECSTR keeps: the input modes, the cursor style, the keyboard.
    origin_ = false;
    autowrap_ = true;
    insert_ = false;
    region_ = false;
    link_ = false;
    saved_.reset();
    if (pendingWrap_) col_ = std::min(col_, cols_ - 1);
    pendingWrap_ = false;
}

void TerminalTracker::fullReset() {
    leaveAlternate(false);
    mainCursor_.reset();
    softReset();
    cursorStyled_ = false;
    modifyOtherKeys_ = false;
    tabs_ = screen::TabStops();
    keyboard_ = 0;
    colours_ = screen::Colours();
    std::fill(textEnd_.begin(), textEnd_.end(), 0);
    row_ = 0;
    col_ = 0;
}

void TerminalTracker::setPrivateMode(int64_t mode, bool set) {
    switch (mode) {
        case 6:
            origin_ = set;
            homeCursor();
            break;
        case 7:
            autowrap_ = set;
            if (!set && pendingWrap_) {
                pendingWrap_ = false;
                col_ = std::min(col_, cols_ - 1);
            }
            break;
        case 47:
        case 1047:
            set ? enterAlternate(false) : leaveAlternate(false);
            break;
        case 1048:
            set ? void(saved_ = current()) : place(saved_.value_or(Saved{}));
            break;
        case 1049:
            set ? enterAlternate(true) : leaveAlternate(true);
            break;
        default:
            break;  // the other modes leaving resets whatever they are
    }
}

// The parser's events.

void TerminalTracker::execute(uint8_t control) {
    lastRune_ = -1;
    widenable_ = false;
    switch (control) {
        case 0x08:
            pendingWrap_ = false;
            if (col_ > 0) --col_;
            col_ = std::min(col_, cols_ - 1);
            break;
        case 0x09:
            tabForward(1);
            break;
        case 0x0a:
        case 0x0b:
        case 0x0c:
            advance();
            break;
        case 0x0d:
            pendingWrap_ = false;
            col_ = 0;
            break;
        default:
            break;
    }
}

void TerminalTracker::escDispatch(const Sequence& s) {
    lastRune_ = -1;
    widenable_ = false;
    if (s.intermediateCount == 1 && s.intermediates[0] == '#' && s.final == '8') {
        // DECALN: every cell an "E", no region, the cursor home.
        region_ = false;
        if (!alternate_ && cols_ < screen::kMaxColumns)
            std::fill(textEnd_.begin(), textEnd_.end(), uint16_t(cols_));
        row_ = 0;
        col_ = 0;
        pendingWrap_ = false;
        return;
    }
    if (s.intermediateCount != 0) return;
    switch (s.final) {
        case '7':
            saved_ = current();
            break;
        case '8':
            place(saved_.value_or(Saved{}));
            break;
        case 'D':
            advance();
            break;
        case 'E':
            advance();
            col_ = 0;
            pendingWrap_ = false;
            break;
        case 'M':
            // Reverse index: at the top margin the region scrolls down.
            if (row_ == scrollTop()) {
                scroll(scrollTop(), scrollBottom(), -1);
            } else if (row_ > 0) {
                --row_;
            }
            break;
        case 'H':
            tabs_.stops.set(size_t(std::clamp<int64_t>(col_, 0, cols_ - 1)));
            break;
        case 'c':
            fullReset();
            break;
        default:
            break;
    }
}

void TerminalTracker::csiDispatch(const Sequence& s) {
    const int32_t last = lastRune_;
    lastRune_ = -1;
    // Graphic rendition: the pen is not followed.
    if (s.final == 'm' && s.leader == 0) return;
    widenable_ = false;
    const bool plain = s.leader == 0 && s.intermediateCount == 0;
    // Only a REP right after a character repeats it.
    if (plain && s.final == 'b') lastRune_ = last;
    // Ignored as a whole by the model: a parameter past what terminals
    // read, or sub-parameters (only SGR takes them, and the pen is not
    // followed here).
    if (s.tooLarge || s.malformed || s.subs != 0 || s.intermediateCount > 1) return;
    const int64_t n = s.arg(0, 1);
    if (plain) {
        switch (s.final) {
            case '@':
                insertChars(n);
                break;
            case 'A':
                cursorUp(n);
                break;
            case 'B':
                cursorDown(n);
                break;
            case 'C':
                col_ = std::max<int64_t>(col_, 0);
                if (col_ < cols_ - 1) col_ += std::min(n, cols_ - 1 - col_);
                pendingWrap_ = false;
                clampColumn();
                break;
            case 'D':
                if (col_ > 0) col_ -= std::min(n, col_);
                pendingWrap_ = false;
                clampColumn();
                break;
            case 'E':
                cursorDown(n);
                col_ = 0;
                break;
            case 'F':
                cursorUp(n);
                col_ = 0;
                break;
            case 'G':
            case '`':
                col_ = std::min(s.arg(0, 1) - 1, cols_ - 1);
                pendingWrap_ = false;
                break;
            case 'H':
            case 'f':
                moveToRow(s.arg(0, 1) - 1);
                col_ = s.arg(1, 1) - 1;
                clampColumn();
                pendingWrap_ = false;
                break;
            case 'J':
                // ED 3 erases the history, not the screen.
                if (s.raw(0) != 3) eraseDisplay(s.raw(0));
                break;
            case 'K':
                eraseLine(s.raw(0));
                break;
            case 'L':
                if (row_ >= scrollTop() && row_ <= scrollBottom()) scroll(row_, scrollBottom(), -n);
                break;
            case 'M':
                if (row_ >= scrollTop() && row_ <= scrollBottom()) scroll(row_, scrollBottom(), n);
                break;
            case 'P':
                deleteChars(n);
                break;
            case 'S':
                scroll(scrollTop(), scrollBottom(), n);
                break;
            case 'T':
                scroll(scrollTop(), scrollBottom(), -n);
                break;
            case 'X':
                eraseChars(n);
                break;
            case 'b':
                repeat(n);
                break;
            case 'd':
                moveToRow(s.arg(0, 1) - 1);
                pendingWrap_ = false;
                clampColumn();
                break;
            case 'r':
                setScrollRegion(s);
                break;
            case 's':
                saved_ = current();
                break;
            case 'u':
                place(saved_.value_or(Saved{}));
                break;
            case 'h':
            case 'l':
                for (size_t i = 0; i < s.count; ++i)
                    if (s.raw(i) == 4) insert_ = s.final == 'h';
                break;
            case 'g':
                if (s.raw(0) == 0) {
                    tabs_.stops.reset(size_t(std::clamp<int64_t>(col_, 0, cols_ - 1)));
                } else if (s.raw(0) == 3) {
                    tabs_.stops.reset();
                }
                break;
            case 'I':
                tabForward(n);
                break;
            case 'Z':
                tabBackward(n);
                break;
            default:
                break;
        }
        return;
    }
    const char inter = s.intermediateCount == 1 ? s.intermediates[0] : 0;
    if (s.leader == '?' && inter == 0 && (s.final == 'h' || s.final == 'l')) {
        for (size_t i = 0; i < s.count; ++i)
            setPrivateMode(s.raw(i), s.final == 'h');
    } else if (s.leader == 0 && inter == '!' && s.final == 'p') {
        softReset();
    } else if (s.leader == 0 && inter == ' ' && s.final == 'q') {
        if (s.raw(0) >= 0 && s.raw(0) <= 6) cursorStyled_ = s.raw(0) != 0;
    } else if (inter == 0 && s.final == 'u') {
        // The kitty keyboard flags: push (">"), pop ("<"), set ("=", which
        // pushes an entry when there is none). The depth is what leaving
        // needs; a full stack drops its oldest entry.
        constexpr int kDepth = screen::KeyboardFlags::kDepth;
        if (s.leader == '>') {
            keyboard_ = std::min(keyboard_ + 1, kDepth);
        } else if (s.leader == '<') {
            keyboard_ -= int(std::min<int64_t>(n, keyboard_));
        } else if (s.leader == '=') {
            keyboard_ = std::max(keyboard_, 1);
        }
    } else if (s.leader == '>' && inter == 0 && s.final == 'm') {
        if (s.count > 0 && s.raw(0) == 4)
            modifyOtherKeys_ = s.count > 1 && std::clamp<int64_t>(s.raw(1), 0, 3) != 0;
    }
}

void TerminalTracker::stringBegin(screen::StringKind kind, const Sequence&) {
    lastRune_ = -1;
    widenable_ = false;
    inCommand_ = kind == screen::StringKind::Osc;
    command_.clear();
}

void TerminalTracker::stringPut(std::string_view fragment) {
    if (!inCommand_) return;
    if (command_.size() + fragment.size() > kMaxCommand) {
        inCommand_ = false;
        return;
    }
    command_ += fragment;
    // A title or another command leaving does not undo is not kept.
    size_t semi = command_.find(';');
    if (semi != std::string::npos || command_.size() > 3)
        inCommand_ = undoneOnLeaving(std::string_view(command_).substr(0, semi));
}

void TerminalTracker::stringEnd(bool terminated) {
    if (inCommand_ && terminated) runCommand(command_);
    inCommand_ = false;
    command_.clear();
}

void TerminalTracker::runCommand(std::string_view text) {
    size_t semi = text.find(';');
    std::string_view code = text.substr(0, semi);
    if (code == "8") {
        // OSC 8 ; params ; target: a link until one with an empty target.
        std::string_view rest = text.substr(semi + 1);
        size_t uri = rest.find(';');
        if (uri != std::string_view::npos) link_ = uri + 1 < rest.size();
        return;
    }
    if (!undoneOnLeaving(code)) return;
    int number = 0;
    for (char c : code)
        number = number * 10 + (c - '0');
    screen::setColours(colours_, number, semi == std::string_view::npos ? "" : text.substr(semi + 1));
}

}  // namespace kiv
