// The command's queries to its terminal: answered by the model while no
// client's terminal is shown the output, answered once while several are.
// Answers and client input share one road to the command (ptyOut), so they
// reach it in the order they were given.
#include "kiv/daemon.h"

namespace kiv {

void Daemon::toCommand(std::string_view bytes) {
    if (bytes.empty() || !session_.running) return;  // nobody reads an ended session's input
    session_.ptyOut.append(bytes);
    flushPty();
}

void Daemon::answerQueries() {
    std::vector<screen::Query> queries = session_.term->takeQueries();
    if (queries.empty()) return;
    std::vector<WatcherId> watchers;
    for (const auto& [id, c] : clients_)
        if (c.stage == ClientStage::Live && !c.dropped) watchers.push_back(id);
    auto now = ReplyClock::now();
    std::string answers;
    for (const screen::Query& q : queries) {
        if (!watchers.empty()) {
            replies_.asked(q, watchers, now);
        } else if (session_.ptyOut.size() + answers.size() < PtyInputHighWater) {
            // A command that asks without ever reading its input loses the
            // answers past the mark instead of growing the queue.
            answers += q.answer;
        }
    }
    toCommand(answers);
}

}  // namespace kiv
