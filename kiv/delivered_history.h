// How far into a session's history each user terminal has been brought, so
// that attaching again from the same terminal sends only the lines it does
// not hold yet (history lines carry running numbers: see
// screen::Terminal::historyEnd()).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace kiv {

class DeliveredHistory {
  public:
    // The running number from which the terminal is owed the history: 0
    // (all of it) for one never seen, or without an identity.
    int64_t owedFrom(const std::string& terminal);
    // The terminal holds every history line before `end`.
    void brought(const std::string& terminal, int64_t end);

    // Terminals remembered at most; the one unused longest is forgotten
    // first (and would get the whole history again).
    static constexpr size_t Limit = 1024;

  private:
    struct Entry {
        int64_t end = 0;
        uint64_t used = 0;
    };
    std::unordered_map<std::string, Entry> entries_;
    uint64_t clock_ = 0;
};

}  // namespace kiv
