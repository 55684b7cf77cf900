#include "screen/links.h"

namespace screen {

uint32_t LinkTable::intern(std::string_view params, std::string_view uri) {
    if (uri.empty() || params.size() + uri.size() > kMaxLinkBytes) return 0;
    std::string key;
    key.reserve(params.size() + 1 + uri.size());
    key.append(params).append(";").append(uri);
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    if (texts_.size() >= kMaxLinks) return 0;
    texts_.push_back(key);
    uint32_t id = uint32_t(texts_.size());
    ids_.emplace(std::move(key), id);
    return id;
}

}  // namespace screen
