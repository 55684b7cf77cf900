// One reply per query. While clients watch a session, the command's
// queries (device attributes, cursor and mode reports, colours,
// capabilities...) reach every client's terminal, and every terminal
// answers in its client's input. The first answer to a query goes to the
// command; the others' answers to the same query are left out of their
// input. Everything else a client sends (typed keys, pastes, replies nobody
// else gave) passes unchanged and in order.
//
// A reply is recognised only where it can be one: at an ESC, in the input
// of a client whose terminal was shown a query of that kind and has not
// answered it yet, in the exact form terminals answer that query with.
// Terminals answer in the order they were asked, so a terminal that
// answers a later query has declined the earlier ones (XTVERSION and the
// keyboard query are often not answered at all). A terminal that stays
// silent holds nobody up: the first answer passes at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "screen/terminal.h"

namespace kiv {

using ReplyClock = std::chrono::steady_clock;
// Whatever names a client for the daemon.
using WatcherId = uint64_t;

// How long a terminal has to answer a query; a later answer is taken for
// typed input.
inline constexpr auto ReplyWait = std::chrono::seconds(3);
// How long the beginning of a possible reply at the end of one read waits
// for the rest (a reply cut by the client's read) before it passes on as
// typed input: an Escape key pressed while a query is open is delayed by
// at most this.
inline constexpr auto ReplyTailWait = std::chrono::milliseconds(40);
// Queries kept open at once; a command that asks faster than terminals
// answer gets the surplus answered more than once, as without the filter.
inline constexpr size_t MaxOpenQueries = 1024;

class ReplyFilter {
  public:
    using Clock = ReplyClock;

    // The command asked `query`; the terminals of `watchers` are being
    // shown it.
    void asked(const screen::Query& query, const std::vector<WatcherId>& watchers,
               Clock::time_point now);

    // What of a client's input goes to the command now. The start of a
    // possible reply at the end is kept back until the rest arrives or
    // release() lets it go.
    std::string pass(WatcherId watcher, std::string_view input, Clock::time_point now);

    // A client has gone. Returns what goes to the command for it: input it
    // had kept back, then the model's answers to queries that no remaining
    // terminal will answer.
    std::string leave(WatcherId watcher, Clock::time_point now);

    // Kept-back input whose wait is over, to go to the command as typed;
    // queries past their wait are forgotten.
    std::string release(Clock::time_point now);
    // When release() will next have something to let go or forget.
    std::optional<Clock::time_point> nextRelease() const;

    bool watching(WatcherId watcher) const { return watchers_.count(watcher) != 0; }

  private:
    struct Open {
        screen::Query query;
        Clock::time_point at;
        int waiting = 0;        // terminals that may still answer
        bool answered = false;  // an answer has gone to the command
        bool declined = false;  // a terminal answered a later query instead
    };
    struct Watcher {
        std::deque<uint64_t> expected;  // ids of queries it was shown, oldest first
        std::string held;               // the start of a possible reply
        Clock::time_point heldAt;
    };

    Open* find(uint64_t id);
    void expire(Clock::time_point now);
    void dropStale(Watcher& w);

    std::deque<Open> open_;  // open_[i] has id firstId_ + i
    uint64_t firstId_ = 0;
    std::map<WatcherId, Watcher> watchers_;
};

}  // namespace kiv
