// Fuzz target for the command line: the words of an argument list (the
// input cut at NUL bytes, as the kernel hands them over) through the
// parser, the run configuration and the listen address.
//
// Every failure must be a usage error; what parses must hold together: a
// listen address that was accepted parses again, so does the configuration
// derived from it, and an address written out in its standard form reads
// back as the same address.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/cli.h"
#include "kiv/config.h"
#include "kiv/errors.h"
#include "kiv/integer.h"

namespace {

[[noreturn]] void fault(const char* what, const std::string& detail) {
    std::fprintf(stderr, "command line invariant broken: %s: %s\n", what, detail.c_str());
    std::abort();
}

void require(bool ok, const char* what, const std::string& detail = "") {
    if (!ok) fault(what, detail);
}

// The integer syntax read the slow way: a sign, a digit, then digits and
// underscores, in a wider type.
std::optional<int64_t> referenceInteger(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    __int128 value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] == '_') continue;
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > (__int128(1) << 64)) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < INT64_MIN || value > INT64_MAX) return std::nullopt;
    return int64_t(value);
}

void checkListen(const std::string& spec) {
    kiv::ListenAddr a;
    try {
        a = kiv::parseListen(spec);
    } catch (const kiv::UsageError&) {
        return;
    }
    require(a.port >= 1 && a.port <= 65535, "listen port out of range", spec);
    require(!a.host.empty(), "listen host empty", spec);
    std::string again = kiv::addressText(a) + ":" + std::to_string(a.port);
    kiv::ListenAddr b;
    try {
        b = kiv::parseListen(again);
    } catch (const kiv::UsageError& e) {
        fault("standard form of a listen address is refused", again + ": " + e.what());
    }
    require(a.family == b.family && a.addr == b.addr && a.port == b.port,
            "standard form reads as another address", spec + " -> " + again);
}

void checkArgs(const std::vector<std::string>& words) {
    kiv::CliArgs args;
    try {
        args = kiv::parseCliArgs(words);
    } catch (const kiv::UsageError& e) {
        require(std::string_view(e.what()).size() > 0, "empty usage message");
        return;
    }
    require(args.port >= 0 && args.port <= 65535, "port out of range", std::to_string(args.port));
    require(args.args.size() <= words.size(), "more positional words than words");
    if (!args.listen.empty()) {
        try {
            kiv::parseListen(args.listen);
        } catch (const kiv::UsageError& e) {
            fault("accepted --listen value does not parse", args.listen + ": " + e.what());
        }
    }
    kiv::Config config = kiv::toConfig(args);
    require(config.log == args.log, "log lost");
    if (config.listen.empty()) {
        require(args.listen.empty() && args.port == 0, "listening lost");
        return;
    }
    kiv::ListenAddr a;
    try {
        a = kiv::parseListen(config.listen);
    } catch (const kiv::UsageError& e) {
        fault("configuration's listen address does not parse", config.listen + ": " + e.what());
    }
    if (args.port != 0) require(a.port == args.port, "port not carried", config.listen);
    for (const std::string& w : args.args) {
        for (const std::string& m : kiv::matchModes(w))
            require(m.compare(0, w.size(), w) == 0, "mode does not start with the word", w);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words;
    for (size_t from = 0;;) {
        size_t nul = input.find('\0', from);
        words.emplace_back(input.substr(from, nul == std::string_view::npos ? nul : nul - from));
        if (nul == std::string_view::npos) break;
        from = nul + 1;
    }
    checkArgs(words);
    for (const std::string& w : words) {
        checkListen(w);
        require(kiv::readInteger(w) == referenceInteger(w), "integer read differently", w);
    }
    return 0;
}
