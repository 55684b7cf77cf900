// The command's queries to its terminal: answered by the model while no
// client's terminal is shown the output, answered once while several are.
// Answers and client input share one road to the command (ptyOut), so they
// reach it in the order they were given.
#include "kiv/daemon.h"

namespace kiv {

namespace {

// Writes bytes for the command as client input is written.
void toCommand(Session& s, std::string_view bytes) {
    if (bytes.empty()) return;
    s.ptyOut.append(bytes);
    flushPty(s);
}

}  // namespace

void answerQueries(Session& s) {
    std::vector<screen::Query> queries = s.term->takeQueries();
    if (queries.empty()) return;
    std::vector<WatcherId> watchers;
    for (const Client& c : s.clients)
        if (c.attached && !c.awaitingSnapshot) watchers.push_back(WatcherId(c.fd.get()));
    auto now = ReplyClock::now();
    std::string answers;
    for (const screen::Query& q : queries) {
        if (!watchers.empty()) {
            s.replies.asked(q, watchers, now);
        } else if (s.ptyOut.size() + answers.size() < PtyInputHighWater) {
            // A command that asks without ever reading its input loses the
            // answers past the mark instead of growing the queue.
            answers += q.answer;
        }
    }
    toCommand(s, answers);
}

void passInput(Session& s, int fd, std::string_view input) {
    toCommand(s, s.replies.pass(WatcherId(fd), input, ReplyClock::now()));
}

void forgetWatcher(Session& s, int fd) {
    toCommand(s, s.replies.leave(WatcherId(fd), ReplyClock::now()));
}

void releaseReplies(Session& s) {
    toCommand(s, s.replies.release(ReplyClock::now()));
}

}  // namespace kiv
