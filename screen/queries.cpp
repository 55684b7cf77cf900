#include "screen/queries.h"

#include <algorithm>

#include "screen/grid.h"
#include "screen/sequence.h"
#include "screen/writer.h"

#ifndef KIV_VERSION_TEXT
#define KIV_VERSION_TEXT "0"
#endif
#ifndef KIV_VERSION_NUMBER
#define KIV_VERSION_NUMBER 0
#endif

namespace screen {

namespace {

// A VT220 (62) with ANSI colour (22): what the model keeps. Printer, user
// keys, selective erase, character sets of other nations, rectangular
// editing and graphics are not, so they are not claimed.
constexpr std::string_view kPrimaryAttributes = "\x1b[?62;22c";

std::string secondaryAttributes() {
    // 1: a VT220-class terminal; then the firmware version (the program's,
    // as major * 10000 + minor * 100 + patch) and no keyboard option.
    return "\x1b[>1;" + std::to_string(KIV_VERSION_NUMBER) + ";0c";
}

std::string version() {
    return "\x1bP>|kiv " KIV_VERSION_TEXT "\x1b\\";
}

// The cursor as a terminal reports it: 1-based on the visible screen (in
// origin mode, from the top margin), on the last column while a wrap is
// pending.
std::pair<int64_t, int64_t> reportedCursor(const Grid& g) {
    const LineIndex top =
        g.state.modes.origin && regionActive(g) ? scrollBounds(g).first : screenTop(g);
    int64_t row = g.cursor.row - top + 1;
    if (g.height > 0) row = std::clamp<int64_t>(row, 1, g.height);
    int64_t col = std::clamp<int64_t>(g.cursor.col + 1, 1, columnLimit(g));
    return {std::max<int64_t>(row, 1), col};
}

std::string modeReport(int64_t mode, bool dec, ModeState state) {
    return std::string("\x1b[") + (dec ? "?" : "") + std::to_string(mode) + ";" +
           std::to_string(int(state)) + "$y";
}

ModeState flag(bool on) {
    return on ? ModeState::Set : ModeState::Reset;
}

std::string answerFor(const Grid& g, QueryKind kind, int64_t mode) {
    switch (kind) {
        case QueryKind::PrimaryAttributes:
            return std::string(kPrimaryAttributes);
        case QueryKind::SecondaryAttributes:
            return secondaryAttributes();
        case QueryKind::Status:
            return "\x1b[0n";
        case QueryKind::CursorPosition: {
            auto [row, col] = reportedCursor(g);
            return "\x1b[" + std::to_string(row) + ";" + std::to_string(col) + "R";
        }
        case QueryKind::ExtendedCursorPosition: {
            // The page is always the first: the model has one.
            auto [row, col] = reportedCursor(g);
            return "\x1b[?" + std::to_string(row) + ";" + std::to_string(col) + ";1R";
        }
        case QueryKind::AnsiMode:
            return modeReport(mode, false, modeState(g, mode, false));
        case QueryKind::DecMode:
            return modeReport(mode, true, modeState(g, mode, true));
        case QueryKind::Version:
            return version();
        case QueryKind::KeyboardFlags:
            return "\x1b[?" + std::to_string(int(g.screen.keyboard.current())) + "u";
        case QueryKind::Color:
        case QueryKind::Capabilities:
        case QueryKind::Setting:
            return {};
    }
    return {};
}

}  // namespace

ModeState modeState(const Grid& g, int64_t mode, bool dec) {
    const Modes& m = g.state.modes;
    if (!dec) return mode == 4 ? flag(m.insert) : ModeState::Unknown;
    switch (mode) {
        case 1:
            return flag(m.cursorKeys);
        case 6:
            return flag(m.origin);
        case 7:
            return flag(m.autowrap);
        case 9:
            return flag(m.mouse == MouseTracking::Press);
        case 25:
            return flag(!m.cursorHidden);
        case 47:
        case 1047:
        case 1049:
            return flag(altShown(g));
        case 66:
            return flag(m.keypad);
        case 1000:
            return flag(m.mouse == MouseTracking::Normal);
        case 1002:
            return flag(m.mouse == MouseTracking::ButtonMotion);
        case 1003:
            return flag(m.mouse == MouseTracking::AnyMotion);
        case 1004:
            return flag(m.focusEvents);
        case 1005:
            return flag(m.mouseUtf8);
        case 1006:
            return flag(m.mouseSgr);
        case 1015:
            return flag(m.mouseUrxvt);
        case 2004:
            return flag(m.bracketedPaste);
        case 2026:
            return flag(g.syncActive);
        default:
            return ModeState::Unknown;
    }
}

void ask(Writer& w, QueryKind kind, int64_t mode) {
    if (w.grid().queries.size() >= kMaxPendingQueries) return;
    mode = std::clamp<int64_t>(mode, 0, INT32_MAX);
    w.record(Query{kind, int32_t(mode), answerFor(w.grid(), kind, mode)});
}

namespace {

// A query asks with one parameter at most (or none).
bool single(const Sequence& s) {
    return s.count <= 1;
}

}  // namespace

void da1(Writer& w, const Sequence& s) {
    if (single(s) && s.raw(0) == 0) ask(w, QueryKind::PrimaryAttributes);
}

void da2(Writer& w, const Sequence& s) {
    if (single(s) && s.raw(0) == 0) ask(w, QueryKind::SecondaryAttributes);
}

void dsr(Writer& w, const Sequence& s) {
    if (!single(s)) return;
    if (s.leader == '?') {
        if (s.raw(0) == 6) ask(w, QueryKind::ExtendedCursorPosition);
    } else if (s.raw(0) == 5) {
        ask(w, QueryKind::Status);
    } else if (s.raw(0) == 6) {
        ask(w, QueryKind::CursorPosition);
    }
}

void decrqm(Writer& w, const Sequence& s) {
    if (single(s) && s.present(0))
        ask(w, s.leader == '?' ? QueryKind::DecMode : QueryKind::AnsiMode, s.raw(0));
}

void xtversion(Writer& w, const Sequence& s) {
    if (single(s) && s.raw(0) == 0) ask(w, QueryKind::Version);
}

void kittyQuery(Writer& w, const Sequence& s) {
    if (single(s) && !s.present(0)) ask(w, QueryKind::KeyboardFlags);
}

void decrqss(Writer& w, const Sequence& s) {
    if (s.noParams()) ask(w, QueryKind::Setting);
}

void xtgettcap(Writer& w, const Sequence& s) {
    if (s.noParams()) ask(w, QueryKind::Capabilities);
}

void colourQuery(Writer& w, const Sequence& s) {
    int64_t number = s.raw(0);
    if (s.text.empty()) return;
    std::string_view rest = s.oscArgs();
    if (number == 4) {
        size_t next = rest.find(';');
        if (next == std::string_view::npos) return;
        rest = rest.substr(next + 1);
    } else if (number < 10 || number > 19) {
        return;
    }
    if (rest == "?" || rest.starts_with("?;")) ask(w, QueryKind::Color, number);
}


}  // namespace screen
