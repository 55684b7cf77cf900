// "key=value" fields, each ended by a NUL byte: how a daemon's answers about
// a session travel (the Details and Ended messages). A reader skips keys it
// does not know, so either side may add fields; a key may come more than
// once (one "cmd=" per word of a command).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

void addField(std::string& out, std::string_view key, std::string_view value);

struct Field {
    std::string_view key;
    std::string_view value;
};

// The fields in order, viewing into `payload`; nothing when it is not a set
// of such fields (one cut short, or one without "=").
std::optional<std::vector<Field>> splitFields(std::string_view payload);

}  // namespace kiv
