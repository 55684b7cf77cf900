#include <sys/socket.h>

#include <gtest/gtest.h>

#include "kiv/cli.h"
#include "kiv/config.h"
#include "kiv/integer.h"

using namespace kiv;

namespace {

std::string parseError(const std::vector<std::string>& argv) {
    try {
        parseCliArgs(argv);
    } catch (const UsageError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(Integer, Syntax) {
    struct Case {
        const char* text;
        std::optional<int64_t> value;
    } cases[] = {
        {"0", 0},
        {"8000", 8000},
        {"+12", 12},
        {"-7", -7},
        {"8_000", 8000},
        {"80_", 80},
        {"1__2", 12},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"_1", std::nullopt},
        {"+_1", std::nullopt},
        {"1x", std::nullopt},
        {" 1", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(readInteger(c.text), c.value) << c.text;
    EXPECT_THROW(
        {
            try {
                parseInteger("x");
            } catch (const UsageError& e) {
                EXPECT_STREQ(e.what(), "invalid integer: x");
                throw;
            }
        },
        UsageError);
}

TEST(CliArgs, EmptyCommandLine) {
    CliArgs a = parseCliArgs({});
    EXPECT_TRUE(a.listen.empty());
    EXPECT_EQ(a.port, 0);
    EXPECT_FALSE(a.log || a.version || a.help);
    EXPECT_TRUE(a.args.empty());
}

TEST(CliArgs, PortSpellings) {
    std::vector<std::vector<std::string>> forms = {
        {"-p", "8000"},    {"-p=8000"},  {"--port", "8000"}, {"--port=8000"},
        {"-port", "8000"}, {"--p=8000"}, {"--port=8_000"},
    };
    for (const auto& form : forms)
        EXPECT_EQ(parseCliArgs(form).port, 8000) << form[0];
    EXPECT_EQ(parseCliArgs({"--port=8_080"}).port, 8080);
}

TEST(CliArgs, PositionalWordsAndOptionsMix) {
    CliArgs a = parseCliArgs({"-", "--log", "-v", "", "work"});
    EXPECT_EQ(a.args, (std::vector<std::string>{"-", "", "work"}));
    EXPECT_TRUE(a.log);
    EXPECT_TRUE(a.version);
}

// Options are kiv's up to the session's command word; from there on every
// word is the command's, however it looks.
TEST(CliArgs, CommandWordsAreTheCommands) {
    struct Case {
        std::vector<std::string> argv;
        std::vector<std::string> args;
        const char* listen;
        int port;
        bool log;
    } cases[] = {
        {{"notes", "vim", "notes.txt"}, {"notes", "vim", "notes.txt"}, "", 0, false},
        {{"hh", "htop", "-p", "16789"}, {"hh", "htop", "-p", "16789"}, "", 0, false},
        {{"work", "grep", "-l", "foo"}, {"work", "grep", "-l", "foo"}, "", 0, false},
        {{"w", "printf", "", "--log", "-", "--", "-h"},
         {"w", "printf", "", "--log", "-", "--", "-h"},
         "",
         0,
         false},
        {{"new", "w", "sh", "-c", "x"}, {"new", "w", "sh", "-c", "x"}, "", 0, false},
        {{"daemon", "w", "sh", "--log"}, {"daemon", "w", "sh", "--log"}, "", 0, false},
        {{"n", "w", "sh", "-p", "1"}, {"n", "w", "sh", "-p", "1"}, "", 0, false},
        // Before the command word options are read as they always were.
        {{"--log", "-p", "9000", "work", "sh"}, {"work", "sh"}, "", 9000, true},
        {{"work", "--log", "sh", "--log=no"}, {"work", "sh", "--log=no"}, "", 0, true},
        {{"new", "--log", "w", "-p", "1", "sh"}, {"new", "w", "sh"}, "", 1, true},
        {{"htop", "--log"}, {"htop"}, "", 0, true},
        // Commands without a session command read options everywhere.
        {{"attach", "w", "-l", "127.0.0.1:7000"}, {"attach", "w"}, "127.0.0.1:7000", 0, false},
        {{"kill", "w", "--log"}, {"kill", "w"}, "", 0, true},
        {{"ls", "x", "y", "--log"}, {"ls", "x", "y"}, "", 0, true},
        // "--" ends the options; a later "--" is a word like any other.
        {{"--"}, {}, "", 0, false},
        {{"--", "-odd", "sh"}, {"-odd", "sh"}, "", 0, false},
        {{"work", "--", "-x", "--"}, {"work", "-x", "--"}, "", 0, false},
        {{"--log", "--", "--log"}, {"--log"}, "", 0, true},
        {{"daemon", "--", "w", "sh", "--", "x"}, {"daemon", "w", "sh", "--", "x"}, "", 0, false},
        {{"attach", "--", "-w"}, {"attach", "-w"}, "", 0, false},
    };
    for (const Case& c : cases) {
        CliArgs a = parseCliArgs(c.argv);
        EXPECT_EQ(a.args, c.args) << c.argv[0] << " " << c.argv.size();
        EXPECT_EQ(a.listen, c.listen) << c.argv[0];
        EXPECT_EQ(a.port, c.port) << c.argv[0];
        EXPECT_EQ(a.log, c.log) << c.argv[0];
    }
    // Help still wins where it was read, and never where it is the command's.
    EXPECT_TRUE(parseCliArgs({"ls", "-h"}).help);
    EXPECT_FALSE(parseCliArgs({"w", "man", "-h"}).help);
    EXPECT_FALSE(parseCliArgs({"w", "sh", "-v"}).version);
    // A bad option after the command word is not kiv's to refuse.
    EXPECT_EQ(parseError({"w", "sh", "--bogus", "-p", "x"}), "(no error)");
    EXPECT_EQ(parseError({"w", "--bogus", "sh"}), "unknown option: --bogus. usage: kiv --help");
}

TEST(CliArgs, Values) {
    EXPECT_FALSE(parseCliArgs({"--log=OFF"}).log);
    EXPECT_TRUE(parseCliArgs({"--log=Yes"}).log);
    EXPECT_TRUE(parseCliArgs({"-log"}).log);
    EXPECT_TRUE(parseCliArgs({"--h"}).help);
    EXPECT_TRUE(parseCliArgs({"-version"}).version);
    EXPECT_EQ(parseCliArgs({"-l", "127.0.0.1:7000"}).listen, "127.0.0.1:7000");
    EXPECT_EQ(parseCliArgs({"--l=::1:7000"}).listen, "::1:7000");
    // An empty next argument is an (empty) value, not a missing one.
    EXPECT_EQ(parseError({"-p", ""}), "-p expects a port number, got: ");
    // The last of a repeated option wins.
    EXPECT_EQ(parseCliArgs({"-p", "1", "--port=2"}).port, 2);
    CliArgs logThenWord = parseCliArgs({"--log", "work"});
    EXPECT_TRUE(logThenWord.log);
    EXPECT_EQ(logThenWord.args, std::vector<std::string>{"work"});
}

TEST(CliArgs, ErrorMessages) {
    struct Case {
        std::vector<std::string> argv;
        const char* message;
    } cases[] = {
        {{"-p8000"}, "unknown option: -p8000. usage: kiv --help"},
        {{"--bogus=1"}, "unknown option: --bogus=1. usage: kiv --help"},
        {{"-=x"}, "invalid option: -=x"},
        {{"--=x"}, "invalid option: --=x"},
        {{"-p", "-1"}, "-p expects a value (use -p=<value> if the value starts with '-')"},
        {{"--listen"},
         "--listen expects a value (use --listen=<value> if the value starts with '-')"},
        {{"-p=-1"}, "-p out of range (1..65535): -1"},
        {{"--port=0"}, "--port out of range (1..65535): 0"},
        {{"--port", "65536"}, "--port out of range (1..65535): 65536"},
        {{"--port="}, "--port expects a port number, got: "},
        {{"-port", "http"}, "-port expects a port number, got: http"},
        {{"--log=maybe"}, "--log expects true/false, got: maybe"},
        {{"--log="}, "--log expects true/false, got: "},
        {{"--help=1"}, "--help does not take a value"},
        {{"-v="}, "-v does not take a value"},
        {{"-h", "--bogus"}, "unknown option: --bogus. usage: kiv --help"},
        {{"-l", ":7000"}, "invalid -l value: listen host missing"},
        {{"-l", "127.0.0.1"}, "invalid -l value: listen must be host:port, got: 127.0.0.1"},
        {{"-l", "127.0.0.1:x"}, "invalid -l value: invalid integer: x"},
        {{"-l", "127.0.0.1:0"}, "invalid -l value: listen port out of range: 0"},
        {{"--listen", "localhost:7000"}, "invalid --listen value: invalid IPv4 address: localhost"},
        {{"--listen=::g:1"}, "invalid --listen value: invalid IPv6 address: ::g"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseError(c.argv), c.message) << c.argv[0];
}

TEST(CliArgs, ParseBoolWords) {
    for (const char* yes : {"1", "on", "YES", "True"})
        EXPECT_TRUE(parseBool("--log", yes));
    for (const char* no : {"0", "no", "OFF", "false"})
        EXPECT_FALSE(parseBool("--log", no));
    EXPECT_THROW(parseBool("--log", "2"), UsageError);
}

TEST(MatchModes, Prefixes) {
    EXPECT_EQ(matchModes(""),
              (std::vector<std::string>{"daemon", "attach", "new", "ls", "kill", "capture", "send"}));
    EXPECT_EQ(matchModes("c"), std::vector<std::string>{"capture"});
    EXPECT_EQ(matchModes("s"), std::vector<std::string>{"send"});
    EXPECT_EQ(matchModes("k"), std::vector<std::string>{"kill"});
    EXPECT_EQ(matchModes("at"), std::vector<std::string>{"attach"});
    EXPECT_TRUE(matchModes("x").empty());
    EXPECT_TRUE(matchModes("lsx").empty());
}

TEST(ToConfig, Table) {
    struct Case {
        std::vector<std::string> argv;
        const char* listen;
    } cases[] = {
        {{}, ""},
        // A port alone stays on loopback.
        {{"-p", "9000"}, "127.0.0.1:9000"},
        {{"-l", "127.0.0.1:7000"}, "127.0.0.1:7000"},
        {{"-l", "127.0.0.1:7000", "-p", "9000"}, "127.0.0.1:9000"},
        {{"-l", "0.0.0.0:7000", "-p", "9000"}, "0.0.0.0:9000"},
        {{"-l", "::1:7000", "-p", "9000"}, "::1:9000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(toConfig(parseCliArgs(c.argv)).listen, c.listen);
    EXPECT_TRUE(toConfig(parseCliArgs({"--log"})).log);
}

TEST(ParseListen, Addresses) {
    ListenAddr v4 = parseListen("127.0.0.1:7000");
    EXPECT_EQ(v4.family, AF_INET);
    EXPECT_EQ(v4.port, 7000);
    EXPECT_EQ(addressText(v4), "127.0.0.1");

    ListenAddr v6 = parseListen("::1:7000");
    EXPECT_EQ(v6.family, AF_INET6);
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.port, 7000);
    EXPECT_EQ(parseListen("fe80::1:2:3:65535").port, 65535);
    EXPECT_EQ(addressText(parseListen("0:0:0:0:0:0:0:1:80")), "::1");

    for (const char* bad : {"1.2.3:80", "1.2.3.256:80", "01.2.3.4x:80", "example.com:80",
                            "[::1]:80", "1.2.3.4 :80", "::::80"})
        EXPECT_THROW(parseListen(bad), UsageError) << bad;
    EXPECT_THROW(parseListen(std::string("1.2.3.4\0x:80", 11)), UsageError);
}

}  // namespace
