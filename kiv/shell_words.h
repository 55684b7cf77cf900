// Words as a POSIX shell reads them back: what `kiv ls` shows of a command,
// and what is typed into a restarted shell to start its job again.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kiv {

// The word as it is when no character in it means anything to a shell,
// else in single quotes (a quote inside as '\''). Bytes are kept as they
// are: a caller that shows or types the result deals with control
// characters.
std::string shellWord(std::string_view word);

// The words, each so, joined by spaces.
std::string shellLine(const std::vector<std::string>& words);

}  // namespace kiv
