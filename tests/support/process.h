// Running the kiv binary (or any program) from tests and collecting what it
// prints.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int status = -1;  // exit status, or -1 when killed by a signal
    std::string out;
    std::string err;
};

// Runs `argv` with the "NAME=value" entries of `env` added to the current
// environment, stdin from /dev/null, and waits for it.
// Gives up, killing the process, after `timeoutMs`.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}, int timeoutMs = 20000);

// runProcess of the kiv binary under test.
ProcessResult runKiv(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                     int timeoutMs = 20000);

}  // namespace testsupport
