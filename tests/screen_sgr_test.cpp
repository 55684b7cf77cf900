#include <gtest/gtest.h>

#include <random>

#include "screen/grid.h"
#include "screen/interpreter.h"
#include "screen/sgr.h"

using namespace screen;

namespace {

// The interpreter reads short parameter lists on its own; the pen must
// come out as applySgr makes it.
TEST(Sgr, InterpreterAgreesWithApplySgr) {
    std::mt19937 rng(5);
    const char* const kParts[] = {"0",
                                  "1",
                                  "2",
                                  "5",
                                  "05",
                                  "38",
                                  "48",
                                  "22",
                                  "31",
                                  "44",
                                  "97",
                                  "107",
                                  "255",
                                  "256",
                                  "16",
                                  "38;2",
                                  "48;2",
                                  "",
                                  "99999999999999999999",
                                  "123456789012345678"};
    for (int i = 0; i < 20000; ++i) {
        std::string p;
        int n = std::uniform_int_distribution<int>(0, 20)(rng);
        for (int k = 0; k < n; ++k) {
            if (k) p += ';';
            p += kParts[std::uniform_int_distribution<size_t>(0, std::size(kParts) - 1)(rng)];
        }
        Pen a;
        Grid b = newGrid();
        applySgr(a, "38;5;77;48;5;99;1");
        feed(b, "\x1b[38;5;77;48;5;99;1m");
        // A parameter of 2^31 or more makes terminals ignore the sequence.
        bool huge = p.find("99999999999999999999") != std::string::npos ||
                    p.find("123456789012345678") != std::string::npos;
        if (!huge) applySgr(a, p);
        // Text after the sequence lets the lane's reader take it.
        feed(b, "\x1b[" + p + (i % 2 ? "m" : "mabcdefgh"));
        // A direct colour's value left behind by a later colour means nothing.
        ASSERT_EQ(normalized(a), normalized(b.state.pen)) << p;
    }
}

// What the interpreter's reader of common sequences makes of "ESC [" text,
// final, then pad: where it found the final byte (-1 when it declined).
long readCommon(const std::string& text, char final, const std::string& pad, Rendition& r) {
    std::string buffer = text + final + pad;
    const char* at = readCommonSgr(buffer.data(), buffer.data() + buffer.size(), r);
    return at ? at - buffer.data() : -1;
}

// The interpreter's reader of common sequences (eight bytes at a time,
// the 256-colour forms whole) either declines or gives what the general
// reader gives, whatever follows; it takes no final byte but "m". And a
// text gives what its groups (a code, or a whole extended colour) give
// one after the other, while other bytes anywhere cancel it all.
TEST(Sgr, ReadersAgree) {
    const char* const kGroups[] = {"",
                                   "0",
                                   "1",
                                   "4",
                                   "05",
                                   "007",
                                   "22",
                                   "31",
                                   "97",
                                   "107",
                                   "44",
                                   "100",
                                   "255",
                                   "1000",
                                   "38;5;9",
                                   "38;5;200",
                                   "48;5;16",
                                   "48;5;",
                                   "38;5;256",
                                   "38;5;0255",
                                   "38;2;1;2;3",
                                   "48;2;;;",
                                   "0000000000000000000001",
                                   "123456789012345678",
                                   "99999999999999999999"};
    // Pieces that are not groups: incomplete colours and the like.
    const char* const kPieces[] = {"38", "48", "5", "2", "38;5", "48;2;1", "38;05;1", ";"};
    const char* const kOther[] = {"1:2", "?", "3<", ">", "=5"};
    const char* const kPads[] = {"mmmmmmmm", "99999999", ";;;;;;;;", "5;1;2;3;", "\x1b[0m\x1b[1m"};
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byte(0, 255), count(1, 6), percent(0, 99);
    auto pick = [&](const auto& list) { return list[size_t(byte(rng)) % std::size(list)]; };
    SgrMemo memo;
    for (int i = 0; i < 40000; ++i) {
        PenBits start =
            packPen(Pen{uint8_t(byte(rng) % 19), uint8_t(byte(rng) % 19), uint8_t(byte(rng)),
                        uint8_t(byte(rng)), uint16_t(byte(rng) & kAllStyles)});
        std::string text;
        PenBits pieces = start;
        bool groups = true, plain = true;
        for (int k = count(rng), first = 1; k > 0; --k, first = 0) {
            std::string group = pick(kGroups);
            int kind = percent(rng);
            if (kind < 2) {
                group = pick(kOther);
                plain = false;
            } else if (kind < 10) {
                group = pick(kPieces);
                groups = false;
            }
            if (!first) text += ';';
            text += group;
            pieces = applySgr(pieces, group);
        }
        Rendition general = renditionOf(text), common;
        long at = readCommon(text, 'm', pick(kPads), common);
        if (at >= 0) {
            ASSERT_EQ(at, long(text.size())) << text;
            ASSERT_EQ(common.apply(start), general.apply(start)) << text;
        }
        // Through the memo, with other bytes after the "m": the same, the
        // first time and again.
        for (int time = 0; time < 2; ++time) {
            std::string buffer = text + 'm' + pick(kPads) + pick(kPads);
            Rendition memoed;
            const char* got = memo.read(buffer.data(), buffer.data() + buffer.size(), memoed);
            ASSERT_EQ(got ? got - buffer.data() : -1, at) << text;
            if (got) {
                ASSERT_EQ(memoed.apply(start), common.apply(start)) << text;
            }
        }
        ASSERT_EQ(readCommon(text, 'H', pick(kPads), common), -1) << text;
        if (groups) {
            ASSERT_EQ(general.apply(start), plain ? pieces : start) << text;
        }
    }
}

}  // namespace
