#include "kiv/frontend.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "kiv/cli.h"
#include "kiv/errors.h"

namespace kiv {

namespace {

constexpr const char* UsageText =
    "Usage:\n"
    "  kiv [options] [session] [cmd]        # default action: session in background + attach\n"
    "  kiv [options] daemon [session] [cmd]  # start daemon in foreground (name defaults to dir "
    "basename, ~ in homedir)\n"
    "  kiv [options] attach [session]       # attach to a session (default: oldest)\n"
    "  kiv ls                               # list sessions\n"
    "  kiv kill <session>                   # kill daemon and remove socket\n"
    "\n"
    "Any unambiguous command prefix works: kiv d, kiv at, kiv ne, kiv l, kiv ki.\n"
    "\n"
    "Options:\n";

// A failure the front end reports as "kiv: <message>" with status 1.
struct Fatal {
    std::string message;
};

[[noreturn]] void die(const std::string& message) { throw Fatal{message}; }

void printLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void help() {
    std::string usage = UsageText;
    for (size_t start = 0; start < usage.size();) {
        size_t end = usage.find('\n', start);
        printLine(usage.substr(start, end - start));
        start = end + 1;
    }
    printLine("");
    for (const FlagDoc& doc : FlagDocs) {
        printLine(std::string(doc.option));
        if (!doc.description.empty()) printLine("      " + std::string(doc.description));
    }
}

int dispatch(const std::vector<std::string>& argv) {
    CliArgs cli;
    try {
        cli = parseCliArgs(argv);
    } catch (const UsageError& e) {
        die(e.what());
    }
    if (cli.help) {
        help();
        return 0;
    }
    if (cli.version) {
        printLine(VersionText);
        return 0;
    }

    std::string mode = "new";
    std::vector<std::string> rest = cli.args;
    if (!rest.empty()) {
        std::vector<std::string> matches = matchModes(rest.front());
        if (matches.size() == 1) {
            mode = matches.front();
            rest.erase(rest.begin());
        } else if (matches.size() > 1) {
            std::string joined;
            for (const std::string& m : matches) joined += (joined.empty() ? "" : ", ") + m;
            die("ambiguous command: " + rest.front() + " (" + joined + "). usage: kiv --help");
        }
    }
    die(mode + ": not available yet");
}

}  // namespace

int runMain(const std::vector<std::string>& args) {
    try {
        return dispatch(args);
    } catch (const Fatal& fatal) {
        std::cerr << "kiv: " << fatal.message << std::endl;
        return 1;
    } catch (const Error& e) {
        std::cerr << "Error: unhandled exception: " << e.what() << " [" << e.kind() << "]"
                  << std::endl;
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "Error: unhandled exception: " << e.what() << " [internal]" << std::endl;
        return 1;
    }
}

}  // namespace kiv
