// The front end as users meet it: the real binary, its output and status.
#include <cctype>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "kiv/cli.h"
#include "tests/support/errors.h"
#include "tests/support/process.h"
#include "tests/support/scratch.h"

using testsupport::runKiv;

namespace {

TEST(Frontend, HelpAndVersion) {
    std::string help = runKiv({"-h"}).out;
    for (auto args : {std::vector<std::string>{"--help"}, {"-h", "-v"}, {"ls", "-h"}}) {
        auto r = runKiv(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, help);
        EXPECT_EQ(r.err, "");
    }
    for (auto args : {std::vector<std::string>{"-v"}, {"--version"}, {"-v", "kill", "x"}}) {
        auto r = runKiv(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "kiv 0.1.1\n");
    }
}

// The command words and options a document shows.
struct Vocabulary {
    std::set<std::string> words, options;
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The lines from the first that starts with `from` up to (not with) the
// next that starts with `to`.
std::vector<std::string> section(const std::string& text, const std::string& from,
                                 const std::string& to) {
    std::vector<std::string> out;
    bool inside = false;
    for (const std::string& line : linesOf(text)) {
        if (inside && line.rfind(to, 0) == 0) break;
        if (!inside && line.rfind(from, 0) == 0) inside = true;
        if (inside) out.push_back(line);
    }
    return out;
}

void addOptions(Vocabulary& v, const std::string& text) {
    static const std::regex option(R"((?:^|[ ,`\[|])(--?[a-zA-Z][a-z-]*)(?=$|[ ,`\]=|]))");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
        v.options.insert((*it)[1]);
}

// A usage line's lower-case words are command words, but for the names of
// what the user fills in.
void addUsage(Vocabulary& v, const std::string& line) {
    std::istringstream in(line);
    for (std::string token; in >> token;) {
        std::erase_if(token, [](char c) { return c == '[' || c == ']' || c == '.'; });
        static const std::set<std::string> placeholders = {
            "kiv", "options", "session", "cmd", "arg", "command", "argument", "lines", "text"};
        if (std::regex_match(token, std::regex("[a-z]+")) && !placeholders.count(token))
            v.words.insert(token);
    }
    addOptions(v, line);
}

// A usage line of the help or the README ends where two blanks begin its
// description.
std::string withoutDescription(const std::string& line) {
    return line.substr(0, line.find("  "));
}

Vocabulary helpVocabulary(const std::string& help) {
    Vocabulary v;
    for (const std::string& line : section(help, "Usage:", "Options:"))
        if (line.rfind("  kiv ", 0) == 0) addUsage(v, withoutDescription(line.substr(2)));
    for (const std::string& line : section(help, "Options:", "(none)"))
        if (line.rfind("  -", 0) == 0 || line.rfind("      -", 0) == 0) addOptions(v, line);
    return v;
}

Vocabulary readmeVocabulary(const std::string& readme) {
    Vocabulary v;
    for (const std::string& line : section(readme, "## Usage", "Any unambiguous"))
        if (line.rfind("    kiv ", 0) == 0) addUsage(v, withoutDescription(line.substr(4)));
    for (const std::string& line : section(readme, "Options:", "Sessions live")) {
        static const std::regex quoted("`([^`]*)`");
        for (std::sregex_iterator it(line.begin(), line.end(), quoted), end; it != end; ++it)
            addOptions(v, (*it)[1]);
    }
    return v;
}

Vocabulary manualVocabulary(std::string manual) {
    manual = std::regex_replace(manual, std::regex(R"(\\-)"), "-");
    manual = std::regex_replace(manual, std::regex(R"(\\f[BIRP])"), "");
    Vocabulary v;
    std::string usage;
    for (const std::string& line : section(manual, ".SH SYNOPSIS", ".SH DESCRIPTION")) {
        if (line == ".br") {
            addUsage(v, usage);
            usage.clear();
        } else if (line.rfind(".B", 0) == 0 || line.rfind(".RI", 0) == 0) {
            usage += std::regex_replace(line.substr(line.find(' ') + 1), std::regex("\""), "") + " ";
        }
    }
    addUsage(v, usage);
    bool item = false;
    for (const std::string& line : section(manual, ".SH OPTIONS", ".SH DETACHING")) {
        if (item) addOptions(v, std::regex_replace(line.substr(line.find(' ') + 1),
                                                   std::regex("\""), ""));
        item = line == ".TP";
    }
    return v;
}

std::string sourceFile(const std::string& name) {
    return testsupport::readFile(std::string(KIV_SOURCE_DIR) + "/" + name);
}

// The help, the manual and the README show the same command words and
// options, those the parser knows; the help tells how to detach.
TEST(Frontend, HelpManualAndReadmeAgree) {
    std::string helpText = runKiv({"--help"}).out;
    Vocabulary help = helpVocabulary(helpText);
    Vocabulary readme = readmeVocabulary(sourceFile("README.md"));
    Vocabulary manual = manualVocabulary(sourceFile("doc/kiv.1"));

    EXPECT_EQ(help.words, std::set<std::string>(kiv::Modes.begin(), kiv::Modes.end()));
    EXPECT_EQ(readme.words, help.words);
    EXPECT_EQ(manual.words, help.words);
    EXPECT_EQ(readme.options, help.options);
    EXPECT_EQ(manual.options, help.options);

    // Every option the help shows is one the parser knows, and every
    // one-letter option the parser knows is in the help.
    auto known = [](const std::string& option) {
        std::string error = testsupport::errorOf<kiv::UsageError>(
            [&] { kiv::parseCliArgs({option, "127.0.0.1:7000"}); });
        return error.rfind("unknown option", 0) != 0;
    };
    for (const std::string& option : help.options)
        EXPECT_TRUE(known(option)) << option;
    for (char c = 'A'; c <= 'z'; ++c) {
        std::string option = std::string("-") + c;
        if (std::isalpha(static_cast<unsigned char>(c)) && known(option)) {
            EXPECT_TRUE(help.options.count(option)) << option << " is not in the help";
        }
    }

    for (const char* must : {"Ctrl-G", "KIV_DETACH_KEY", "[cmd [arg...]]"})
        EXPECT_NE(helpText.find(must), std::string::npos) << must;
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
        {{""}, "kiv: ambiguous command:  (daemon, attach, new, ls, kill, capture, send). usage: kiv --help\n"},
    };
    for (const auto& c : cases) {
        auto r = runKiv(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

}  // namespace
