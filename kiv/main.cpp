#include <csignal>
#include <string>
#include <vector>

#include "kiv/frontend.h"

int main(int argc, char** argv) {
    // Writes to a peer that went away must fail with EPIPE, not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    return kiv::runMain(argc > 0 ? argv[0] : "", args);
}
