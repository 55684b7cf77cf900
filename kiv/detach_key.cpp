#include "kiv/detach_key.h"

#include <cstdlib>
#include <string>

#include "kiv/errors.h"

namespace kiv {

namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// The key a terminal names in its escape-coded reports of Ctrl+key: the
// lower-case letter for ^A..^Z, else the character after the caret ("]" is
// 93 for ^]).
std::optional<int> keyCode(unsigned char control) {
    if (control >= 0x01 && control <= 0x1a) return 'a' + control - 1;
    if (control < 0x20) return control + 0x40;  // ^@ ^\ ^] ^^ ^_
    return std::nullopt;
}

// Reads a decimal number at `at`, moving past it.
std::optional<int> readNumber(std::string_view text, size_t& at) {
    size_t start = at;
    int value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6)
        value = value * 10 + (text[at++] - '0');
    if (at == start) return std::nullopt;
    return value;
}

// A modifier parameter that says Ctrl and nothing else; the lock keys
// (Caps Lock 64, Num Lock 128 in the kitty protocol) do not count.
bool isCtrlOnly(int modifiers) {
    return ((modifiers - 1) & ~(64 | 128)) == 4;
}

// "CSI key[:alternates];modifiers[:event][;text]u" of the kitty keyboard
// protocol, also sent by xterm with formatOtherKeys: only a key press (event
// 1, or none given) of Ctrl and the key.
bool isKittyForm(std::string_view in, int code) {
    size_t at = 2;
    if (readNumber(in, at) != code) return false;
    while (at < in.size() && (in[at] == ':' || (in[at] >= '0' && in[at] <= '9')))
        ++at;  // shifted and base-layout keys
    if (at >= in.size() || in[at++] != ';') return false;
    std::optional<int> modifiers = readNumber(in, at);
    if (!modifiers || !isCtrlOnly(*modifiers)) return false;
    if (at < in.size() && in[at] == ':') {
        ++at;
        if (readNumber(in, at) != 1) return false;  // a repeat or a release
    }
    if (at < in.size() && in[at] == ';') {  // associated text: none for Ctrl+key
        ++at;
        while (at < in.size() && in[at] != 'u')
            ++at;
    }
    return at + 1 == in.size() && in[at] == 'u';
}

// "CSI 27;modifiers;key~" of xterm's modifyOtherKeys.
bool isModifyOtherKeysForm(std::string_view in, int code) {
    size_t at = 2;
    if (readNumber(in, at) != 27 || at >= in.size() || in[at++] != ';') return false;
    std::optional<int> modifiers = readNumber(in, at);
    if (!modifiers || !isCtrlOnly(*modifiers) || at >= in.size() || in[at++] != ';') return false;
    return readNumber(in, at) == code && at + 1 == in.size() && in[at] == '~';
}

// Keys that programs and shells cannot do without: as the detach key, every
// Enter, Escape (in vim), Tab, Backspace or interrupt would detach instead.
struct UnsafeKey {
    unsigned char control;
    const char* name;
};
constexpr UnsafeKey UnsafeKeys[] = {
    {0x0d, "Enter"},     {0x0a, "Enter"}, {0x1b, "Escape"},   {0x09, "Tab"},
    {0x08, "Backspace"}, {0x7f, "Backspace"}, {0x03, "the interrupt key"},
};

DetachKey safeKey(std::string_view text, unsigned char control) {
    for (const UnsafeKey& unsafe : UnsafeKeys)
        if (unsafe.control == control)
            throw UsageError(std::string("refused ") + DetachKeyVar + ": " + std::string(text) +
                             " is " + unsafe.name +
                             ", which every program needs; pick a key nothing uses, such as ^]");
    return DetachKey{control};
}

}  // namespace

DetachKey parseDetachKey(std::string_view text) {
    if (text.empty()) return DetachKey{};
    if (text == "none") return DetachKey{std::nullopt};
    if (text.size() == 1 && isControl(static_cast<unsigned char>(text[0])))
        return safeKey(text, static_cast<unsigned char>(text[0]));
    if (text.size() == 2 && text[0] == '^') {
        unsigned char c = static_cast<unsigned char>(text[1]);
        if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
        if (c == '?') return safeKey(text, 0x7f);
        if (c >= '@' && c <= '_') return safeKey(text, static_cast<unsigned char>(c - '@'));
    }
    throw UsageError(std::string("invalid ") + DetachKeyVar + ": " + std::string(text) +
                     " (expected ^X notation such as ^G or ^], or none)");
}

DetachKey detachKeyFromEnvironment() {
    const char* value = std::getenv(DetachKeyVar);
    return parseDetachKey(value ? value : "");
}

bool isDetachKey(const DetachKey& key, std::string_view input) {
    if (!key.control) return false;
    if (input.size() == 1) return static_cast<unsigned char>(input[0]) == *key.control;
    std::optional<int> code = keyCode(*key.control);
    if (!code || input.size() < 4 || input.substr(0, 2) != "\x1b[") return false;
    return input.back() == 'u' ? isKittyForm(input, *code) : isModifyOtherKeysForm(input, *code);
}

}  // namespace kiv
