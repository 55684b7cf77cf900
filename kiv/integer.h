// The one integer syntax kiv accepts wherever the user or a file gives a
// number: an optional sign, a digit, more digits, and underscores after a
// digit as separators ("8_000"). The value must fit a signed 64-bit integer.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kiv {

std::optional<int64_t> readInteger(std::string_view text);

// As readInteger, but a failure is a UsageError "invalid integer: <text>".
int64_t parseInteger(std::string_view text);

}  // namespace kiv
