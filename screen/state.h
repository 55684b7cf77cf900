// The terminal state that later output and the user's keys depend on, as
// named records (held together by TerminalState, terminal_state.h); the
// coordinate spaces they use are in coordinates.h.
#pragma once

#include <array>
#include <bitset>
#include <compare>
#include <cstdint>

#include "screen/cell.h"
#include "screen/coordinates.h"

namespace screen {

// The widest row any input can make, and the most screen rows: when no
// size is set, and the largest size accepted.
inline constexpr int64_t kMaxColumns = 4096;
inline constexpr int64_t kMaxRows = 4096;

// Where the next character goes.
struct Cursor {
    LineIndex row{0};
    Column col = 0;
    // The last character went into the last column; the next printable
    // character first moves to a new line.
    bool pendingWrap = false;
    bool operator==(const Cursor&) const = default;
};

// The character sets G0 and G1 designate (ESC ( and ESC )), and which of
// them is in use (SO selects G1, SI G0 again).
enum class Charset : uint8_t { Ascii, LineDrawing, British };

struct Charsets {
    Charset g0 = Charset::Ascii;
    Charset g1 = Charset::Ascii;
    bool shifted = false;  // SO is in force
    Charset active() const { return shifted ? g1 : g0; }
    bool operator==(const Charsets&) const = default;
};

// What ESC 7 (and CSI s) saves and ESC 8 (CSI u) brings back. A terminal
// that has saved nothing restores this default: home, default pen.
struct SavedCursor {
    ScreenRow row;
    Column col = 0;
    bool pendingWrap = false;
    Pen pen;
    Charsets charsets;
    bool originMode = false;
    bool operator==(const SavedCursor&) const = default;
};

// The scroll region as line indexes; top and bottom both 0: none set.
struct Margins {
    LineIndex top{0};
    LineIndex bottom{0};
    bool operator==(const Margins&) const = default;
};

// Which mouse events the program asked for (?9, ?1000, ?1002, ?1003).
enum class MouseTracking : uint8_t { Off, Press, Normal, ButtonMotion, AnyMotion };

// The kitty keyboard protocol's stack of enhancement flags (CSI > flags u
// pushes, CSI < n u pops, CSI = flags ; mode u changes the top). Terminals
// keep a few entries and drop the oldest beyond that.
struct KeyboardFlags {
    static constexpr int kDepth = 8;
    std::array<uint8_t, kDepth> stack{};
    int depth = 0;
    uint8_t current() const { return depth > 0 ? stack[size_t(depth - 1)] : 0; }
    bool operator==(const KeyboardFlags&) const = default;
};

// Tab stops: every eighth column until a program sets its own (HTS, TBC);
// a new width brings the default back, as terminals do on a resize.
struct TabStops {
    std::bitset<kMaxColumns> stops = defaults();
    static std::bitset<kMaxColumns> defaults() {
        std::bitset<kMaxColumns> b;
        for (size_t c = 8; c < kMaxColumns; c += 8)
            b.set(c);
        return b;
    }
    bool isDefault() const { return stops == defaults(); }
    bool operator==(const TabStops&) const = default;
};

// The modes a program sets with SM/RM, DECSET/DECRST and their kin, in two
// parts: those that outlast a soft reset (DECSTR), and the rest.
//
// A soft reset keeps what the program arranged with the terminal it runs
// on, as terminals do: how the mouse, focus changes, pastes and modified
// keys are to be reported, and the cursor's style. A program that resets
// its output (after another left it in a mess) still reads input the way
// it asked for.
struct LastingModes {
    uint8_t cursorStyle = 0;      // DECSCUSR, 0: the terminal's default
    bool bracketedPaste = false;  // ?2004
    bool focusEvents = false;     // ?1004
    MouseTracking mouse = MouseTracking::Off;
    bool mouseUtf8 = false;       // ?1005
    bool mouseSgr = false;        // ?1006
    bool mouseUrxvt = false;      // ?1015
    uint8_t modifyOtherKeys = 0;  // CSI > 4 ; n m
    bool operator==(const LastingModes&) const = default;
};

struct Modes : LastingModes {
    bool cursorHidden = false;  // ?25 reset
    bool insert = false;        // IRM (CSI 4 h)
    bool origin = false;        // DECOM (?6)
    bool autowrap = true;       // DECAWM (?7)
    bool cursorKeys = false;    // DECCKM (?1): application cursor keys
    bool keypad = false;        // DECKPAM (ESC =) / DECKPNM (ESC >)
    bool operator==(const Modes&) const = default;
};

}  // namespace screen
