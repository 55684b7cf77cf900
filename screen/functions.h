// The table of control functions: what a C0 control, a control sequence or
// an escape sequence does, found by its name (leader, intermediates, final
// byte). A name the table does not hold is ignored and counted, never run
// as another function.
#pragma once

#include <string_view>

#include "screen/grid.h"
#include "screen/parser.h"
#include "screen/sequence.h"

namespace screen {

using ControlFunction = void (*)(Grid&, const Sequence&);

// Carries out s, or counts it in g.unknownFunctions.
void runControlFunction(Grid& g, const Sequence& s);
// Carries out a C0 control (or DEL); those the table lacks are consumed
// without a trace, as terminals do.
void runControl(Grid& g, uint8_t c0);
// Carries out a device control string (head: its leader, parameters,
// intermediates and final byte) or an operating system command (named by
// the number its body begins with) once the string has ended whole.
void runString(Grid& g, StringKind kind, const Sequence& head, std::string_view body);

}  // namespace screen
