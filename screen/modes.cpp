#include "screen/modes.h"

#include <algorithm>
#include <string>

#include "screen/queries.h"

namespace screen {

namespace {

void setMouse(Modes& m, MouseTracking kind, bool set) {
    if (set) {
        m.mouse = kind;
    } else if (m.mouse == kind) {
        m.mouse = MouseTracking::Off;
    }
}

}  // namespace

void setAnsiMode(Writer& w, int64_t mode, bool set) {
    if (mode == 4) w.state().modes.insert = set;
}

void setPrivateMode(Writer& w, int64_t mode, bool set) {
    Modes& m = w.state().modes;
    switch (mode) {
        case 1:
            m.cursorKeys = set;
            break;
        case 6:
            m.origin = set;
            w.home();
            break;
        case 7:
            m.autowrap = set;
            if (!set) w.cancelPendingWrap();
            break;
        case 9:
            setMouse(m, MouseTracking::Press, set);
            break;
        case 25:
            m.cursorHidden = !set;
            break;
        case 47:
            set ? w.enterAltScreen(false) : w.leaveAltScreen(false);
            break;
        case 66:
            m.keypad = set;
            break;
        case 1000:
            setMouse(m, MouseTracking::Normal, set);
            break;
        case 1002:
            setMouse(m, MouseTracking::ButtonMotion, set);
            break;
        case 1003:
            setMouse(m, MouseTracking::AnyMotion, set);
            break;
        case 1004:
            m.focusEvents = set;
            break;
        case 1005:
            m.mouseUtf8 = set;
            break;
        case 1006:
            m.mouseSgr = set;
            break;
        case 1015:
            m.mouseUrxvt = set;
            break;
        case 1047:
            set ? w.enterAltScreen(false) : w.leaveAltScreen(false);
            break;
        case 1048:
            set ? w.saveCursor() : w.restoreCursor();
            break;
        case 1049:
            set ? w.enterAltScreen(true) : w.leaveAltScreen(true);
            break;
        case 2004:
            m.bracketedPaste = set;
            break;
        case 2026:
            set ? w.beginUpdate() : w.endUpdate();
            break;
        default:
            break;
    }
}

void setCursorStyle(Writer& w, int64_t style) {
    if (style >= 0 && style <= 6) w.state().modes.cursorStyle = uint8_t(style);
}

void pushKeyboardFlags(Writer& w, int64_t flags) {
    KeyboardFlags& k = w.keyboard();
    if (k.depth == KeyboardFlags::kDepth) {
        // Full: the oldest entry goes.
        std::copy(k.stack.begin() + 1, k.stack.end(), k.stack.begin());
        --k.depth;
    }
    k.stack[size_t(k.depth++)] = uint8_t(std::clamp<int64_t>(flags, 0, 31));
}

void popKeyboardFlags(Writer& w, int64_t n) {
    KeyboardFlags& k = w.keyboard();
    k.depth -= int(std::clamp<int64_t>(n, 1, k.depth));
}

void setKeyboardFlags(Writer& w, int64_t flags, int64_t mode) {
    KeyboardFlags& k = w.keyboard();
    if (k.depth == 0) pushKeyboardFlags(w, 0);
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

void setModifyOtherKeys(Writer& w, int64_t level) {
    w.state().modes.modifyOtherKeys = uint8_t(std::clamp<int64_t>(level, 0, 3));
}

void setTitle(Writer& w, const Sequence& s) {
    if (s.text.empty()) return;
    // A title is one line of text; a runaway one is cut.
    constexpr size_t kMaxTitle = 1024;
    w.state().title.assign(s.oscArgs().substr(0, kMaxTitle));
}

void setColour(Writer& w, const Sequence& s) {
    colourQuery(w, s);
    setColours(w.state().colours, int(s.raw(0)), s.oscArgs());
}

void hyperlink(Writer& w, const Sequence& s) {
    // OSC 8 ; params ; target.
    std::string_view text = s.oscArgs();
    size_t semi = text.find(';');
    if (semi == std::string_view::npos) return;
    std::string_view uri = text.substr(semi + 1);
    w.state().pen.link = uri.empty() ? 0 : w.links().intern(text.substr(0, semi), uri);
}

}  // namespace screen
