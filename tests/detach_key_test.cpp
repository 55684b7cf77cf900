// The detach key: its setting and the reads of the keyboard that mean it.
#include <gtest/gtest.h>

#include "kiv/detach_key.h"
#include "kiv/errors.h"

using namespace kiv;

namespace {

TEST(DetachKey, Settings) {
    struct Case {
        const char* text;
        std::optional<unsigned char> control;
    } cases[] = {
        {"", 0x07},    {"^G", 0x07}, {"^g", 0x07},   {"^]", 0x1d},
        {"^\\", 0x1c}, {"^A", 0x01}, {"^z", 0x1a},   {"^@", 0x00},
        {"^_", 0x1f},  {"\x1d", 0x1d}, {"none", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseDetachKey(c.text).control, c.control) << c.text;
    for (const char* bad : {"^", "G", "^GG", "^1", "^ ", "ctrl-g", "None", "^`", "^{", "\x7f\x7f"})
        EXPECT_THROW(parseDetachKey(bad), UsageError) << bad;
    try {
        parseDetachKey("C-g");
    } catch (const UsageError& e) {
        EXPECT_STREQ(
            e.what(),
            "invalid KIV_DETACH_KEY: C-g (expected ^X notation such as ^G or ^], or none)");
    }
}

TEST(DetachKey, ReadsThatDetach) {
    DetachKey ctrlG{};
    DetachKey ctrlBracket = parseDetachKey("^]");
    DetachKey off = parseDetachKey("none");
    struct Case {
        const DetachKey& key;
        std::string_view input;
        bool detaches;
    } cases[] = {
        {ctrlG, "\x07", true},
        {ctrlG, "\x1d", false},
        {ctrlBracket, "\x1d", true},
        {ctrlBracket, "\x07", false},
        {off, "\x07", false},
        {off, "\x1b[103;5u", false},
        // Among other bytes (a paste) the key is input.
        {ctrlG, "a\x07", false},
        {ctrlG, std::string_view("\x07\x07", 2), false},
        // The kitty keyboard protocol and xterm's formatOtherKeys.
        {ctrlG, "\x1b[103;5u", true},
        {ctrlBracket, "\x1b[93;5u", true},
        {ctrlBracket, "\x1b[103;5u", false},
        {ctrlG, "\x1b[103;69u", true},    // Caps Lock on
        {ctrlG, "\x1b[103;133u", true},   // Num Lock on
        {ctrlG, "\x1b[103;5:1u", true},   // press, with event types reported
        {ctrlG, "\x1b[103;5:2u", false},  // repeat
        {ctrlG, "\x1b[103;5:3u", false},  // release
        {ctrlG, "\x1b[103:71;5u", true},  // with the shifted key
        {ctrlG, "\x1b[103;6u", false},    // Ctrl+Shift
        {ctrlG, "\x1b[103;7u", false},    // Ctrl+Alt
        {ctrlG, "\x1b[103;1u", false},    // no modifier
        {ctrlG, "\x1b[103u", false},
        {ctrlG, "\x1b[1035;5u", false},
        {ctrlG, "\x1b[103;5ux", false},
        {ctrlG, "\x1b[103;5u\x1b[103;5u", false},
        // xterm's modifyOtherKeys.
        {ctrlG, "\x1b[27;5;103~", true},
        {ctrlBracket, "\x1b[27;5;93~", true},
        {ctrlG, "\x1b[27;5;93~", false},
        {ctrlG, "\x1b[27;6;103~", false},
        {ctrlG, "\x1b[27;5;103", false},
        {ctrlG, "\x1b[27;5;103~~", false},
        {ctrlG, "\x1b[28;5;103~", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isDetachKey(c.key, c.input), c.detaches)
            << testing::PrintToString(std::string(c.input));
}

}  // namespace
