// Writing to the user's terminal, which another program may have left in
// non-blocking mode: a write that would block waits for the terminal to
// take more instead of losing what is left.
#pragma once

#include <string_view>

namespace kiv {

// Writes all of `bytes` to `fd`, waiting while it is full (EAGAIN) and
// retrying interrupted and short writes. Gives up only when the descriptor
// fails or is hung up; returns whether everything was written.
bool writeWhole(int fd, std::string_view bytes);

// Waits until `fd` can take bytes; false when it has failed or hung up.
bool waitWritable(int fd);

}  // namespace kiv
