// Hyperlinks (OSC 8): each distinct target is kept once, and cells refer
// to it by a small id.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace screen {

// Most distinct links kept; text linked past that is shown unlinked.
inline constexpr size_t kMaxLinks = 16384;
// Longest link target kept (longer ones are not linked).
inline constexpr size_t kMaxLinkBytes = 4096;

class LinkTable {
  public:
    // The id of a link (its parameters and target, as OSC 8 gives them),
    // or 0 when the table is full or the link too long. Ids start at 1.
    uint32_t intern(std::string_view params, std::string_view uri);
    // The "params;uri" text of id, or empty for 0 and unknown ids.
    std::string_view text(uint32_t id) const {
        return id > 0 && id <= texts_.size() ? std::string_view(texts_[id - 1])
                                             : std::string_view();
    }

  private:
    std::vector<std::string> texts_;
    std::unordered_map<std::string, uint32_t> ids_;
};

}  // namespace screen
