// Questions a program asks its terminal (device attributes, status and
// cursor reports, mode reports, version, keyboard flags) and the answers
// the model gives to them. The grid only records them; whoever owns the
// terminal decides who answers: the model while nobody watches the
// session, the watchers' own terminals otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace screen {

struct Grid;
struct Sequence;
class Writer;

enum class QueryKind : uint8_t {
    PrimaryAttributes,       // DA1: CSI c, CSI 0 c
    SecondaryAttributes,     // DA2: CSI > c, CSI > 0 c
    Status,                  // DSR: CSI 5 n
    CursorPosition,          // CPR: CSI 6 n
    ExtendedCursorPosition,  // DECXCPR: CSI ? 6 n
    AnsiMode,                // DECRQM: CSI Ps $ p
    DecMode,                 // DECRQM: CSI ? Ps $ p
    Version,                 // XTVERSION: CSI > q, CSI > 0 q
    KeyboardFlags,           // the kitty keyboard query: CSI ? u
    // Queries the model has no answer to (the colours are the user's
    // terminal's own, and so are its capabilities): recorded so that
    // several watching terminals' answers reach the program once.
    Color,         // OSC 4 ; n ; ?, OSC 10..19 ; ?
    Capabilities,  // XTGETTCAP: DCS + q names ST
    Setting,       // DECRQSS: DCS $ q setting ST
};

struct Query {
    QueryKind kind = QueryKind::PrimaryAttributes;
    int32_t mode = 0;    // the mode asked about (AnsiMode, DecMode); the colour's OSC number
    std::string answer;  // the model's answer, empty when it has none
};

// Queries recorded and not yet taken by the grid's owner; a program that
// asks faster than anyone takes them loses the newest ones.
inline constexpr size_t kMaxPendingQueries = 1024;

// DECRQM's report of a mode.
enum class ModeState : uint8_t {
    Unknown = 0,
    Set = 1,
    Reset = 2,
    AlwaysSet = 3,
    AlwaysReset = 4,
};

ModeState modeState(const Grid& g, int64_t mode, bool dec);

// Records the query with the answer the grid's state gives now.
void ask(Writer& w, QueryKind kind, int64_t mode = 0);

// The queries as control functions (see functions.h): each records itself
// when its parameters make it the query, and is ignored otherwise.
void da1(Writer& w, const Sequence& s);         // CSI c, CSI 0 c
void da2(Writer& w, const Sequence& s);         // CSI > c, CSI > 0 c
void dsr(Writer& w, const Sequence& s);         // CSI 5 n, CSI 6 n, CSI ? 6 n
void decrqm(Writer& w, const Sequence& s);      // CSI Ps $ p, CSI ? Ps $ p
void xtversion(Writer& w, const Sequence& s);   // CSI > q, CSI > 0 q
void kittyQuery(Writer& w, const Sequence& s);  // CSI ? u: the keyboard flags

void decrqss(Writer& w, const Sequence& s);    // DCS $ q Pt ST: a setting
void xtgettcap(Writer& w, const Sequence& s);  // DCS + q Pt ST: capabilities
// OSC 4 ; n ; ? and OSC 10 to 19 ; ?: a colour asked for instead of set.
void colourQuery(Writer& w, const Sequence& s);

}  // namespace screen
