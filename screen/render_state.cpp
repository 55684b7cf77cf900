#include "screen/render_state.h"

#include <algorithm>
#include <optional>

#include "screen/render.h"

namespace screen {

namespace {

void csi(std::string& out, const char* text) {
    out += "\x1b[";
    out += text;
}

void privateMode(std::string& out, int mode, bool set) {
    out += "\x1b[?";
    appendNumber(out, mode);
    out += set ? 'h' : 'l';
}

char designator(Charset c) {
    switch (c) {
        case Charset::LineDrawing:
            return '0';
        case Charset::British:
            return 'A';
        case Charset::Ascii:
            break;
    }
    return 'B';
}

// Designates G0 and G1 and selects one, from the terminal's defaults.
void appendCharsets(std::string& out, const Charsets& c) {
    if (c.g0 != Charset::Ascii) {
        out += "\x1b(";
        out += designator(c.g0);
    }
    if (c.g1 != Charset::Ascii) {
        out += "\x1b)";
        out += designator(c.g1);
    }
    if (c.shifted) out += '\x0e';
}

void resetCharsets(std::string& out) {
    out += "\x1b(B\x1b)B\x0f";
}

void pushKeyboard(std::string& out, const KeyboardFlags& k) {
    for (int i = 0; i < k.depth; ++i) {
        out += "\x1b[>";
        appendNumber(out, k.stack[size_t(i)]);
        out += 'u';
    }
}

void popKeyboard(std::string& out, int pushes) {
    if (pushes == 0) return;
    out += "\x1b[<";
    appendNumber(out, pushes);
    out += 'u';
}

int mouseMode(MouseTracking m) {
    switch (m) {
        case MouseTracking::Press:
            return 9;
        case MouseTracking::Normal:
            return 1000;
        case MouseTracking::ButtonMotion:
            return 1002;
        case MouseTracking::AnyMotion:
            return 1003;
        case MouseTracking::Off:
            break;
    }
    return 0;
}

ScreenRow regionTopRow(const Grid& g) {
    return screenView(g).row(g.margins.top);
}

// The last screen row of lines that holds a visible character, if any.
std::optional<ScreenRow> lastTextRow(const Lines& lines, int64_t height) {
    const ScreenView view{screenTop(lines, height)};
    std::string text;
    for (LineIndex i = lines.end() - 1; i >= view.top; --i) {
        text.clear();
        lines.appendText(i, text);
        if (text.find_first_not_of(' ') != std::string::npos) return view.row(i);
    }
    return std::nullopt;
}

}  // namespace

namespace {

// 1049 on the client's terminal saves what the program's terminal saved:
// puts its parts in force (no region is set yet, so origin mode addresses
// the whole screen) for the switch that follows.
void appendBefore1049(std::string& out, const SavedCursor& m) {
    if (m.originMode) privateMode(out, 6, true);
    appendCursorPosition(out, m.row.value + 1, m.col + 1);
    appendSgr(out, m.pen);
    appendCharsets(out, m.charsets);
}

// ... and takes them back out after it.
void appendAfter1049(std::string& out, const SavedCursor& m) {
    if (m.originMode) privateMode(out, 6, false);
    if (m.charsets != Charsets()) resetCharsets(out);
    out += "\x1b[0m";
}

}  // namespace

void appendAltScreenEntry(std::string& out, const Grid& g) {
    const std::optional<SavedCursor>& saved = mainScreen(g).savedBy1049;
    if (saved) appendBefore1049(out, *saved);
    if (g.hiddenMain) pushKeyboard(out, g.hiddenMain->keyboard);
    privateMode(out, 1049, true);
    if (saved) appendAfter1049(out, *saved);
    out += "\x1b[0m";
}

void appendMainCursorSaved(std::string& out, const Grid& g) {
    const std::optional<SavedCursor>& saved = g.screen.savedBy1049;
    if (altShown(g) || !saved) return;
    // A program that leaves the alternate screen again (it may not know it
    // left already) gets this cursor back: the client's terminal saves it
    // by a switch there and back.
    appendBefore1049(out, *saved);
    privateMode(out, 1049, true);
    privateMode(out, 1049, false);
    appendAfter1049(out, *saved);
}

namespace {

// The cursor stands outside the scroll region in origin mode, where CUP
// cannot put it (it addresses the region's rows then): only restoring a
// saved cursor leaves it there.
bool outsideOriginRegion(const Grid& g) {
    if (!g.state.modes.origin || !regionActive(g)) return false;
    auto [top, bottom] = scrollBounds(g);
    return g.cursor.row < top || g.cursor.row > bottom;
}

// ESC 7 on the client's terminal saves this cursor: its parts are put in
// force, saved, and taken back out. No region is set yet, so that origin
// mode addresses the whole screen and any row can be saved.
void appendSaved(std::string& out, ScreenRow row, Column col, const Pen& pen,
                 const Charsets& charsets, bool origin) {
    if (origin) privateMode(out, 6, true);
    appendCursorPosition(out, row.value + 1, col + 1);
    appendSgr(out, pen);
    appendCharsets(out, charsets);
    out +=
        "\x1b"
        "7";
    if (origin) privateMode(out, 6, false);
    resetCharsets(out);
    out += "\x1b[0m";
}

}  // namespace

bool cursorPlacedByRestore(const Grid& g) {
    return outsideOriginRegion(g) && !g.cursor.pendingWrap && !g.state.savedCursor;
}

void appendStateBeforeCursor(std::string& out, const Grid& g) {
    if (g.state.savedCursor) {
        const SavedCursor& s = *g.state.savedCursor;
        appendSaved(out, s.row, s.col, s.pen, s.charsets, s.originMode);
    } else if (cursorPlacedByRestore(g)) {
        // The program has not saved a cursor, so the slot can carry the
        // cursor itself past the region that is set next.
        appendSaved(out, screenView(g).row(g.cursor.row), g.cursor.col, Pen(), Charsets(), true);
    }
    if (regionActive(g)) {
        const ScreenView view = screenView(g);
        auto [t, b] = scrollBounds(g);
        out += "\x1b[";
        appendNumber(out, view.row(t).value + 1);
        out += ';';
        appendNumber(out, view.row(b).value + 1);
        out += 'r';
    }
    if (!g.state.tabs.isDefault()) {
        csi(out, "3g");
        for (int64_t c = 1; c < columnLimit(g); ++c) {
            if (!g.state.tabs.stops.test(size_t(c))) continue;
            appendCursorPosition(out, 1, c + 1);
            out += "\x1bH";
        }
    }
    if (g.state.modes.origin) privateMode(out, 6, true);
}

int64_t cursorRowAddressed(const Grid& g) {
    int64_t row = screenView(g).row(g.cursor.row).value;
    if (g.state.modes.origin && regionActive(g)) row -= regionTopRow(g).value;
    return std::max<int64_t>(row, 0) + 1;
}

void appendStateAfterCursor(std::string& out, const Grid& g) {
    const Modes& m = g.state.modes;
    if (normalized(g.state.pen) != Pen()) appendSgr(out, g.state.pen);
    // A hyperlink still open goes on linking what the program writes next.
    if (std::string_view link = g.links ? g.links->text(g.state.pen.link) : ""; !link.empty()) {
        out += "\x1b]8;";
        out += link;
        out += "\x1b\\";
    }
    appendCharsets(out, g.state.charsets);
    if (m.cursorKeys) privateMode(out, 1, true);
    if (m.keypad) out += "\x1b=";
    if (m.bracketedPaste) privateMode(out, 2004, true);
    if (m.focusEvents) privateMode(out, 1004, true);
    if (int mouse = mouseMode(m.mouse)) privateMode(out, mouse, true);
    if (m.mouseUtf8) privateMode(out, 1005, true);
    if (m.mouseSgr) privateMode(out, 1006, true);
    if (m.mouseUrxvt) privateMode(out, 1015, true);
    if (!m.autowrap) privateMode(out, 7, false);
    if (m.insert) csi(out, "4h");
    pushKeyboard(out, g.screen.keyboard);
    if (m.modifyOtherKeys) {
        csi(out, ">4;");
        appendNumber(out, m.modifyOtherKeys);
        out += 'm';
    }
    appendColours(out, g.state.colours);
    if (!g.state.title.empty()) {
        out += "\x1b]2;";
        out += g.state.title;
        out += '\x07';
    }
    if (m.cursorStyle) {
        out += "\x1b[";
        appendNumber(out, m.cursorStyle);
        out += " q";
    }
    if (m.cursorHidden) privateMode(out, 25, false);
}

LeavingState leavingState(const Grid& g) {
    LeavingState s;
    s.keyboardPushes = g.screen.keyboard.depth;
    s.alternateScreen = altShown(g);
    if (g.hiddenMain) s.mainKeyboardPushes = g.hiddenMain->keyboard.depth;
    s.modifyOtherKeys = g.state.modes.modifyOtherKeys != 0;
    if (!g.state.tabs.isDefault()) s.tabColumns = columnLimit(g);
    s.linkOpen = g.state.pen.link != 0;
    s.cursorStyled = g.state.modes.cursorStyle != 0;
    s.colours = g.state.colours;
    const Lines& lines = mainScreen(g).lines;
    const std::optional<ScreenRow> lastText = lastTextRow(lines, g.height);
    s.lastTextRow = lastText ? lastText->value : -1;
    s.cursorRow = screenView(g).row(g.cursor.row).value;
    if (g.hiddenMain && g.hiddenMain->savedBy1049)
        s.cursorRow = g.hiddenMain->savedBy1049->row.value;
    return s;
}

std::string leavingSequence(const LeavingState& s) {
    std::string out;
    // An update the program left open would keep the terminal's display
    // held (until a timeout, where there is one).
    privateMode(out, 2026, false);
    popKeyboard(out, s.keyboardPushes);
    if (s.alternateScreen) {
        privateMode(out, 1049, false);
        popKeyboard(out, s.mainKeyboardPushes);
    }
    // Input modes off, whatever the model thinks: they are what makes keys
    // and clicks type garbage into the user's shell.
    for (int mode : {9, 1000, 1002, 1003, 1005, 1006, 1015, 1004, 2004, 1})
        privateMode(out, mode, false);
    out += "\x1b>";
    if (s.modifyOtherKeys) csi(out, ">4;0m");
    csi(out, "4l");
    privateMode(out, 6, false);
    privateMode(out, 7, true);
    csi(out, "r");
    if (s.tabColumns > 0) {
        csi(out, "3g");
        for (int64_t c = 8; c < s.tabColumns; c += 8) {
            appendCursorPosition(out, 1, c + 1);
            out += "\x1bH";
        }
    }
    resetCharsets(out);
    csi(out, "0m");
    // A hyperlink left open would link everything the user types next.
    if (s.linkOpen) out += "\x1b]8;;\x1b\\";
    if (s.cursorStyled) csi(out, "0 q");
    privateMode(out, 25, true);
    // The user's own colours back, where the program changed them.
    appendColourReset(out, s.colours);
    // The cursor on a line of its own below the session's text, so that
    // the user's prompt does not overwrite any of it.
    if (s.cursorRow > s.lastTextRow) {
        appendCursorPosition(out, s.cursorRow + 1, 1);
    } else {
        appendCursorPosition(out, s.lastTextRow + 1, 1);
        out += "\r\n";
    }
    return out;
}

}  // namespace screen
