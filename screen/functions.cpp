#include "screen/functions.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "screen/editing.h"
#include "screen/grid.h"
#include "screen/modes.h"
#include "screen/placement.h"
#include "screen/queries.h"
#include "screen/sgr.h"
#include "screen/tabs.h"

namespace screen {

namespace {

// Saturating helpers for cursor arithmetic with large counts: a position
// (a line index or a column) moved n towards a limit, not past it.
template <class Position>
Position upTo(Position from, int64_t n, std::type_identity_t<Position> limit) {
    return from <= limit ? from : from - std::min(n, from - limit);
}
template <class Position>
Position downTo(Position from, int64_t n, std::type_identity_t<Position> limit) {
    return from >= limit ? from : from + std::min(n, limit - from);
}

void clampColumn(Grid& g) {
    g.cursor.col = std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g) - 1);
}

// The count a function takes from its first parameter: at least 1.
int64_t countOf(const Sequence& s) {
    return s.arg(0, 1);
}

// Up, stopping at the top margin when starting inside the region, else at
// the top of the screen.
void cursorUp(Grid& g, int64_t n) {
    const LineIndex top = scrollBounds(g).first;
    const LineIndex limit = regionActive(g) && g.cursor.row >= top ? top : screenTop(g);
    g.cursor.row = upTo(g.cursor.row, n, limit);
    g.cursor.pendingWrap = false;
    clampColumn(g);
}

// Down, stopping at the bottom margin when starting inside the region,
// else at the last screen row.
void cursorDown(Grid& g, int64_t n) {
    const LineIndex bottom = scrollBounds(g).second;
    const LineIndex limit = regionActive(g) && g.cursor.row <= bottom ? bottom : lastScreenRow(g);
    g.cursor.row = clampRow(g, downTo(g.cursor.row, n, limit));
    ensureRow(g, g.cursor.row);
    g.cursor.pendingWrap = false;
    clampColumn(g);
}

// A row (0-based) as absolute positioning addresses it: the count of rows
// below the top of the screen, or in origin mode below the top margin;
// kept within the screen or the region.
void moveToScreenRow(Grid& g, int64_t row) {
    auto [top, bottom] = g.state.modes.origin && regionActive(g)
                             ? scrollBounds(g)
                             : std::pair<LineIndex, LineIndex>{screenTop(g), lastScreenRow(g)};
    g.cursor.row = clampRow(g, top + std::clamp<int64_t>(row, 0, bottom - top));
    ensureRow(g, g.cursor.row);
}

// The functions, each as the table calls it.

