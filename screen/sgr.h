// Select graphic rendition: the parameters of CSI ... m set the pen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "screen/grid.h"

namespace screen {

// Applies one parameter text (digits and ";") to the grid's pen.
void applySgr(Grid& g, std::string_view params);

// A parameter the interpreter has already read: up to 18 digits (so the
// value fits), or length 0 for an empty field.
struct SgrField {
    int64_t value;
    uint32_t length;
};
// The same as applySgr for a text whose fields (non-empty text, at most
// 18 digits each) are given.
// Returns the new pen.
Pen applySgrFields(Grid& g, const SgrField* fields, size_t count);

}  // namespace screen
