// An escape sequence as the parser (parser.h) reads it: its leader,
// parameters (with colon sub-parameters), intermediates and final byte,
// which together name the control function (see functions.h) and carry its
// arguments. A device control string's head is read the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace screen {

// Parameters past this many are dropped; the sequence still runs.
inline constexpr size_t kMaxParams = 32;
// A parameter this large or larger makes the whole sequence ignored, as
// terminals do; reading saturates there, so no number overflows.
inline constexpr int64_t kParamLimit = int64_t(1) << 31;
// Intermediates past this many make a sequence no function is named by.
inline constexpr size_t kMaxIntermediates = 2;

struct Sequence {
    // Control: a C0 control, its byte the final (a function of the table
    // too, with no arguments). Osc: an operating system command, named by
    // its number (parameter 0).
    enum Kind : uint8_t { Csi, Esc, Dcs, Control, Osc };
    Kind kind = Csi;
    char leader = 0;  // "<", "=", ">" or "?" before the parameters, else 0
    char intermediates[kMaxIntermediates] = {};
    uint8_t intermediateCount = 0;
    char final = 0;
    uint8_t count = 0;           // parameters read (an empty text is one empty parameter)
    uint32_t subs = 0;           // bit i: parameter i follows a ":" (a sub-parameter)
    uint32_t empties = 0;        // bit i: parameter i was empty
    bool tooLarge = false;       // some parameter reached kParamLimit
    bool malformed = false;      // parameter bytes in a place no function accepts
    int32_t values[kMaxParams];  // the first count are set
    // A string function's text once the string has ended: a device control
    // string's body; an operating system command's text after its number,
    // from the ";" on (empty when nothing follows the number).
    std::string_view text;
    // An operating system command's arguments: its text after the ";".
    std::string_view oscArgs() const { return text.substr(text.empty() ? 0 : 1); }

    // Parameter i, 0 when absent or empty.
    int64_t raw(size_t i) const { return i < count ? values[i] : 0; }
    // Parameter i when present and above 0, else dflt (the usual rule for
    // counts and positions).
    int64_t arg(size_t i, int64_t dflt) const {
        return i < count && values[i] > 0 ? values[i] : dflt;
    }
    bool present(size_t i) const { return i < count && !((empties >> i) & 1); }
    bool isSub(size_t i) const { return i < count && ((subs >> i) & 1); }
    // No parameter bytes at all (a lone empty parameter).
    bool noParams() const { return count <= 1 && !present(0) && subs == 0; }
};

// Reads the parameter bytes of a control sequence (0x30..0x3F, after
// "ESC [") into s: the leader, values and sub-parameter marks. A leader
// byte anywhere but first marks the sequence malformed.
void readParams(std::string_view bytes, Sequence& s);

}  // namespace screen
