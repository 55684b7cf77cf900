// The daemon's timers, soonest first. An entry may have become pointless
// by the time it is due (its client has attached, say): whoever takes it
// checks that it still applies, so nothing is ever searched for to cancel.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <queue>
#include <vector>

namespace kiv {

enum class Timer {
    SocketCheck,   // the socket file is still there
    AcceptResume,  // the listeners rest no longer
    AttachWait,    // a TCP connection has had its time to send Attach
    Handshake,     // a TCP connection has had its time to prove the key
    Replies,       // held-back input or open queries are due
    Update,        // a synchronized update left open ends
    Reap,          // the ended command's status is looked for again
    Save,          // the saved record may be due
    Repaint,       // owed repaints may go
    Stall,         // a client that owes its socket output has taken some since
    Typeahead,     // a restarted command that shows nothing is typed into all the same
    Shown,         // a client is told what the daemon showed on its terminal
};

struct Deadline {
    std::chrono::steady_clock::time_point when;
    Timer what;
    uint64_t client = 0;  // for AttachWait, Handshake, Stall and Shown
    bool operator>(const Deadline& other) const { return when > other.when; }
};

class Deadlines {
  public:
    using Clock = std::chrono::steady_clock;

    void add(Clock::time_point when, Timer what, uint64_t client = 0) {
        heap_.push({when, what, client});
    }
    // The soonest entry's time, if any.
    std::optional<Clock::time_point> next() const {
        if (heap_.empty()) return std::nullopt;
        return heap_.top().when;
    }
    // Takes the soonest entry when it is due by `now`.
    std::optional<Deadline> takeDue(Clock::time_point now) {
        if (heap_.empty() || heap_.top().when > now) return std::nullopt;
        Deadline d = heap_.top();
        heap_.pop();
        return d;
    }

  private:
    std::priority_queue<Deadline, std::vector<Deadline>, std::greater<>> heap_;
};

}  // namespace kiv
