// What the attach client has to know of the user's terminal to leave it
// as it found it: not the screen, only the state that the leaving sequence
// undoes (alternate screen, keyboard flags, cursor style, tab stops, an
// open hyperlink, colours the program set) and where the cursor and the
// main screen's text are, so that the cursor can end on a line of its own
// below that text. It listens to the parser over everything the client
// writes to the terminal, and follows the screen model's rules for every
// function that moves the cursor or the text, without keeping a cell.
//
// Where text is on the main screen is kept per row as a bound: the row's
// text lies left of that column. Erasing whole rows and scrolling keep the
// bound exact; erasing within a row may leave it above the text (blanks
// written over text never lower it), so that the cursor may end a line or
// two lower than needed, never on a row that still holds text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "screen/parser.h"
#include "screen/sequence.h"
#include "screen/terminal.h"

namespace kiv {

class TerminalTracker {
  public:
    // A terminal of cols x rows (both at least 1) in its defaults.
    TerminalTracker(int64_t cols, int64_t rows);

    // The terminal took a new size.
    void resize(int64_t cols, int64_t rows);
    // What leaving the terminal now has to undo.
    screen::LeavingState leaving() const;

    // The parser's events.
    void print(std::string_view text);
    // The bulk of most output, taken in one go where the parser offers it:
    // runs of printable ASCII and the graphic renditions between them.
    const char* lane(const char* p, const char* end);
    void execute(uint8_t control);
    void escDispatch(const screen::Sequence& s);
    void csiDispatch(const screen::Sequence& s);
    void stringBegin(screen::StringKind kind, const screen::Sequence& header);
    void stringPut(std::string_view fragment);
    void stringEnd(bool terminated);

  private:
    // ESC 7 and 1049 save these; the rest of what they save (pen,
    // character sets) leaving does not need.
    struct Saved {
        int64_t row = 0;
        int64_t col = 0;
        bool pendingWrap = false;
        bool origin = false;
        bool link = false;
    };

    // Where the next character goes.
    int64_t row_ = 0;
    int64_t col_ = 0;
    bool pendingWrap_ = false;
    int64_t cols_;
    int64_t rows_;
    // The scroll region, screen rows; none set: the whole screen.
    bool region_ = false;
    int64_t top_ = 0;
    int64_t bottom_ = 0;
    bool origin_ = false;
    bool autowrap_ = true;
    bool insert_ = false;
    bool link_ = false;
    std::optional<Saved> saved_;
    bool alternate_ = false;
    std::optional<Saved> mainCursor_;  // saved by 1049
    int keyboard_ = 0;                 // kitty flags pushed on the screen shown
    int mainKeyboard_ = 0;             // and on the main screen behind the alternate one
    bool modifyOtherKeys_ = false;
    bool cursorStyled_ = false;
    screen::TabStops tabs_;
    screen::Colours colours_;
    // Per row of the main screen: its text lies in the columns left of this.
    std::vector<uint16_t> textEnd_;
    // The character just written, for REP (-1: none since the last other
    // event), and whether a variation selector 16 would widen it now.
    int32_t lastRune_ = -1;
    bool widenable_ = false;
    // The operating-system command being read, while it may be one that
    // leaving undoes (a colour or a hyperlink); bounded.
    bool inCommand_ = false;
    std::string command_;

    int64_t limit() const { return cols_; }
    int64_t scrollTop() const { return region_ ? top_ : 0; }
    int64_t scrollBottom() const { return region_ ? std::max(bottom_, top_) : rows_ - 1; }
    // The cursor row holds text left of column `to`.
    void markText(int64_t to);
    void clampColumn();
    void placeRun(const char* text, size_t n);
    void placeRune(int32_t rune, int width);
    void combine(int32_t mark);
    void repeat(int64_t n);
    void advance();
    void wrap();
    void scroll(int64_t top, int64_t bottom, int64_t n);
    void cursorUp(int64_t n);
    void cursorDown(int64_t n);
    void moveToRow(int64_t row);
    void homeCursor();
    void tabForward(int64_t n);
    void tabBackward(int64_t n);
    void insertChars(int64_t n);
    void deleteChars(int64_t n);
    void eraseChars(int64_t n);
    void eraseLine(int64_t mode);
    void eraseDisplay(int64_t mode);
    void setScrollRegion(const screen::Sequence& s);
    void setPrivateMode(int64_t mode, bool set);
    Saved current() const;
    void place(const Saved& c);
    void enterAlternate(bool saveCursor);
    void leaveAlternate(bool restoreCursor);
    void softReset();
    void fullReset();
    void runCommand(std::string_view text);
};

}  // namespace kiv