void cuu(Grid& g, const Sequence& s) {
    cursorUp(g, countOf(s));
}
void cud(Grid& g, const Sequence& s) {
    cursorDown(g, countOf(s));
}
void cuf(Grid& g, const Sequence& s) {
    g.cursor.col = downTo(std::max<int64_t>(g.cursor.col, 0), countOf(s), columnLimit(g) - 1);
    g.cursor.pendingWrap = false;
    clampColumn(g);
}
void cub(Grid& g, const Sequence& s) {
    g.cursor.col = upTo(g.cursor.col, countOf(s), 0);
    g.cursor.pendingWrap = false;
    clampColumn(g);
}
void cnl(Grid& g, const Sequence& s) {
    cursorDown(g, countOf(s));
    g.cursor.col = 0;
}
void cpl(Grid& g, const Sequence& s) {
    cursorUp(g, countOf(s));
    g.cursor.col = 0;
}
void cha(Grid& g, const Sequence& s) {
    g.cursor.col = std::min(s.arg(0, 1) - 1, columnLimit(g) - 1);
    g.cursor.pendingWrap = false;
}
void cup(Grid& g, const Sequence& s) {
    moveToScreenRow(g, s.arg(0, 1) - 1);
    g.cursor.col = s.arg(1, 1) - 1;
    clampColumn(g);
    g.cursor.pendingWrap = false;
}
void vpa(Grid& g, const Sequence& s) {
    moveToScreenRow(g, s.arg(0, 1) - 1);
    g.cursor.pendingWrap = false;
    clampColumn(g);
}
void ich(Grid& g, const Sequence& s) {
    insertChars(g, countOf(s));
}
void dch(Grid& g, const Sequence& s) {
    deleteChars(g, countOf(s));
}
void ech(Grid& g, const Sequence& s) {
    eraseChars(g, countOf(s));
}
void il(Grid& g, const Sequence& s) {
    insertLines(g, countOf(s));
}
void dl(Grid& g, const Sequence& s) {
    deleteLines(g, countOf(s));
}
void su(Grid& g, const Sequence& s) {
    auto [top, bottom] = scrollBounds(g);
    scrollRegionUp(g, top, bottom, countOf(s));
}
void sd(Grid& g, const Sequence& s) {
    auto [top, bottom] = scrollBounds(g);
    scrollRegionDown(g, top, bottom, countOf(s));
}
// EL (and ED below): with several parameters the first one counts.
void el(Grid& g, const Sequence& s) {
    eraseLine(g, s.raw(0));
}
void sgr(Grid& g, const Sequence& s) {
    applySgr(g, s);
}
void decstbm(Grid& g, const Sequence& s) {
    // No parameters at all: the whole screen, without a region.
    if (s.noParams())
        setScrollRegion(g, std::nullopt);
    else
        setScrollRegion(g,
                        std::pair{ScreenRow{s.arg(0, 1) - 1}, ScreenRow{s.arg(1, INT64_MAX) - 1}});
}
void scosc(Grid& g, const Sequence&) {
    saveCursor(g);
}
void scorc(Grid& g, const Sequence&) {
    restoreCursor(g);
}

// Modes: CSI ? Pm h / l (DEC private) and CSI Pm h / l (SM, RM).
void decset(Grid& g, const Sequence& s) {
    for (size_t i = 0; i < s.count; ++i)
        setPrivateMode(g, s.raw(i), true);
}
void decrst(Grid& g, const Sequence& s) {
    for (size_t i = 0; i < s.count; ++i)
        setPrivateMode(g, s.raw(i), false);
}
void sm(Grid& g, const Sequence& s) {
    for (size_t i = 0; i < s.count; ++i)
        setAnsiMode(g, s.raw(i), true);
}
void rm(Grid& g, const Sequence& s) {
    for (size_t i = 0; i < s.count; ++i)
        setAnsiMode(g, s.raw(i), false);
}
void decstr(Grid& g, const Sequence&) {
    softReset(g);
}
void decscusr(Grid& g, const Sequence& s) {
    setCursorStyle(g, s.raw(0));
}
// Tab stops.
void tbc(Grid& g, const Sequence& s) {
    clearTabStops(g, s.raw(0));
}
void cht(Grid& g, const Sequence& s) {
    tabForward(g, countOf(s));
}
void cbt(Grid& g, const Sequence& s) {
    tabBackward(g, countOf(s));
}
// Keyboard protocols: kitty's flags, xterm's modifyOtherKeys.
void kittyPush(Grid& g, const Sequence& s) {
    pushKeyboardFlags(g, s.raw(0));
}
void kittyPop(Grid& g, const Sequence& s) {
    popKeyboardFlags(g, countOf(s));
}
void kittySet(Grid& g, const Sequence& s) {
    setKeyboardFlags(g, s.raw(0), s.arg(1, 1));
}
void xtmodkeys(Grid& g, const Sequence& s) {
    if (s.raw(0) == 4) setModifyOtherKeys(g, s.count > 1 ? s.raw(1) : 0);
}

// REP: the character just written, n times more, within the line (as
// tmux does; it never wraps).
void rep(Grid& g, const Sequence& s) {
    if (g.lastRune < 0) return;
    int64_t room = columnLimit(g) - std::clamp<int64_t>(g.cursor.col, 0, columnLimit(g));
    int64_t n = std::min(countOf(s), room);
    int32_t rune = g.lastRune;
    for (int64_t i = 0; i < n; ++i)
        putRune(g, rune);
}

