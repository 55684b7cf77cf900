// Feeds megabytes of random and mutated escape-heavy bytes, cut into random
// chunks, and checks after every chunk what must always hold
// (fuzz/screen_invariants.h), the last 64 lines of each screen one by one.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fuzz/screen_invariants.h"
#include "screen/interpreter.h"
#include "screen/render.h"
#include "screen/terminal.h"

using namespace screen;

namespace {

const std::vector<std::string> kFragments = {
    "\x1b[",
    "\x1b]",
    "\x1bP",
    "\x1b_",
    "\x1b\\",
    "\x1b",
    "\x07",
    "\x18",
    "\x1a",
    "\r\n",
    "\n",
    "\r",
    "\t",
    "\b",
    "\x0b",
    "\x0c",
    "\x7f",
    std::string(1, '\0'),
    "?",
    ";",
    ":",
    ">",
    "<",
    "=",
    " ",
    "$",
    "1",
    "0",
    "24",
    "80",
    "999",
    "99999999999999999999",
    "9223372036854775807",
    "-1",
    "m",
    "H",
    "f",
    "J",
    "K",
    "r",
    "L",
    "M",
    "@",
    "P",
    "X",
    "S",
    "T",
    "d",
    "`",
    "A",
    "B",
    "C",
    "D",
    "E",
    "F",
    "G",
    "s",
    "u",
    "h",
    "l",
    "?1049h",
    "?1049l",
    "?1047h",
    "?1047l",
    "?1048h",
    "?1048l",
    "?2026h",
    "?2026l",
    "\x1b[?2026h",
    "\x1b[?2026l",
    "\x1b[?1049h",
    "\x1b[?1049l",
    "\x1b"
    "7",
    "\x1b"
    "8",
    "\x1b"
    "D",
    "\x1b"
    "E",
    "\x1bM",
    "\x1b(0",
    "\x1b(B",
    "\x1b(",
    "38;5;",
    "48;5;",
    "38;2;",
    "\xe4\xb8\xad",
    "\xf0\x9f\x98\x80",
    "\xcc\x81",
    "\xe4",
    "\xf0\x9f",
    "\xc3",
    "\xff",
    "\x9b",
    "hello world ",
    "0123456789abcdefghijklmnopqrstuvwxyz",
    "\x1b[31;1m",
    "\x1b[0m",
    "\x1b[2J",
    "\x1b[H",
    "\x1b[K",
    "\x1b[44m",
    "\x1b[5;10r",
    "\x1b[r",
    "\x1b[999;999H",
    // Whole strings, a title and a device control string, to be cut.
    "\x1b]0;title\x07",
    "\x1bP1$r\x1b\\",
};

std::string randomStream(std::mt19937& rng, size_t bytes) {
    std::string s;
    std::uniform_int_distribution<size_t> pick(0, kFragments.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255), choice(0, 99);
    while (s.size() < bytes) {
        int c = choice(rng);
        if (c < 70) {
            s += kFragments[pick(rng)];
        } else if (c < 85) {
            s += char(byte(rng));
        } else {
            s += std::string(size_t(choice(rng)), char('a' + c % 26));
        }
    }
    return s;
}

void mutate(std::mt19937& rng, std::string& s) {
    std::uniform_int_distribution<size_t> at(0, s.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t i = 0; i < s.size() / 50; ++i)
        s[at(rng)] = char(byte(rng));
}

TEST(Fuzz, RandomAndMutatedStreams) {
    std::mt19937 rng(20260);
    std::uniform_int_distribution<size_t> chunkSize(1, 4096);
    std::uniform_int_distribution<int> percent(0, 99);
    const int64_t sizes[][2] = {{80, 24}, {1, 1}, {0, 0}, {120, 40}, {5, 0}, {0, 5}, {3, 70000}};
    size_t total = 0;
    for (int round = 0; total < 3'000'000; ++round) {
        const int64_t* size = sizes[size_t(round) % std::size(sizes)];
        Terminal t(size[0], size[1], 50);
        std::string stream = randomStream(rng, 60000);
        if (round % 2) mutate(rng, stream);
        for (size_t pos = 0; pos < stream.size();) {
            size_t n = std::min(chunkSize(rng), stream.size() - pos);
            t.write(std::string_view(stream).substr(pos, n));
            pos += n;
            if (percent(rng) < 3) {
                const int64_t* next = sizes[size_t(percent(rng)) % std::size(sizes)];
                t.resize(next[0], next[1]);
            }
            if (auto broken = brokenInvariant(t.grid(), 64))
                FAIL() << broken->what << " (" << broken->a << ", " << broken->b << "), round "
                       << round << " at byte " << pos;
            if (percent(rng) < 2) {
                EXPECT_FALSE(t.snapshot().empty());
            }
        }
        total += stream.size();
    }
}

// However a stream is cut, the screen ends up the same.
TEST(Fuzz, ChunkingDoesNotMatter) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<size_t> chunkSize(1, 300);
    for (int round = 0; round < 20; ++round) {
        std::string stream = randomStream(rng, 20000);
        if (round % 2) mutate(rng, stream);
        Terminal whole(30, 10, 20), bytes(30, 10, 20), random(30, 10, 20);
        whole.write(stream);
        for (char c : stream)
            bytes.write(std::string_view(&c, 1));
        for (size_t pos = 0; pos < stream.size();) {
            size_t n = std::min(chunkSize(rng), stream.size() - pos);
            random.write(std::string_view(stream).substr(pos, n));
            pos += n;
        }
        ASSERT_EQ(bytes.snapshot(), whole.snapshot()) << round;
        ASSERT_EQ(random.snapshot(), whole.snapshot()) << round;
        ASSERT_EQ(bytes.grid().cursor.col, whole.grid().cursor.col) << round;
        ASSERT_EQ(bytes.grid().cursor.pendingWrap, whole.grid().cursor.pendingWrap) << round;
    }
}

}  // namespace
