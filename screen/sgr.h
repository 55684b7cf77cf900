// Select graphic rendition: the parameters of CSI ... m set the pen.
#pragma once

#include <string_view>

#include "screen/grid.h"

namespace screen {

// Applies one parameter text (digits and ";") to the grid's pen.
void applySgr(Grid& g, std::string_view params);

}  // namespace screen