// ED 3 erases the history; the other modes the screen.
void ed(Grid& g, const Sequence& s) {
    if (s.raw(0) == 3) {
        eraseScrollback(g);
    } else {
        eraseDisplay(g, s.raw(0));
    }
}

// C0 controls.
void bs(Grid& g, const Sequence&) {
    backspace(g);
}
void ht(Grid& g, const Sequence&) {
    tab(g);
}
// LF, VT and FF alike: down a line, scrolling at the bottom margin; the
// column stays.
void lf(Grid& g, const Sequence&) {
    indexLine(g);
}
void cr(Grid& g, const Sequence&) {
    g.cursor.pendingWrap = false;
    g.cursor.col = 0;
}
// SO and SI: G1, then G0 again, in use.
void so(Grid& g, const Sequence&) {
    g.state.charsets.shifted = true;
}
void si(Grid& g, const Sequence&) {
    g.state.charsets.shifted = false;
}

// Escape sequences.
void decsc(Grid& g, const Sequence&) {
    saveCursor(g);
}
void decrc(Grid& g, const Sequence&) {
    restoreCursor(g);
}
void ind(Grid& g, const Sequence&) {
    indexLine(g);
}
void nel(Grid& g, const Sequence&) {
    lineFeed(g);
}
void ri(Grid& g, const Sequence&) {
    reverseIndex(g);
}
void decaln(Grid& g, const Sequence&) {
    screenAlignment(g);
}
void hts(Grid& g, const Sequence&) {
    setTabStop(g);
}
void ris(Grid& g, const Sequence&) {
    fullReset(g);
}
void deckpam(Grid& g, const Sequence&) {
    g.state.modes.keypad = true;
}
void deckpnm(Grid& g, const Sequence&) {
    g.state.modes.keypad = false;
}
// G0 and G1 designations: the line-drawing set, the British set, ASCII.
template <int Set, Charset C>
void designate(Grid& g, const Sequence&) {
    (Set == 0 ? g.state.charsets.g0 : g.state.charsets.g1) = C;
}

// A function's name as text: for a control sequence its leader, its
// intermediates and its final byte ("?h" is CSI ? ... h, " q" is
// CSI ... SP q); for an escape sequence its intermediates and final byte
// ("#8" is ESC # 8).
struct Name {
    Sequence::Kind kind;
    std::string_view text;
};
constexpr Name csi(std::string_view text) {
    return {Sequence::Csi, text};
}
constexpr Name esc(std::string_view text) {
    return {Sequence::Esc, text};
}
constexpr Name c0(std::string_view byte) {
    return {Sequence::Control, byte};
}
// A device control string by its head, as csi() names control sequences.
constexpr Name dcs(std::string_view text) {
    return {Sequence::Dcs, text};
}
// An operating system command by its number.
constexpr Name osc(std::string_view number) {
    return {Sequence::Osc, number};
}

using Key = uint64_t;
constexpr Key oscKey(int64_t number) {
    return Key(Sequence::Osc) << 40 | Key(uint32_t(number));
}
constexpr Key keyOf(Sequence::Kind kind, char leader, const char* inter, size_t interCount,
                    char final) {
    Key k = Key(kind) << 40 | Key(uint8_t(leader)) << 32 | Key(uint8_t(final));
    for (size_t i = 0; i < interCount; ++i)
        k |= Key(uint8_t(inter[i])) << (24 - 8 * i);
    return k;
}
constexpr Key keyOf(Name n) {
    std::string_view t = n.text;
    if (n.kind == Sequence::Osc) {
        int64_t number = 0;
        for (char c : t)
            number = number * 10 + (c - '0');
        return oscKey(number);
    }
    char leader = 0;
    if ((n.kind == Sequence::Csi || n.kind == Sequence::Dcs) && t.size() > 1 && t[0] >= '<' && t[0] <= '?') {
        leader = t[0];
        t.remove_prefix(1);
    }
    return keyOf(n.kind, leader, t.data(), t.size() - 1, t.back());
}

