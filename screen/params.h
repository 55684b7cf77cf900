// Readers of the parameter text of a control sequence (digits and ";").
// Unreadable numbers (empty, not decimal, too large for 64 bits) fall back
// to defaults; nothing here fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace screen {

// The whole text as one decimal number, if it is one and fits.
std::optional<int64_t> readDecimal(std::string_view text);
// A count: 1 for empty or unreadable text, else at least 1.
int64_t parseN(std::string_view text);
int64_t parseIntDefault(std::string_view text, int64_t dflt);
// Fields split at ";" (an empty text is one field), each its value or 0.
std::vector<int64_t> parseParams(std::string_view text);
// The value at i when present and greater than 0, else dflt.
int64_t paramAt(const std::vector<int64_t>& params, size_t i, int64_t dflt);

}  // namespace screen
