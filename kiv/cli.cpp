#include "kiv/cli.h"

#include <algorithm>
#include <optional>

#include "kiv/integer.h"

namespace kiv {

namespace {

template <size_t N>
bool isKey(const std::array<std::string_view, N>& table, std::string_view key) {
    return std::find(table.begin(), table.end(), key) != table.end();
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

UsageError fail(const std::string& message) {
    return UsageError(message);
}

int parsePort(std::string_view name, std::string_view value) {
    auto number = readInteger(value);
    if (!number)
        throw fail(std::string(name) + " expects a port number, got: " + std::string(value));
    if (*number < 1 || *number > 65535)
        throw fail(std::string(name) + " out of range (1..65535): " + std::string(value));
    return static_cast<int>(*number);
}

bool parseBool(std::string_view name, std::string_view value) {
    std::string lower(value);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower == "1" || lower == "yes" || lower == "true" || lower == "on") return true;
    if (lower == "0" || lower == "no" || lower == "false" || lower == "off") return false;
    throw fail(std::string(name) + " expects true/false, got: " + std::string(value));
}

bool endsAtCommandWord(const std::vector<std::string>& words) {
    if (words.empty()) return false;
    std::vector<std::string> modes = matchModes(words.front());
    if (modes.empty()) return words.size() == 2;  // session word, command word
    if (modes.size() == 1 && (modes.front() == "daemon" || modes.front() == "new"))
        return words.size() == 3;  // mode, session word, command word
    // Every word after the session's name is text to type, however it looks.
    if (modes.size() == 1 && modes.front() == "send") return words.size() == 2;
    return false;
}

CliArgs parseCliArgs(const std::vector<std::string>& argv) {
    CliArgs out;
    bool optionsEnded = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        if (arg == "--" && !optionsEnded) {
            optionsEnded = true;
            continue;
        }
        std::string_view body;
        std::string dashes;
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            out.args.push_back(arg);
            // The command's arguments are its own, however they look: in
            // "kiv hh htop -p 16789" the "-p" is htop's.
            if (endsAtCommandWord(out.args)) {
                out.args.insert(out.args.end(), argv.begin() + static_cast<long>(i) + 1,
                                argv.end());
                break;
            }
            continue;
        }
        if (startsWith(arg, "--")) {
            body = std::string_view(arg).substr(2);
            dashes = "--";
        } else {
            body = std::string_view(arg).substr(1);
            dashes = "-";
        }

        std::string_view key = body;
        std::optional<std::string> inlineValue;
        if (size_t eq = body.find('='); eq != std::string_view::npos) {
            key = body.substr(0, eq);
            inlineValue = std::string(body.substr(eq + 1));
        }
        if (key.empty()) throw fail("invalid option: " + arg);
        std::string name = dashes + std::string(key);

        auto takeValue = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= argv.size() || (!argv[i + 1].empty() && argv[i + 1][0] == '-'))
                throw fail(name + " expects a value (use " + name +
                           "=<value> if the value starts with '-')");
            return argv[++i];
        };

        if (isKey(ListenFlags, key)) {
            std::string value = takeValue();
            try {
                parseListen(value);
            } catch (const UsageError& e) {
                throw fail("invalid " + name + " value: " + e.what());
            }
            out.listen = value;
        } else if (isKey(PortFlags, key)) {
            std::string value = takeValue();
            out.port = parsePort(name, value);
        } else if (isKey(LogFlags, key)) {
            out.log = inlineValue ? parseBool(name, *inlineValue) : true;
        } else if (isKey(DetachedFlags, key)) {
            if (inlineValue) throw fail(name + " does not take a value");
            out.detached = true;
        } else if (isKey(EscapesFlags, key)) {
            if (inlineValue) throw fail(name + " does not take a value");
            out.escapes = true;
        } else if (isKey(HistoryFlags, key)) {
            // "-" (all) and tmux's negative counts start with a dash.
            if (!inlineValue && i + 1 < argv.size() && startsWith(argv[i + 1], "-")) inlineValue = argv[i + 1], ++i;
            std::string value = takeValue();
            std::string_view digits = value;
            if (value != "-") {
                if (startsWith(digits, "-")) digits.remove_prefix(1);
                auto number = readInteger(digits);
                if (!number || *number < 0 || startsWith(digits, "+") || startsWith(digits, "-"))
                    throw fail(name + " expects a number of lines or -, got: " + value);
                value = std::to_string(*number);
            }
            out.historyLines = value;
        } else if (isKey(VersionFlags, key) || isKey(HelpFlags, key) ||
                   isKey(ReadOnlyFlags, key) || isKey(DetachOthersFlags, key)) {
            if (inlineValue) throw fail(name + " does not take a value");
            (isKey(VersionFlags, key)    ? out.version
             : isKey(HelpFlags, key)     ? out.help
             : isKey(ReadOnlyFlags, key) ? out.readOnly
                                         : out.detachOthers) = true;
        } else {
            throw fail("unknown option: " + arg + ". usage: kiv --help");
        }
    }
    return out;
}

std::vector<std::string> matchModes(std::string_view word) {
    std::vector<std::string> matches;
    for (std::string_view mode : Modes)
        if (startsWith(mode, word)) matches.emplace_back(mode);
    return matches;
}

Config toConfig(const CliArgs& args) {
    Config config;
    config.log = args.log;
    config.readOnly = args.readOnly;
    config.detachOthers = args.detachOthers;
    if (args.listen.empty()) {
        // A bare port listens on loopback only: TCP attach is guarded by
        // nothing but the session name, so exposing a shell on every
        // interface must be asked for explicitly (-l 0.0.0.0:P).
        if (args.port != 0) config.listen = "127.0.0.1:" + std::to_string(args.port);
    } else if (args.port == 0) {
        config.listen = args.listen;
    } else {
        config.listen =
            args.listen.substr(0, args.listen.rfind(':')) + ":" + std::to_string(args.port);
    }
    return config;
}

}  // namespace kiv
