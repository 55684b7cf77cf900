#include "screen/functions.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "screen/function_table.h"
#include "screen/modes.h"
#include "screen/queries.h"
#include "screen/sgr.h"
#include "screen/tabs.h"

namespace screen {

namespace control {

namespace {

// The count a function takes from its first parameter: at least 1.
int64_t countOf(const Sequence& s) {
    return s.arg(0, 1);
}

}  // namespace

// The functions, each as the table calls it.

void cuu(Writer& w, const Sequence& s) {
    w.moveUp(countOf(s));
}
void cud(Writer& w, const Sequence& s) {
    w.moveDown(countOf(s));
}
void cuf(Writer& w, const Sequence& s) {
    w.moveForward(countOf(s));
}
void cub(Writer& w, const Sequence& s) {
    w.moveBack(countOf(s));
}
void cnl(Writer& w, const Sequence& s) {
    w.moveDown(countOf(s));
    w.carriageReturn();
}
void cpl(Writer& w, const Sequence& s) {
    w.moveUp(countOf(s));
    w.carriageReturn();
}
void cha(Writer& w, const Sequence& s) {
    w.moveToColumn(s.arg(0, 1) - 1);
}
void cup(Writer& w, const Sequence& s) {
    w.moveTo(s.arg(0, 1) - 1, s.arg(1, 1) - 1);
}
void vpa(Writer& w, const Sequence& s) {
    w.moveToRow(s.arg(0, 1) - 1);
}
void ich(Writer& w, const Sequence& s) {
    w.insertChars(countOf(s));
}
void dch(Writer& w, const Sequence& s) {
    w.deleteChars(countOf(s));
}
void ech(Writer& w, const Sequence& s) {
    w.eraseChars(countOf(s));
}
void il(Writer& w, const Sequence& s) {
    w.insertLines(countOf(s));
}
void dl(Writer& w, const Sequence& s) {
    w.deleteLines(countOf(s));
}
void su(Writer& w, const Sequence& s) {
    w.scrollUp(countOf(s));
}
void sd(Writer& w, const Sequence& s) {
    w.scrollDown(countOf(s));
}
// EL (and ED below): with several parameters the first one counts.
void el(Writer& w, const Sequence& s) {
    w.eraseLine(s.raw(0));
}
void sgr(Writer& w, const Sequence& s) {
    applySgr(w.state().pen, s);
}
void decstbm(Writer& w, const Sequence& s) {
    // No parameters at all: the whole screen, without a region.
    if (s.noParams())
        w.setScrollRegion(std::nullopt);
    else
        w.setScrollRegion(
            std::pair{ScreenRow{s.arg(0, 1) - 1}, ScreenRow{s.arg(1, INT64_MAX) - 1}});
}
void scosc(Writer& w, const Sequence&) {
    w.saveCursor();
}
void scorc(Writer& w, const Sequence&) {
    w.restoreCursor();
}

// Modes: CSI ? Pm h / l (DEC private) and CSI Pm h / l (SM, RM).
void decset(Writer& w, const Sequence& s) {
    for (size_t i = 0; i < s.count; ++i)
        setPrivateMode(w, s.raw(i), true);
}
void decrst(Writer& w, const Sequence& s) {
    for (size_t i = 0; i < s.count; ++i)
        setPrivateMode(w, s.raw(i), false);
}
void sm(Writer& w, const Sequence& s) {
    for (size_t i = 0; i < s.count; ++i)
        setAnsiMode(w, s.raw(i), true);
}
void rm(Writer& w, const Sequence& s) {
    for (size_t i = 0; i < s.count; ++i)
        setAnsiMode(w, s.raw(i), false);
}
void decstr(Writer& w, const Sequence&) {
    w.softReset();
}
void decscusr(Writer& w, const Sequence& s) {
    setCursorStyle(w, s.raw(0));
}
// Tab stops.
void tbc(Writer& w, const Sequence& s) {
    clearTabStops(w, s.raw(0));
}
void cht(Writer& w, const Sequence& s) {
    w.tabForward(countOf(s));
}
void cbt(Writer& w, const Sequence& s) {
    w.tabBackward(countOf(s));
}
// Keyboard protocols: kitty's flags, xterm's modifyOtherKeys.
void kittyPush(Writer& w, const Sequence& s) {
    pushKeyboardFlags(w, s.raw(0));
}
void kittyPop(Writer& w, const Sequence& s) {
    popKeyboardFlags(w, countOf(s));
}
void kittySet(Writer& w, const Sequence& s) {
    setKeyboardFlags(w, s.raw(0), s.arg(1, 1));
}
void xtmodkeys(Writer& w, const Sequence& s) {
    if (s.raw(0) == 4) setModifyOtherKeys(w, s.count > 1 ? s.raw(1) : 0);
}

// REP: the character just written, n times more, within the line.
void rep(Writer& w, const Sequence& s) {
    w.repeat(countOf(s));
}

// ED 3 erases the history; the other modes the screen.
void ed(Writer& w, const Sequence& s) {
    if (s.raw(0) == 3) {
        w.eraseScrollback();
    } else {
        w.eraseDisplay(s.raw(0));
    }
}

// C0 controls.
void bs(Writer& w, const Sequence&) {
    w.backspace();
}
void ht(Writer& w, const Sequence&) {
    w.tabForward(1);
}
// LF, VT and FF alike: down a line, scrolling at the bottom margin; the
// column stays.
void lf(Writer& w, const Sequence&) {
    w.index();
}
void cr(Writer& w, const Sequence&) {
    w.carriageReturn();
}
// SO and SI: G1, then G0 again, in use.
void so(Writer& w, const Sequence&) {
    w.state().charsets.shifted = true;
}
void si(Writer& w, const Sequence&) {
    w.state().charsets.shifted = false;
}

// Escape sequences.
void decsc(Writer& w, const Sequence&) {
    w.saveCursor();
}
void decrc(Writer& w, const Sequence&) {
    w.restoreCursor();
}
void ind(Writer& w, const Sequence&) {
    w.index();
}
void nel(Writer& w, const Sequence&) {
    w.lineFeed();
}
void ri(Writer& w, const Sequence&) {
    w.reverseIndex();
}
void decaln(Writer& w, const Sequence&) {
    w.alignmentTest();
}
void hts(Writer& w, const Sequence&) {
    setTabStop(w);
}
void ris(Writer& w, const Sequence&) {
    w.fullReset();
}
void deckpam(Writer& w, const Sequence&) {
    w.state().modes.keypad = true;
}
void deckpnm(Writer& w, const Sequence&) {
    w.state().modes.keypad = false;
}

}  // namespace control

namespace {

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

struct Lookup {
    Key key;
    const Entry* entry;
};

// The table sorted by key for a binary search, and the plain control
// sequences (no leader, no intermediates: nearly all of them) by final
// byte for a direct look-up, both built by the compiler, which refuses a
// name given twice.
struct Index {
    std::array<Lookup, std::size(control::kFunctions)> sorted{};
    std::array<const Entry*, 0x40> plain{};
    std::array<const Entry*, 0x20> controls{};
    bool unique = true;

