// The user's terminal as the attach client leaves it: the client tracks
// the state of what it has written there (the repaint and the session's
// output), so that on every way of leaving it can take that terminal out
// of the session's state (alternate screen, mouse and keypad modes, scroll
// region, pen, hidden cursor...) and put the cursor on a line of its own
// below the session's text. It never sends a full reset, which would erase
// the terminal's scrollback.
#pragma once

#include <string_view>

#include "kiv/terminal_tracker.h"
#include "screen/parser.h"

namespace kiv {

class TerminalRestore {
  public:
    // Watches what is written to fd, a terminal of the size it reports.
    explicit TerminalRestore(int fd);
    // Writes the leaving sequence if it has not been written yet.
    ~TerminalRestore();
    TerminalRestore(const TerminalRestore&) = delete;
    TerminalRestore& operator=(const TerminalRestore&) = delete;

    // Before the first byte: the terminal keeps its window title on its
    // title stack, for restore() to bring back whatever the session's
    // program sets meanwhile.
    void enter();
    // Every byte written to the terminal goes through here first.
    void shown(std::string_view output);
    // The terminal's size changed.
    void resized();
    // Puts the terminal back (once; nothing when fd is not a terminal).
    void restore();

  private:
    int fd_;
    bool done_ = false;
    bool titleSaved_ = false;
    TerminalTracker tracker_;
    screen::Parser<TerminalTracker> parser_;
};

}  // namespace kiv