struct Entry {
    Name name;
    ControlFunction run;
    // Whether the function reads colon sub-parameters; for the others a
    // sequence with them is not one they know.
    bool subParams = false;
};

// The control functions this terminal carries out. To add one: write a
// function `void name(Grid&, const Sequence&)` above (its arguments are in
// the Sequence: s.arg(i, default), s.raw(i)) and add a line here with its
// name as text. Names are unique (the build fails otherwise); a function
// may appear under several.
constexpr Entry kFunctions[] = {
    {c0("\b"), bs},
    {c0("\t"), ht},
    {c0("\n"), lf},
    {c0("\v"), lf},
    {c0("\f"), lf},
    {c0("\r"), cr},
    {c0("\x0e"), so},
    {c0("\x0f"), si},
    {csi("@"), ich},
    {csi("A"), cuu},
    {csi("B"), cud},
    {csi("C"), cuf},
    {csi("D"), cub},
    {csi("E"), cnl},
    {csi("F"), cpl},
    {csi("G"), cha},
    {csi("`"), cha},
    {csi("H"), cup},
    {csi("f"), cup},
    {csi("J"), ed},
    {csi("K"), el},
    {csi("L"), il},
    {csi("M"), dl},
    {csi("P"), dch},
    {csi("S"), su},
    {csi("T"), sd},
    {csi("X"), ech},
    {csi("b"), rep},
    {csi("d"), vpa},
    {csi("m"), sgr, true},
    {csi("r"), decstbm},
    {csi("s"), scosc},
    {csi("u"), scorc},
    {csi("?h"), decset},
    {csi("?l"), decrst},
    {esc("7"), decsc},
    {esc("8"), decrc},
    {esc("D"), ind},
    {esc("E"), nel},
    {esc("M"), ri},
    {esc("#8"), decaln},
    {csi("h"), sm},
    {csi("l"), rm},
    {csi("!p"), decstr},
    {csi(" q"), decscusr},
    {csi("g"), tbc},
    {csi("I"), cht},
    {csi("Z"), cbt},
    {esc("H"), hts},
    {esc("c"), ris},
    {esc("="), deckpam},
    {esc(">"), deckpnm},
    {csi(">u"), kittyPush},
    {csi("<u"), kittyPop},
    {csi("=u"), kittySet},
    {csi(">m"), xtmodkeys},
    {esc("(0"), designate<0, Charset::LineDrawing>},
    {esc("(A"), designate<0, Charset::British>},
    {esc("(B"), designate<0, Charset::Ascii>},
    {esc(")0"), designate<1, Charset::LineDrawing>},
    {esc(")A"), designate<1, Charset::British>},
    {esc(")B"), designate<1, Charset::Ascii>},
    // Queries, recorded with the model's answer (queries.h).
    {csi("c"), da1},
    {csi(">c"), da2},
    {csi("n"), dsr},
    {csi("?n"), dsr},
    {csi("$p"), decrqm},
    {csi("?$p"), decrqm},
    {csi(">q"), xtversion},
    {csi("?u"), kittyQuery},
    {dcs("$q"), decrqss},
    {dcs("+q"), xtgettcap},
    // Operating system commands: the title, colours, links.
    {osc("0"), setTitle},
    {osc("2"), setTitle},
    {osc("4"), setColour},
    {osc("10"), setColour},
    {osc("11"), setColour},
    {osc("12"), setColour},
    {osc("104"), setColour},
    {osc("110"), setColour},
    {osc("111"), setColour},
    {osc("112"), setColour},
    {osc("13"), colourQuery},
    {osc("14"), colourQuery},
    {osc("15"), colourQuery},
    {osc("16"), colourQuery},
    {osc("17"), colourQuery},
    {osc("18"), colourQuery},
    {osc("19"), colourQuery},
    {osc("8"), hyperlink},
};

