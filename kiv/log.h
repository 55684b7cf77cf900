// The daemon's optional log: one time-stamped line per notable event,
// appended to a yearly file shared by every daemon of the user. Logging
// never fails its caller: when the file cannot be opened or written, lines
// are dropped silently. Without --log nothing touches the disk.
#pragma once

#include <string>
#include <string_view>

#include "kiv/fd.h"

namespace kiv {

class Logger {
  public:
    // A logger without a file: every line is dropped.
    Logger() = default;

    // <data dir>/kiv/kiv-<year>.log for the current local year, where the
    // data directory is $XDG_DATA_HOME when set and not empty, else
    // $HOME/.local/share ("/.local/share" without HOME).
    static std::string logFilePath();

    // Appends "<yyyy-MM-ddTHH:mm:ss> <session>: <message>\n" in local time
    // and flushes it at once, in one write so that lines from several
    // daemons never mix. The year's file is shared by every daemon: each
    // line names its session (none before nameSession()).
    void info(std::string_view message) noexcept;
    void nameSession(std::string name) { session_ = std::move(name); }

    void close() noexcept;

    bool enabled() const { return file_.valid(); }
    const std::string& path() const { return path_; }

  private:
    friend Logger initLogger(bool enabled) noexcept;
    UniqueFd file_;
    std::string path_;
    std::string session_;
};

// When enabled, creates the log's directory and opens the file for
// appending; the year in its name is fixed from then on. When disabled, or
// when anything fails, the logger has no file.
Logger initLogger(bool enabled) noexcept;

}  // namespace kiv
