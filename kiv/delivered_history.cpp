#include "kiv/delivered_history.h"

#include <algorithm>

namespace kiv {

int64_t DeliveredHistory::owedFrom(const std::string& terminal) {
    if (terminal.empty()) return 0;
    auto it = entries_.find(terminal);
    if (it == entries_.end()) return 0;
    it->second.used = ++clock_;
    return it->second.end;
}

void DeliveredHistory::brought(const std::string& terminal, int64_t end) {
    if (terminal.empty()) return;
    if (entries_.size() >= Limit && !entries_.contains(terminal)) {
        auto oldest = std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
            return a.second.used < b.second.used;
        });
        entries_.erase(oldest);
    }
    entries_[terminal] = Entry{end, ++clock_};
}

}  // namespace kiv
