// The front end: what `kiv ...` does with its command line.
#pragma once

#include <string>
#include <vector>

namespace kiv {

inline constexpr const char* VersionText = "kiv 0.1.1";

// Runs the command line (`invocation` is argv[0], `args` the rest) and returns
// the exit status.
// Every failure the front end expects becomes "kiv: <message>" and status 1;
// anything else becomes "Error: unhandled exception: <message> [<kind>]".
int runMain(const std::string& invocation, const std::vector<std::string>& args);

}  // namespace kiv
