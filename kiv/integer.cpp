#include "kiv/integer.h"

#include <string>

#include "kiv/errors.h"

namespace kiv {

std::optional<int64_t> readInteger(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    // Accumulate as a negative number so that INT64_MIN is reachable.
    int64_t value = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '_') {
            // Only a separator after a digit; the first character is a digit,
            // so a run of underscores here always follows one.
            ++i;
            continue;
        }
        if (c < '0' || c > '9') return std::nullopt;
        int digit = c - '0';
        if (value < (INT64_MIN + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
        ++i;
    }
    if (!negative) {
        if (value == INT64_MIN) return std::nullopt;
        value = -value;
    }
    return value;
}

int64_t parseInteger(std::string_view text) {
    auto value = readInteger(text);
    if (!value) throw UsageError("invalid integer: " + std::string(text));
    return *value;
}

}  // namespace kiv
