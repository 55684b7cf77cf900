// The screen library: a model of a terminal's screen fed with a program's
// output. It knows nothing of sessions or sockets.
#pragma once

namespace screen {}
