// Keeps a running session's saved record up to date, from the daemon's
// loop: a change (output, a resize) makes the record due; it is written
// once the loop has had a moment without events, and at most MaxBehind
// after the change whatever the load, so that the record is never more
// than that (plus the time of one write) behind the screen. Under
// continuous output that is one transcript every MaxBehind.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "kiv/log.h"
#include "kiv/saved_record.h"
#include "screen/terminal.h"

namespace kiv {

class SessionSaver {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto QuietDelay = std::chrono::seconds(1);
    static constexpr auto MaxBehind = std::chrono::seconds(3);

    // `dir` is the state directory; `withContent` false keeps the screen
    // off the disk (name, command and times only). `master` is the
    // session's pseudo-terminal, asked what runs in its foreground.
    SessionSaver(std::string dir, SavedRecord base, bool withContent, int master, Logger* log);

    void changed(Clock::time_point now);
    // When the next write is due, if one is.
    std::optional<Clock::time_point> due() const;
    // Writes when due: at QuietDelay after the first unsaved change if the
    // last wait brought no events (`quiet`), at MaxBehind in any case.
    void maybeWrite(Clock::time_point now, bool quiet, const screen::Terminal& term,
                    int commandPid);
    void write(const screen::Terminal& term, int commandPid);
    // The command has ended and the session is kept until collected: the
    // record says how, from the next write on.
    void ended(const SessionEnd& end);
    // The session is over and gone: so is its record.
    void remove();

  private:
    std::string dir_;
    SavedRecord record_;
    bool withContent_;
    int master_;
    Logger* log_;
    std::optional<Clock::time_point> dirtySince_;
    bool busy_ = false;  // the quiet moment was missed: written at MaxBehind
    bool failedBefore_ = false;
};

// False when the environment says KIV_SAVE=0 (or no, off, false).
bool contentSavingWanted();

}  // namespace kiv
