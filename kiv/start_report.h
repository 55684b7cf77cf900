// How a daemon started in the background tells the front end why it could
// not start. Its standard error is the null device, so the reason travels
// through a pipe instead: the front end keeps the read end, the daemon gets
// the write end (named in an environment variable) across its exec, writes
// one line when start-up fails and closes the pipe once it listens. An exec
// that fails reports the same way; any other descriptor of the pipe is
// close-on-exec, so neither the session's command nor anything else holds it.
#pragma once

#include <chrono>
#include <string>

#include "kiv/fd.h"

namespace kiv {

inline constexpr const char* StartReportVar = "KIV_START_REPORT";

// The front end's side.
class StartReport {
  public:
    StartReport();  // raises SystemError "pipe failed"

    // In the child before the exec: keeps the write end open across it and
    // names it in the environment; false on failure.
    bool handOver();
    int writeEnd() const { return write_.get(); }
    // In the parent after the fork.
    void closeWriteEnd() { write_.reset(); }

    // Waits until the daemon closes its end or the deadline passes; returns
    // the reason it wrote, "" when it wrote none.
    std::string reason(std::chrono::steady_clock::time_point deadline);

  private:
    UniqueFd read_;
    UniqueFd write_;
};

// The daemon's side: the write end named in the environment (which is then
// cleared), close-on-exec from here on; none when started otherwise.
UniqueFd takeStartReport();

// Writes `reason` (one line) to the front end; a missing end is no error.
void reportStartFailure(const UniqueFd& report, const std::string& reason);

}  // namespace kiv