    constexpr Index() {
        for (size_t i = 0; i < std::size(control::kFunctions); ++i) {
            const Entry& e = control::kFunctions[i];
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

void runControl(Writer& w, uint8_t c0) {
    static const Sequence kNone{};
    w.breakRepeat();
    if (const Entry* e = c0 < kIndex.controls.size() ? kIndex.controls[c0] : nullptr)
        e->run(w, kNone);
}

void runControlFunction(Writer& w, const Sequence& s) {
    const Entry* e = kIndex.find(s);
    // Only a REP right after a character repeats it.
    if (!e || e->run != control::rep) w.breakRepeat();
    if (!e) {
        w.countUnknown();
        return;
    }
    // A parameter past what terminals read, or sub-parameters where the
    // function takes none: the sequence is ignored as a whole.
    if (s.tooLarge || s.malformed || (s.subs != 0 && !e->subParams)) return;
    e->run(w, s);
}

void runString(Writer& w, StringKind kind, const Sequence& head, std::string_view body) {
    if (kind == StringKind::Dcs) {
        Sequence s = head;
        s.text = body;
        runControlFunction(w, s);
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
        w.countUnknown();
        return;
    }
    Sequence s;
    s.kind = Sequence::Osc;
    s.count = 1;
    s.values[0] = number;
    s.text = body.substr(digits);
    runControlFunction(w, s);
}

}  // namespace screen
