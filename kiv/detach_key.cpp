#include "kiv/detach_key.h"

#include <cstdlib>
#include <string>

#include "kiv/errors.h"
#include "screen/parser.h"

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

// A modifier parameter that says Ctrl and nothing else; the lock keys
// (Caps Lock 64, Num Lock 128 in the kitty protocol) do not count.
bool isCtrlOnly(int64_t modifiers) {
    return ((modifiers - 1) & ~(64 | 128)) == 4;
}

// "CSI key[:alternates];modifiers[:event][;text]u" of the kitty keyboard
// protocol, also sent by xterm with formatOtherKeys: only a key press (event
// 1, or none given) of Ctrl and the key.
bool isKittyForm(const screen::Sequence& s, int code) {
    if (s.final != 'u' || !s.present(0) || s.raw(0) != code) return false;
    size_t i = 1;
    while (s.isSub(i))
        ++i;  // shifted and base-layout keys
    if (i >= s.count || !s.present(i) || !isCtrlOnly(s.raw(i))) return false;
    ++i;
    if (s.isSub(i)) {
        if (s.raw(i) != 1) return false;  // a repeat or a release
        ++i;
    }
    // Then at most the associated text (none for Ctrl+key, but some send it).
    return i == s.count || !s.isSub(i);
}

// "CSI 27;modifiers;key~" of xterm's modifyOtherKeys.
bool isModifyOtherKeysForm(const screen::Sequence& s, int code) {
    return s.final == '~' && s.count == 3 && s.subs == 0 && s.present(0) && s.raw(0) == 27 &&
           s.present(1) && isCtrlOnly(s.raw(1)) && s.present(2) && s.raw(2) == code;
}

// One read of the keyboard as the parser reads it: whether it is one
// control sequence and nothing else, and that sequence.
struct KeyReport {
    screen::Sequence sequence{};
    int sequences = 0;
    bool other = false;

    void print(std::string_view) { other = true; }
    void execute(uint8_t) { other = true; }
    void escDispatch(const screen::Sequence&) { other = true; }
    void csiDispatch(const screen::Sequence& s) {
        sequence = s;
        ++sequences;
    }
    void stringBegin(screen::StringKind, const screen::Sequence&) { other = true; }
    void stringPut(std::string_view) {}
    void stringEnd(bool) {}
};

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
    if (!code) return false;
    screen::Parser<KeyReport> parser;
    KeyReport report;
    parser.feed(input, report);
    const screen::Sequence& s = report.sequence;
    if (report.other || report.sequences != 1 || !parser.inGround() || s.leader != 0 ||
        s.intermediateCount != 0 || s.malformed || s.tooLarge)
        return false;
    return isKittyForm(s, *code) || isModifyOtherKeysForm(s, *code);
}

}  // namespace kiv
