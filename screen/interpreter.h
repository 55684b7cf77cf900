// The escape-sequence interpreter: a program's output, chunk by chunk, into
// the grid. feed() joins chunks (a sequence, string or character cut by a
// read is held until the rest arrives) and carries out synchronized
// updates; feedRaw() interprets bytes on their own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "screen/grid.h"

namespace screen {

// Most bytes held back for an unfinished sequence. A longer string goes on
// being skipped without being kept; a longer control sequence is dropped.
inline constexpr size_t kMaxHeld = 64 * 1024;

void feed(Grid& g, std::string_view chunk);
// Interprets bytes from a clean state; an unfinished sequence at the end is
// dropped (a character cut short becomes U+FFFD).
void feedRaw(Grid& g, std::string_view bytes);
// (complete part, held part): the held part is the unfinished escape
// sequence, string or UTF-8 character the bytes end with, possibly empty.
std::pair<std::string, std::string> splitHeldEscape(std::string_view bytes);

}  // namespace screen
