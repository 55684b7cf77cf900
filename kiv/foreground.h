// Whether a process is in front on its terminal, as job control sees it: the
// daemon reads a client's keyboard only while the client could read it
// itself. A client stopped from outside (SIGSTOP) hands its terminal back to
// the shell that started it, and the keys typed then are the shell's.
//
// The terminal's own answer (TIOCGPGRP) is given only to a process whose
// controlling terminal it is, which the daemon's never is; the process's
// stat record says the same of it, for its controlling terminal.
#pragma once

#include <sys/types.h>

#include "kiv/fd.h"

namespace kiv {

class Foreground {
  public:
    // Watches process `pid`, whose keyboard is `terminal` (a device number).
    Foreground(pid_t pid, dev_t terminal);
    // The process's record could be opened: there is something to ask.
    bool readable() const { return stat_.valid(); }

    // True while `terminal` is the process's controlling terminal and its
    // process group is in front there: what shows there is its. False once
    // it has gone, or when its record cannot be read.
    bool inFront() const { return check(false); }
    // ... and it runs (it is not stopped): what is typed there is its. A
    // shell that stops it takes the terminal back a moment later.
    bool runsInFront() const { return check(true); }

  private:
    bool check(bool running) const;

    UniqueFd stat_;  // kept open: one read per question, and no other process's record
    dev_t terminal_;
};

}  // namespace kiv
