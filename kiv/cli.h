// The command line: options and positional words into CliArgs, command words
// from their prefixes, and the run configuration derived from both.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/config.h"
#include "kiv/errors.h"

namespace kiv {

struct CliArgs {
    std::string listen;  // as typed, already checked by parseListen
    int port = 0;        // 1..65535, 0 when not given
    bool log = false;
    bool detached = false;  // start the session without attaching
    bool version = false;
    bool help = false;
    // For `capture`: colours and attributes (-e), and how many history lines
    // (-S: a number, or "-" for all of them).
    bool escapes = false;
    std::string historyLines;
    bool readOnly = false;
    bool detachOthers = false;
    // Positional words in order; from the session's command word on, every
    // word as typed, options and "--" included (they are the command's own).
    std::vector<std::string> args;
};

inline constexpr std::array<std::string_view, 7> Modes = {"daemon", "attach", "new",
                                                          "ls",     "kill",   "capture", "send"};

struct FlagDoc {
    std::string_view option;
    std::string_view description;
};

inline constexpr std::array<FlagDoc, 10> FlagDocs = {{
    {"  -d, --detached", "start the session in the background without attaching"},
    {"  -l, --listen <host:port>",
     "also listen on TCP; base port: each session takes the next free one"},
    {"  -p, --port <port>", "TCP base port, overrides the port in --listen"},
    {"      --log", "append to $XDG_DATA_HOME/kiv/kiv-YYYY.log"},
    {"  -e", "capture: with colours and attributes"},
    {"  -S <lines>", "capture: also that many history lines, - for all of them"},
    {"  -r, --read-only", "attach as a viewer: keys (but the detach key) and window size are ignored"},
    {"  -D, --detach-others", "attaching detaches every other client of the session"},
    {"  -v, --version", "show version"},
    {"  -h, --help", "show this help"},
}};

// Option keys, the text after the dashes; one or two dashes work for each.
inline constexpr std::array<std::string_view, 2> ListenFlags = {"l", "listen"};
inline constexpr std::array<std::string_view, 2> PortFlags = {"p", "port"};
inline constexpr std::array<std::string_view, 1> LogFlags = {"log"};
inline constexpr std::array<std::string_view, 2> DetachedFlags = {"d", "detached"};
inline constexpr std::array<std::string_view, 2> VersionFlags = {"v", "version"};
inline constexpr std::array<std::string_view, 2> HelpFlags = {"h", "help"};
inline constexpr std::array<std::string_view, 1> EscapesFlags = {"e"};
inline constexpr std::array<std::string_view, 1> HistoryFlags = {"S"};
inline constexpr std::array<std::string_view, 2> ReadOnlyFlags = {"r", "read-only"};
inline constexpr std::array<std::string_view, 2> DetachOthersFlags = {"D", "detach-others"};

// Parses the arguments (program name excluded); raises UsageError at the
// first bad one. Options are read up to the session's command word and no
// further; "--" ends them early.
CliArgs parseCliArgs(const std::vector<std::string>& argv);

// True when the last of `words`, the positional words so far, is the
// session's command word: the word after the session word for the default
// action, `daemon` and `new`; for `send`, the session word, after which
// every word is text. Other modes never have one.
bool endsAtCommandWord(const std::vector<std::string>& words);

int parsePort(std::string_view name, std::string_view value);
bool parseBool(std::string_view name, std::string_view value);

// Builds, without raising, the usage error for a message.
UsageError fail(const std::string& message);

// Every command word that begins with `word`, in table order.
std::vector<std::string> matchModes(std::string_view word);

Config toConfig(const CliArgs& args);

}  // namespace kiv
