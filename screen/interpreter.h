// The escape-sequence interpreter: a program's output, chunk by chunk, into
// the grid. feed() joins chunks (a sequence, string or character cut by a
// read is held until the rest arrives) and carries out synchronized
// updates; feedRaw() interprets bytes on their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "screen/grid.h"

namespace screen {

// Most bytes held back for an unfinished sequence. A longer string goes on
// being skipped without being kept; a longer control sequence is dropped.
inline constexpr size_t kMaxHeld = 64 * 1024;

// A synchronized update that is never closed ends by itself this long
// after it began, as terminals end one: the screen then shows what was
// written inside it. The library reads no clock: feed() is told when the
// chunk arrived, and the caller asks for the deadline and ends the update
// when it has passed.
inline constexpr std::chrono::milliseconds kSyncTimeout{1000};

// now: when the chunk arrived (it dates an update that begins in it).
void feed(Grid& g, std::string_view chunk, SyncClock::time_point now = {});
// When the open synchronized update is due to end; none when none is open.
std::optional<SyncClock::time_point> syncDeadline(const Grid& g);
// Ends the open synchronized update if its deadline is at or before now.
void endOverdueSync(Grid& g, SyncClock::time_point now);
// Interprets bytes from a clean state; an unfinished sequence at the end is
// dropped (a character cut short becomes U+FFFD).
void feedRaw(Grid& g, std::string_view bytes);
// (complete part, held part): the held part is the unfinished escape
// sequence, string or UTF-8 character the bytes end with, possibly empty.
std::pair<std::string, std::string> splitHeldEscape(std::string_view bytes);

}  // namespace screen
