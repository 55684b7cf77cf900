// The table of control functions: each function's name (leader,
// intermediates, final byte) and what carries it out, for the dispatch in
// functions.cpp; and, for the one kind of sequence the interpreter's text
// lane reads itself (graphic rendition), the fast reader it uses, named
// here so that the table stays the one authority on what a sequence does.
#pragma once

#include <string_view>

#include "screen/functions.h"
#include "screen/modes.h"
#include "screen/queries.h"
#include "screen/sequence.h"
#include "screen/sgr.h"
#include "screen/writer.h"

namespace screen {

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

// A reader of a sequence straight from the bytes after "ESC [" at p, in a
// buffer that ends at end, for the text lane: where its final byte is,
// with what it does to the pen as a rendition; nullptr for a sequence it
// leaves to the general way.
using LaneReader = const char* (*)(const char* p, const char* end, Rendition& r);
// An entry's lane reader, and whether it has one: told by a flag, not by
// comparing the pointer with null, which GCC cannot do at compile time
// when the sanitizers are on.
struct Lane {
    LaneReader read = nullptr;
    bool named = false;
    constexpr Lane() = default;
    constexpr Lane(LaneReader r) : read(r), named(true) {}
};

struct Entry {
    Name name;
    ControlFunction run;
    // Whether the function reads colon sub-parameters; for the others a
    // sequence with them is not one they know.
    bool subParams = false;
    // The text lane's reader of the sequence, for those it reads itself.
    Lane lane = {};
};

namespace control {

// The functions of the table that are no other file's (functions.cpp).
void cuu(Writer& w, const Sequence& s);
void cud(Writer& w, const Sequence& s);
void cuf(Writer& w, const Sequence& s);
void cub(Writer& w, const Sequence& s);
void cnl(Writer& w, const Sequence& s);
void cpl(Writer& w, const Sequence& s);
void cha(Writer& w, const Sequence& s);
void cup(Writer& w, const Sequence& s);
void vpa(Writer& w, const Sequence& s);
void ich(Writer& w, const Sequence& s);
void dch(Writer& w, const Sequence& s);
void ech(Writer& w, const Sequence& s);
void il(Writer& w, const Sequence& s);
void dl(Writer& w, const Sequence& s);
void su(Writer& w, const Sequence& s);
void sd(Writer& w, const Sequence& s);
void el(Writer& w, const Sequence& s);
void sgr(Writer& w, const Sequence& s);
void decstbm(Writer& w, const Sequence& s);
void scosc(Writer& w, const Sequence& s);
void scorc(Writer& w, const Sequence& s);
void decset(Writer& w, const Sequence& s);
void decrst(Writer& w, const Sequence& s);
void sm(Writer& w, const Sequence& s);
void rm(Writer& w, const Sequence& s);
void decstr(Writer& w, const Sequence& s);
void decscusr(Writer& w, const Sequence& s);
void tbc(Writer& w, const Sequence& s);
void cht(Writer& w, const Sequence& s);
void cbt(Writer& w, const Sequence& s);
void kittyPush(Writer& w, const Sequence& s);
void kittyPop(Writer& w, const Sequence& s);
void kittySet(Writer& w, const Sequence& s);
void xtmodkeys(Writer& w, const Sequence& s);
void rep(Writer& w, const Sequence& s);
void ed(Writer& w, const Sequence& s);
void bs(Writer& w, const Sequence& s);
void ht(Writer& w, const Sequence& s);
void lf(Writer& w, const Sequence& s);
void cr(Writer& w, const Sequence& s);
void so(Writer& w, const Sequence& s);
void si(Writer& w, const Sequence& s);
void decsc(Writer& w, const Sequence& s);
void decrc(Writer& w, const Sequence& s);
void ind(Writer& w, const Sequence& s);
void nel(Writer& w, const Sequence& s);
void ri(Writer& w, const Sequence& s);
void decaln(Writer& w, const Sequence& s);
void hts(Writer& w, const Sequence& s);
void ris(Writer& w, const Sequence& s);
void deckpam(Writer& w, const Sequence& s);
void deckpnm(Writer& w, const Sequence& s);

// G0 and G1 designations: the line-drawing set, the British set, ASCII.
template <int Set, Charset C>
void designate(Writer& w, const Sequence&) {
    Charsets& c = w.state().charsets;
    (Set == 0 ? c.g0 : c.g1) = C;
}

// The control functions this terminal carries out. To add one: write a
// function `void name(Writer&, const Sequence&)` (declared above, defined
// in functions.cpp; its arguments are in the Sequence: s.arg(i, default),
// s.raw(i)) and add a line here with its name as text. Names are unique
// (the build fails otherwise); a function may appear under several.
inline constexpr Entry kFunctions[] = {
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
    {csi("m"), sgr, true, readSgrForLane},
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

}  // namespace control

// The lane reader the table names for a sequence, for the interpreter to
// take at compile time: asked for one the table does not name, the build
// fails.
constexpr LaneReader laneReader(Name n) {
    for (const Entry& e : control::kFunctions)
        if (e.name.kind == n.kind && e.name.text == n.text && e.lane.named) return e.lane.read;
    throw "the table names no lane reader for this sequence";
}

}  // namespace screen
