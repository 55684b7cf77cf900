// The shell completions as the shells run them: commands, options, and the
// names of the sessions running now where a session is expected.
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/scratch.h"
#include "tests/support/tmux.h"

using namespace testsupport;

namespace {

// Two running sessions, "alpha" and "two words", in a private runtime
// directory, and kiv on the PATH.
struct Sessions {
    ScratchDir scratch;
    std::vector<std::string> env;

    Sessions() {
        std::filesystem::create_directories(scratch / "home");
        std::string binDir = std::filesystem::path(KIV_BINARY).parent_path();
        env = {"HOME=" + (scratch / "home"), "XDG_RUNTIME_DIR=" + (scratch / "run"),
               "XDG_STATE_HOME=" + (scratch / "state"), "PATH=" + binDir + ":/usr/bin:/bin", "TERM=xterm-256color"};
        for (const char* name : {"alpha", "two words"})
            EXPECT_EQ(runKiv({"new", name, "/bin/sh", "-c", "sleep 60"}, env).status, 0);
    }
    ~Sessions() {
        for (const char* name : {"alpha", "two words"})
            runKiv({"kill", "--", name}, env);
    }
};

bool have(const char* program) {
    return runProcess({"/bin/sh", "-c", std::string("command -v ") + program}).status == 0;
}

const std::string Completions = KIV_SOURCE_DIR "/completions";

// The words bash offers for the command line `words`, the last one being
// completed, one a line.
std::string bashOffers(const Sessions& s, const std::string& words) {
    std::string script = "source " + Completions + "/kiv.bash; COMP_WORDS=(" + words +
                         "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _kiv; "
                         "printf '%s\\n' \"${COMPREPLY[@]}\" | sort -u";
    return runProcess({"bash", "--norc", "--noprofile", "-c", script}, s.env).out;
}

TEST(Completion, Bash) {
    Sessions s;
    struct Case {
        const char* words;
        const char* offers;
    } cases[] = {
        {"kiv attach ''", "alpha\ntwo\\ words\n"},
        {"kiv at a", "alpha\n"},
        {"kiv -p 7000 kill ''", "alpha\ntwo\\ words\n"},
        {"kiv ''", "alpha\nattach\ncapture\ndaemon\nkill\nls\nnew\nsend\ntwo\\ words\n"},
        {"kiv send a", "alpha\n"},
        {"kiv send alpha -", "\n"},  // text to type, not options
        {"kiv -", "--\n--detach-others\n--detached\n--help\n--listen\n--log\n--port\n--read-only\n--version\n-D\n-S\n-d\n-e\n-h\n-l\n-p\n-r\n-v\n"},
        {"kiv --l", "--listen\n--log\n"},
        {"kiv -l", "-l\n"},
        {"kiv -l ''", "\n"},  // an address: nothing to offer
        {"kiv ls ''", "\n"},
        {"kiv work grep -", "\n"},  // grep's own, not kiv's
        {"kiv work -- -", "\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bashOffers(s, c.words), c.offers) << c.words;
    // The session's command is a program.
    EXPECT_NE(bashOffers(s, "kiv new work gre").find("grep\n"), std::string::npos);
    EXPECT_NE(bashOffers(s, "kiv work gre").find("grep\n"), std::string::npos);
}

TEST(Completion, Fish) {
    if (!have("fish")) GTEST_SKIP() << "fish is not installed";
    Sessions s;
    auto offers = [&](const std::string& line) {
        return runProcess({"fish", "--no-config", "-c",
                           "source " + Completions + "/kiv.fish; complete -C '" + line +
                               "' | cut -f1 | sort"},
                          s.env)
            .out;
    };
    EXPECT_EQ(offers("kiv attach "), "alpha\ntwo words\n");
    EXPECT_EQ(offers("kiv ki "), "alpha\ntwo words\n");
    EXPECT_EQ(offers("kiv --l"), "--listen\n--log\n");
    EXPECT_EQ(offers("kiv ls "), "");
    EXPECT_NE(offers("kiv work gre").find("grep\n"), std::string::npos);
}

TEST(Completion, Zsh) {
    if (!have("zsh") || !tmuxAvailable()) GTEST_SKIP() << "zsh or tmux is not installed";
    Sessions s;
    TmuxTerminal term(s.scratch, s.scratch / "home", s.env, 100, 20);
    term.line("exec zsh -f");
    term.line("fpath=(" + Completions + " $fpath); autoload -U compinit; compinit -u; clear");
    ASSERT_TRUE(term.waitGone("compinit"));
    term.type("kiv attach ");
    term.key("Tab");
    EXPECT_TRUE(term.waitFor("two\\ words")) << term.screen();
    EXPECT_NE(term.screen().find("alpha"), std::string::npos) << term.screen();
}

TEST(Completion, ScriptsParse) {
    EXPECT_EQ(runProcess({"bash", "-n", Completions + "/kiv.bash"}).status, 0);
    if (have("zsh")) {
        EXPECT_EQ(runProcess({"zsh", "-n", Completions + "/_kiv"}).status, 0);
    }
    if (have("fish")) {
        EXPECT_EQ(runProcess({"fish", "-n", Completions + "/kiv.fish"}).status, 0);
    }
}

}  // namespace
