// How a session ended: its command exited with a status, was ended by a
// signal, or the session itself was killed. The daemon tells it to every
// client that sees the end (an Ended message) and to `kiv ls`; the attach
// client turns it into its last line and its exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kiv {

struct SessionEnd {
    enum class How {
        Exited,    // code: the command's exit status
        Signaled,  // code: the signal that ended the command
        Killed,    // the session was stopped (`kiv kill`, a signal to the daemon)
    };
    How how = How::Exited;
    int code = 0;
    int64_t secondsAgo = 0;  // when it ended, as the daemon counts when asked

    bool operator==(const SessionEnd&) const = default;
};

// From a wait status as waitpid reports it.
SessionEnd endFromWaitStatus(int status);

// "SIGKILL", or "signal 77" for a number without a name.
std::string signalName(int signal);

// "exited 3", "killed by SIGKILL", "killed".
std::string describeEnd(const SessionEnd& end);

// What an attach that saw the end returns: the command's status, 128 plus
// the signal's number, or 1 when the session was killed.
int endExitStatus(const SessionEnd& end);

// As "key=value" fields, each ended by a NUL byte ("end", "status" or
// "signal", "ago"): the payload of an Ended message, and part of a
// session's details.
void appendEndFields(std::string& out, const SessionEnd& end);

// Gathers those fields from a payload that may hold others too.
class EndFieldReader {
  public:
    // True when `key` is a field of the end (then read); false otherwise.
    bool take(std::string_view key, std::string_view value);
    // A field of the end with a value that cannot be one.
    bool bad() const { return bad_; }
    // Nothing when there was no "end" field or a bad one.
    std::optional<SessionEnd> result() const;

  private:
    std::optional<SessionEnd::How> how_;
    SessionEnd end_;
    bool bad_ = false;
};

// Nothing when the payload is not a set of such fields with an "end".
std::optional<SessionEnd> decodeEnd(std::string_view payload);

}  // namespace kiv
