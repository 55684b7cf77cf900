// The front end as users meet it: the real binary, its output and status.
#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/scratch.h"

using testsupport::runKiv;

namespace {

const char* const HelpText =
    "Usage:\n"
    "  kiv [options] [session] [cmd]        # default action: session in background + attach\n"
    "  kiv [options] daemon [session] [cmd]  # start daemon in foreground (name defaults to dir "
    "basename, ~ in homedir)\n"
    "  kiv [options] attach [session]       # attach to a session (default: oldest)\n"
    "  kiv ls                               # list sessions\n"
    "  kiv kill <session>                   # kill daemon and remove socket\n"
    "  kiv send <session> [text...]         # type text (or standard input) into a session\n"
    "\n"
    "Any unambiguous command prefix works: kiv d, kiv at, kiv ne, kiv l, kiv ki, kiv s.\n"
    "KIV_SIZE=latest|smallest|largest: the session's size from its clients' windows.\n"
    "\n"
    "Options:\n"
    "\n"
    "  -d, --detached\n"
    "      start the session in the background without attaching\n"
    "  -l, --listen <host:port>\n"
    "      also listen on TCP; base port: each session takes the next free one\n"
    "  -p, --port <port>\n"
    "      TCP base port, overrides the port in --listen\n"
    "      --log\n"
    "      append to $XDG_DATA_HOME/kiv/kiv-YYYY.log\n"
    "  -r, --read-only\n"
    "      attach as a viewer: keys (but the detach key) and window size are ignored\n"
    "  -D, --detach-others\n"
    "      attaching detaches every other client of the session\n"
    "  -v, --version\n"
    "      show version\n"
    "  -h, --help\n"
    "      show this help\n";

TEST(Frontend, HelpAndVersion) {
    for (auto args : {std::vector<std::string>{"-h"}, {"--help"}, {"-h", "-v"}, {"ls", "-h"}}) {
        auto r = runKiv(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, HelpText);
        EXPECT_EQ(r.err, "");
    }
    for (auto args : {std::vector<std::string>{"-v"}, {"--version"}, {"-v", "kill", "x"}}) {
        auto r = runKiv(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "kiv 0.1.1\n");
    }
}

TEST(Frontend, UsageErrorsEndWithStatusOne) {
    struct Case {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"--bogus"}, "kiv: unknown option: --bogus. usage: kiv --help\n"},
        {{"-h", "--bogus"}, "kiv: unknown option: --bogus. usage: kiv --help\n"},
        {{"-p", "0"}, "kiv: -p out of range (1..65535): 0\n"},
        {{"-l", "nohost"}, "kiv: invalid -l value: listen must be host:port, got: nohost\n"},
        {{"--version=2"}, "kiv: --version does not take a value\n"},
        {{""}, "kiv: ambiguous command:  (daemon, attach, new, ls, kill, send). usage: kiv --help\n"},
    };
    for (const auto& c : cases) {
        auto r = runKiv(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

}  // namespace
