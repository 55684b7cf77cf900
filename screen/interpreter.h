// The escape-sequence interpreter: a program's output, chunk by chunk, into
// the grid. The parser (parser.h) reads it, keeping its place when a read
// cuts a sequence, string or character; the handler here carries out what
// it reads through the table of control functions (functions.h), and
// keeps the time of synchronized updates.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "screen/grid.h"
#include "screen/writer.h"

namespace screen {

// Most bytes of a string kept while it is read (its body is needed at its
// end, and by a repaint taken meanwhile). A longer string goes on being
// skipped without being kept, and is ignored.
inline constexpr size_t kMaxHeld = 64 * 1024;

// A synchronized update that is never closed ends by itself this long
// after it began, as terminals end one: the screen then shows what was
// written inside it. The library reads no clock: feed() is told when the
// chunk arrived, and the caller asks for the deadline and ends the update
// when it has passed.
inline constexpr std::chrono::milliseconds kSyncTimeout{1000};

// The parser's handler for the screen: what it reads, into the grid
// through the writer; the input record keeps the string being read.
struct ScreenInput {
    Writer w;
    InputState& in;

    void print(std::string_view text);
    // The text path: runs of ASCII text and the common graphic renditions
    // between them, whole in the chunk, carried out in one go.
    const char* lane(const char* p, const char* end);
    void execute(uint8_t c0);
    void escDispatch(const Sequence& s);
    void csiDispatch(const Sequence& s);
    void stringBegin(StringKind kind, const Sequence& header);
    void stringPut(std::string_view fragment);
    void stringEnd(bool terminated);
};

// now: when the chunk arrived (it dates an update that begins in it).
void feed(Grid& g, std::string_view chunk, SyncClock::time_point now = {});
// The head of what the last chunk left unfinished (a sequence, a string, a
// character), as bytes that bring a fresh terminal to the same point: its
// tail comes with the output that follows.
std::string unfinishedInput(const Grid& g);
// When the open synchronized update is due to end; none when none is open.
std::optional<SyncClock::time_point> syncDeadline(const Grid& g);
// Ends the open synchronized update if its deadline is at or before now.
void endOverdueSync(Grid& g, SyncClock::time_point now);

}  // namespace screen
