#include "screen/params.h"

#include <algorithm>

namespace screen {

std::optional<int64_t> readDecimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, c - '0', &v))
            return std::nullopt;
    }
    return v;
}

int64_t parseN(std::string_view text) {
    return std::max<int64_t>(readDecimal(text).value_or(1), 1);
}

int64_t parseIntDefault(std::string_view text, int64_t dflt) {
    return readDecimal(text).value_or(dflt);
}

std::vector<int64_t> parseParams(std::string_view text) {
    std::vector<int64_t> out;
    size_t start = 0;
    while (true) {
        size_t semi = text.find(';', start);
        std::string_view field = text.substr(
            start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
        out.push_back(readDecimal(field).value_or(0));
        if (semi == std::string_view::npos) break;
        start = semi + 1;
    }
    return out;
}

int64_t paramAt(const std::vector<int64_t>& params, size_t i, int64_t dflt) {
    return i < params.size() && params[i] > 0 ? params[i] : dflt;
}

}  // namespace screen
