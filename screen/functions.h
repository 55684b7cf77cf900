// The table of control functions: what a C0 control, a control sequence or
// an escape sequence does, found by its name (leader, intermediates, final
// byte). A name the table does not hold is ignored and counted, never run
// as another function.
#pragma once

#include "screen/grid.h"
#include "screen/sequence.h"

namespace screen {

using ControlFunction = void (*)(Grid&, const Sequence&);

// Carries out s, or counts it in g.unknownFunctions.
void runControlFunction(Grid& g, const Sequence& s);
// Carries out a C0 control (or DEL); those the table lacks are consumed
// without a trace, as terminals do.
void runControl(Grid& g, uint8_t c0);

}  // namespace screen
