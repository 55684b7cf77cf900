// A tmux pane as the user's terminal in end-to-end tests: the test types
// into it, reads its screen and resizes it. The server has its own socket
// and no configuration, and is killed when the object goes away.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "kiv/fd.h"
#include "tests/support/scratch.h"

namespace testsupport {

using namespace std::chrono_literals;

class TmuxTerminal {
  public:
    // Starts /bin/sh in an 80x24 pane in `cwd`, with `env` ("NAME=value")
    // set for it.
    TmuxTerminal(const ScratchDir& scratch, const std::string& cwd,
                 const std::vector<std::string>& env, int cols = 80, int rows = 24);
    ~TmuxTerminal();
    TmuxTerminal(const TmuxTerminal&) = delete;
    TmuxTerminal& operator=(const TmuxTerminal&) = delete;

    void type(const std::string& text);  // literally, no Enter
    void line(const std::string& text);  // text and Enter
    void key(const std::string& name);   // a tmux key name: "C-g", "Enter"
    void resize(int cols, int rows);

    std::string screen() const;      // visible rows, trailing blanks trimmed
    std::string screenAnsi() const;  // with colour and style sequences
    bool waitFor(const std::string& text, std::chrono::milliseconds limit = 10s) const;
    bool waitGone(const std::string& text, std::chrono::milliseconds limit = 10s) const;
    // Whether the program in the pane has its terminal out of canonical
    // mode, as an attached client does; keys typed before that are read as
    // part of a line.
    bool rawMode() const;
    bool waitRawMode(bool raw, std::chrono::milliseconds limit = 10s) const;
    // Waits until the program in the pane has read every key typed so far,
    // so that the next key reaches it in a read of its own.
    bool waitKeysRead(std::chrono::milliseconds limit = 10s) const;
    // Replaces the pane's program by rawPlayer(file) and waits until the
    // pane has taken every byte.
    bool play(const std::string& file);
    std::string tmux(const std::vector<std::string>& args) const;

  private:
    kiv::UniqueFd paneTty() const;  // the pane's terminal, for asking the kernel

    std::string socket_;
};

bool tmuxAvailable();

// A shell command that writes a file's bytes to its terminal as they are,
// then sets the title `done` (tmux handles a pane's output in order, so
// the title tells that every byte is in) and stays. With a `ready` title
// it first sets that and waits for a key, so that a session it runs in
// has its size before the bytes come.
std::string rawPlayer(const std::string& file, const std::string& done,
                      const std::string& ready = "");

// A capture (tmux capture-pane -p or kiv capture, -e for looks) as the
// cells it shows, read back through the screen model: each row's text
// without trailing blanks and, with looks, every character's colours and
// style. tmux writes line-drawing cells between SO and SI, kiv as the
// glyphs they show: both read as the glyphs. Blanks' looks are left out,
// as tmux keeps them for written blanks and drops them for erased ones,
// which shows the same either way.
std::string captureCells(const std::string& capture, bool looks = true);

}  // namespace testsupport
