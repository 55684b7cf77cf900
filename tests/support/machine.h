// A user's machine in a scratch directory, for tests that run the real
// binary as users do: home, runtime, data and config directories, a project
// directory "app", and kiv on the PATH.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/scratch.h"
#include "tests/support/tmux.h"

namespace testsupport {

struct Machine {
    ScratchDir scratch;
    std::string home = scratch / "home";
    std::string app = scratch / "home/src/app";
    std::vector<std::string> env;

    Machine();
    // Stops every daemon this machine started.
    ~Machine();

    // Runs kiv with args in cwd (the project directory by default).
    ProcessResult kiv(const std::vector<std::string>& args, const std::string& cwd = "");
    // Runs a shell command line in the project directory.
    ProcessResult sh(const std::string& commandLine);
    bool waitFile(const std::string& path);
    // Leaves a socket file behind that nobody listens on.
    void deadSocket(const std::string& name);
    // The live sessions' names, sorted.
    std::vector<std::string> sessions();
    bool waitSessions(const std::vector<std::string>& want);
    // A file of the session directory.
    std::string file(const std::string& name) const;
};

// Ctrl-G, typed once the client has the terminal (earlier it would be part
// of a line the client sends on) and has read the keys typed before, then
// waits until the terminal is back in the outer shell's hands.
bool detach(TmuxTerminal& term);

}  // namespace testsupport