struct Lookup {
    Key key;
    const Entry* entry;
};

// The table sorted by key for a binary search, and the plain control
// sequences (no leader, no intermediates: nearly all of them) by final
// byte for a direct look-up, both built by the compiler, which refuses a
// name given twice.
struct Index {
    std::array<Lookup, std::size(kFunctions)> sorted{};
    std::array<const Entry*, 0x40> plain{};
    std::array<const Entry*, 0x20> controls{};
    bool unique = true;

    constexpr Index() {
        for (size_t i = 0; i < std::size(kFunctions); ++i) {
            const Entry& e = kFunctions[i];
            sorted[i] = {keyOf(e.name), &e};
            if (e.name.kind == Sequence::Csi && e.name.text.size() == 1)
                plain[size_t(e.name.text[0] - 0x40)] = &e;
            if (e.name.kind == Sequence::Control) controls[size_t(e.name.text[0])] = &e;
        }
        std::sort(sorted.begin(), sorted.end(),
                  [](const Lookup& a, const Lookup& b) { return a.key < b.key; });
        for (size_t i = 1; i < sorted.size(); ++i)
            unique = unique && sorted[i - 1].key != sorted[i].key;
    }

    const Entry* find(const Sequence& s) const {
        // Intermediates past those kept name no function (and have no room
        // in a key).
        if (s.intermediateCount > kMaxIntermediates) return nullptr;
        if (s.kind == Sequence::Csi && s.leader == 0 && s.intermediateCount == 0) {
            unsigned slot = unsigned(static_cast<unsigned char>(s.final)) - 0x40;
            return slot < plain.size() ? plain[slot] : nullptr;
        }
        Key k = s.kind == Sequence::Osc
                    ? oscKey(s.raw(0))
                    : keyOf(s.kind, s.leader, s.intermediates, s.intermediateCount, s.final);
        auto it = std::lower_bound(sorted.begin(), sorted.end(), k,
                                   [](const Lookup& a, Key key) { return a.key < key; });
        return it != sorted.end() && it->key == k ? it->entry : nullptr;
    }
};

constexpr Index kIndex;
static_assert(kIndex.unique, "a control function's name is in the table twice");

}  // namespace

void runControl(Grid& g, uint8_t c0) {
    static const Sequence kNone{};
    g.lastRune = -1;
    if (const Entry* e = c0 < kIndex.controls.size() ? kIndex.controls[c0] : nullptr)
        e->run(g, kNone);
}

void runControlFunction(Grid& g, const Sequence& s) {
    const Entry* e = kIndex.find(s);
    // Only a REP right after a character repeats it.
    if (!e || e->run != rep) g.lastRune = -1;
    if (!e) {
        ++g.unknownFunctions;
        return;
    }
    // A parameter past what terminals read, or sub-parameters where the
    // function takes none: the sequence is ignored as a whole.
    if (s.tooLarge || s.malformed || (s.subs != 0 && !e->subParams)) return;
    e->run(g, s);
}

void runString(Grid& g, StringKind kind, const Sequence& head, std::string_view body) {
    if (kind == StringKind::Dcs) {
        Sequence s = head;
        s.text = body;
        runControlFunction(g, s);
        return;
    }
    // An operating system command is named by the number its text begins
    // with, up to a ";" or the end.
    constexpr size_t kMaxDigits = 5;
    size_t digits = 0;
    int32_t number = 0;
    while (digits < body.size() && digits <= kMaxDigits && body[digits] >= '0' &&
           body[digits] <= '9')
        number = number * 10 + (body[digits++] - '0');
    if (digits == 0 || digits > kMaxDigits || (digits < body.size() && body[digits] != ';')) {
        ++g.unknownFunctions;
        return;
    }
    Sequence s;
    s.kind = Sequence::Osc;
    s.count = 1;
    s.values[0] = number;
    s.text = body.substr(digits);
    runControlFunction(g, s);
}

}  // namespace screen
