#include "screen/modes.h"

#include <algorithm>
#include <string>

#include "screen/editing.h"
#include "screen/params.h"
#include "screen/queries.h"

namespace screen {

namespace {

// DECOM set or reset, and DECSTBM, put the cursor at the home position:
// the top margin in origin mode, the top of the screen otherwise.
void homeCursor(Grid& g) {
    g.cursor.row = g.state.modes.origin && regionActive(g) ? scrollBounds(g).first : screenTop(g);
    g.cursor.col = 0;
    g.cursor.pendingWrap = false;
    ensureRow(g, g.cursor.row);
}

void setMouse(Grid& g, MouseTracking kind, bool set) {
    if (set) {
        g.state.modes.mouse = kind;
    } else if (g.state.modes.mouse == kind) {
        g.state.modes.mouse = MouseTracking::Off;
    }
}

}  // namespace

void setAnsiMode(Grid& g, int64_t mode, bool set) {
    if (mode == 4) g.state.modes.insert = set;
}

void setPrivateMode(Grid& g, int64_t mode, bool set) {
    switch (mode) {
        case 1:
            g.state.modes.cursorKeys = set;
            break;
        case 6:
            g.state.modes.origin = set;
            homeCursor(g);
            break;
        case 7:
            g.state.modes.autowrap = set;
            // A wrap no longer pending leaves the cursor on the last
            // column, not past it.
            if (!set && g.cursor.pendingWrap) {
                g.cursor.pendingWrap = false;
                g.cursor.col = std::min(g.cursor.col, columnLimit(g) - 1);
            }
            break;
        case 9:
            setMouse(g, MouseTracking::Press, set);
            break;
        case 25:
            g.state.modes.cursorHidden = !set;
            break;
        case 47:
            set ? enterAltScreen(g, false) : leaveAltScreen(g, false);
            break;
        case 66:
            g.state.modes.keypad = set;
            break;
        case 1000:
            setMouse(g, MouseTracking::Normal, set);
            break;
        case 1002:
            setMouse(g, MouseTracking::ButtonMotion, set);
            break;
        case 1003:
            setMouse(g, MouseTracking::AnyMotion, set);
            break;
        case 1004:
            g.state.modes.focusEvents = set;
            break;
        case 1005:
            g.state.modes.mouseUtf8 = set;
            break;
        case 1006:
            g.state.modes.mouseSgr = set;
            break;
        case 1015:
            g.state.modes.mouseUrxvt = set;
            break;
        case 1047:
            set ? enterAltScreen(g, false) : leaveAltScreen(g, false);
            break;
        case 1048:
            set ? saveCursor(g) : restoreCursor(g);
            break;
        case 1049:
            set ? enterAltScreen(g, true) : leaveAltScreen(g, true);
            break;
        case 2004:
            g.state.modes.bracketedPaste = set;
            break;
        case 2026:
            // A begin inside an open update neither restarts it nor
            // extends it.
            if (set && !g.syncActive) {
                g.syncActive = true;
                g.syncBegan = g.now;
            } else if (set) {
                addWarning(g, "nested DEC 2026 sync begin");
            } else if (g.syncActive) {
                g.syncActive = false;
            } else {
                addWarning(g, "DEC 2026 sync end without begin");
            }
            break;
        default:
            break;
    }
}

void setModes(Grid& g, std::string_view params, bool isPrivate, bool set) {
    size_t start = 0;
    while (start <= params.size()) {
        size_t semi = params.find(';', start);
        if (semi == std::string_view::npos) semi = params.size();
        if (std::optional<int64_t> mode = readDecimal(params.substr(start, semi - start)))
            isPrivate ? setPrivateMode(g, *mode, set) : setAnsiMode(g, *mode, set);
        start = semi + 1;
    }
}

void setCursorStyle(Grid& g, int64_t style) {
    if (style >= 0 && style <= 6) g.state.modes.cursorStyle = uint8_t(style);
}

void pushKeyboardFlags(Grid& g, int64_t flags) {
    KeyboardFlags& k = g.screen.keyboard;
    if (k.depth == KeyboardFlags::kDepth) {
        // Full: the oldest entry goes.
        std::copy(k.stack.begin() + 1, k.stack.end(), k.stack.begin());
        --k.depth;
    }
    k.stack[size_t(k.depth++)] = uint8_t(std::clamp<int64_t>(flags, 0, 31));
}

void popKeyboardFlags(Grid& g, int64_t n) {
    g.screen.keyboard.depth -= int(std::clamp<int64_t>(n, 1, g.screen.keyboard.depth));
}

void setKeyboardFlags(Grid& g, int64_t flags, int64_t mode) {
    KeyboardFlags& k = g.screen.keyboard;
    if (k.depth == 0) pushKeyboardFlags(g, 0);
    uint8_t& top = k.stack[size_t(k.depth - 1)];
    uint8_t f = uint8_t(std::clamp<int64_t>(flags, 0, 31));
    if (mode == 2) {
        top |= f;
    } else if (mode == 3) {
        top &= uint8_t(~f);
    } else {
        top = f;
    }
}

void setModifyOtherKeys(Grid& g, int64_t level) {
    g.state.modes.modifyOtherKeys = uint8_t(std::clamp<int64_t>(level, 0, 3));
}

void setTitle(Grid& g, const Sequence& s) {
    if (s.text.empty()) return;
    // A title is one line of text; a runaway one is cut.
    constexpr size_t kMaxTitle = 1024;
    g.state.title.assign(s.oscArgs().substr(0, kMaxTitle));
}

void setColour(Grid& g, const Sequence& s) {
    colourQuery(g, s);
    setColours(g.state.colours, int(s.raw(0)), s.oscArgs());
}

void hyperlink(Grid& g, const Sequence& s) {
    // OSC 8 ; params ; target.
    std::string_view text = s.oscArgs();
    size_t semi = text.find(';');
    if (semi == std::string_view::npos) return;
    std::string_view uri = text.substr(semi + 1);
    g.state.pen.link = uri.empty() ? 0 : g.links->intern(text.substr(0, semi), uri);
}

void softReset(Grid& g) {
    g.state.softReset();
    g.margins = Margins();
    // A wrap no longer pending leaves the cursor on the last column, not
    // past it.
    if (g.cursor.pendingWrap) g.cursor.col = std::min(g.cursor.col, columnLimit(g) - 1);
    g.cursor.pendingWrap = false;
}

void fullReset(Grid& g) {
    leaveAltScreen(g, false);
    g.state.fullReset();
    g.margins = Margins();
    // The main screen keeps its lines (the history stays), nothing else.
    Lines lines = std::move(g.screen.lines);
    g.screen = ScreenBuffer();
    g.screen.lines = std::move(lines);
    g.cursor = Cursor{screenTop(g), 0, false};
    eraseDisplay(g, 2);
    g.cursor = Cursor{screenTop(g), 0, false};
}

}  // namespace screen
