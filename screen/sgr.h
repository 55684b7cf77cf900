// Select graphic rendition: the parameters of CSI ... m set the pen.
#pragma once

#include <cstdint>
#include <string_view>

#include "screen/grid.h"

namespace screen {

// The pen as one value, which is how graphic rendition works on it: the
// colour bytes in the low 32 bits in the order a cell keeps them (fg, bg,
// fgIndex, bgIndex from the lowest byte up) and the style bits above.
using PenBits = uint64_t;

inline PenBits packPen(Pen pen) {
    return PenBits(Cell::colorBits(pen)) | PenBits(pen.attrs) << 32;
}
inline Pen unpackPen(PenBits bits) {
    return Pen{uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16), uint8_t(bits >> 24),
               uint16_t(bits >> 32)};
}

// What the reset keeps: the colour indexes, which nothing reads unless an
// indexed colour is chosen again. Colours and style go back to defaults.
inline constexpr PenBits kResetKeeps = 0xffff0000;

// The pen after the parameter text of a sequence other than a lone reset.
PenBits applySgrFields(PenBits pen, std::string_view params);

// The pen after a parameter text (digits and ";"). A text with other bytes
// leaves it as it is, as such a sequence is not an ordinary one.
inline PenBits applySgr(PenBits pen, std::string_view params) {
    // A lone reset, "" or "0", is the commonest sequence of all.
    if (params.empty() || (params.size() == 1 && params[0] == '0')) return pen & kResetKeeps;
    return applySgrFields(pen, params);
}

// The same on the grid's pen.
void applySgr(Grid& g, std::string_view params);

}  // namespace screen
