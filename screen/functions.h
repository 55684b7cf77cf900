// Carrying out control functions: what a C0 control, a control sequence or
// an escape sequence does, found by its name (leader, intermediates, final
// byte) in the table (function_table.h). A name the table does not hold is
// ignored and counted, never run as another function.
#pragma once

#include <string_view>

#include "screen/parser.h"
#include "screen/sequence.h"
#include "screen/writer.h"

namespace screen {

// A control function changes the model through the writer.
using ControlFunction = void (*)(Writer&, const Sequence&);

// Carries out s, or counts it in Grid::unknownFunctions.
void runControlFunction(Writer& w, const Sequence& s);
// Carries out a C0 control (or DEL); those the table lacks are consumed
// without a trace, as terminals do.
void runControl(Writer& w, uint8_t c0);
// Carries out a device control string (head: its leader, parameters,
// intermediates and final byte) or an operating system command (named by
// the number its body begins with) once the string has ended whole.
void runString(Writer& w, StringKind kind, const Sequence& head, std::string_view body);

}  // namespace screen
