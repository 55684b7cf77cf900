// The attach client's tracker of the terminal state against the screen
// model, fed the same output: leaving must undo the same things, and put
// the cursor where the model puts it or, where erasing within a row leaves
// the tracker unsure of the text, lower; never on a row that holds text.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kiv/terminal_tracker.h"
#include "screen/parser.h"
#include "screen/render_state.h"
#include "screen/terminal.h"
#include "tests/support/recordings.h"

namespace {

// What the user's terminal shows, as the client saw it before (a model of
// the whole screen, without history) and as it sees it now.
struct Both {
    screen::Terminal model;
    kiv::TerminalTracker tracker;
    screen::Parser<kiv::TerminalTracker> parser;

    Both(int64_t cols, int64_t rows) : model(cols, rows, 0), tracker(cols, rows) {
        model.resize(cols, rows);
    }
    void write(std::string_view bytes) {
        model.write(bytes);
        parser.feed(bytes, tracker);
    }
    void resize(int64_t cols, int64_t rows) {
        model.resize(cols, rows);
        tracker.resize(cols, rows);
    }
};

// The row the leaving sequence puts the cursor on.
int64_t finalRow(const screen::LeavingState& s) {
    return s.cursorRow > s.lastTextRow ? s.cursorRow : s.lastTextRow + 1;
}

// Empty when they agree; exact: the text rows too.
std::string disagreement(const Both& b, bool exact) {
    screen::LeavingState want = screen::leavingState(b.model.grid());
    screen::LeavingState got = b.tracker.leaving();
    std::string out;
    auto field = [&](const char* name, auto w, auto g) {
        if (w != g) out += std::string(name) + " " + std::to_string(g) + " (model " + std::to_string(w) + ") ";
    };
    field("keyboard", want.keyboardPushes, got.keyboardPushes);
    field("alternate", want.alternateScreen, got.alternateScreen);
    field("main keyboard", want.mainKeyboardPushes, got.mainKeyboardPushes);
    field("modifyOtherKeys", want.modifyOtherKeys, got.modifyOtherKeys);
    field("tabs", want.tabColumns, got.tabColumns);
    field("link", want.linkOpen, got.linkOpen);
    field("cursor style", want.cursorStyled, got.cursorStyled);
    field("colours", want.colours == got.colours, true);
    field("cursor row", want.cursorRow, got.cursorRow);
    if (exact) {
        field("last text row", want.lastTextRow, got.lastTextRow);
    } else if (got.lastTextRow < want.lastTextRow) {
        field("last text row below the model's", want.lastTextRow, got.lastTextRow);
    }
    return out;
}

std::string printable(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == 0x1b) {
            out += "\\e";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

// Real programs' output, cut anywhere: exactly the model's answers all along.
TEST(TerminalTracker, FollowsRecordedProgramsExactly) {
    for (const testsupport::Recording& r : testsupport::kRecordings) {
        std::string bytes = testsupport::recordingBytes(r);
        ASSERT_FALSE(bytes.empty()) << r.name;
        Both b(r.cols, r.rows);
        for (size_t pos = 0; pos < bytes.size(); pos += 97) {
            b.write(std::string_view(bytes).substr(pos, 97));
            std::string d = disagreement(b, true);
            ASSERT_EQ(d, "") << r.name << " after " << pos + 97 << " bytes";
        }
    }
}

// Random streams of what moves the cursor, scrolls, erases, switches
// screens and sets what leaving undoes, with resizes among them.
TEST(TerminalTracker, AgreesWithTheModelOnRandomStreams) {
    const std::vector<std::string> fragments = {
        "abc", "wxyz  ", "   ", "\xe4\xb8\x96", "e\xcc\x81", "\xe2\x9d\xa4\xef\xb8\x8f",
        std::string(100, 'x'), "\r", "\n", "\b", "\t", "\x0b", "\x1b[5;10r", "\x1b[r",
        "\x1b[2;99r", "\x1b[?6h", "\x1b[?6l", "\x1b[?7l", "\x1b[?7h", "\x1b[4h", "\x1b[4l",
        "\x1b[H", "\x1b[10;5H", "\x1b[3A", "\x1b[2B", "\x1b[5C", "\x1b[4D", "\x1b[2E", "\x1b[F",
        "\x1b[20G", "\x1b[7d", "\x1b[K", "\x1b[1K", "\x1b[2K", "\x1b[J", "\x1b[1J", "\x1b[2J",
        "\x1b[3J", "\x1b[2L", "\x1b[M", "\x1b[3P", "\x1b[2@", "\x1b[4X", "\x1b[2S", "\x1b[T",
        "\x1b[5b", "\x1b" "7", "\x1b" "8", "\x1b[s", "\x1b[u", "\x1b" "D", "\x1b" "E", "\x1bM",
        "\x1bH", "\x1b[g", "\x1b[3g", "\x1b[2I", "\x1b[Z", "\x1b#8", "\x1b" "c", "\x1b[!p",
        "\x1b[?47h", "\x1b[?47l", "\x1b[?1047h", "\x1b[?1047l", "\x1b[?1048h", "\x1b[?1048l",
        "\x1b[?1049h", "\x1b[?1049l", "\x1b[?1049;25h", "\x1b[>1u", "\x1b[<u", "\x1b[<9u",
        "\x1b[=5u", "\x1b[>4;2m", "\x1b[>4;0m", "\x1b[3 q", "\x1b[0 q", "\x1b]8;;http://x\x1b\\",
        "\x1b]8;;\x07", "\x1b]4;1;#ff0000\x07", "\x1b]104\x07", "\x1b]11;#102030\x1b\\",
        "\x1b]111\x07", "\x1b]2;title\x07", "\x1b[31;44m", "\x1b[0m", "\x1b(0", "\x1b(B",
        "\x0e", "\x0f", "\x1b[99;99H", "\x1b[12;1H", "\x1b[24;80H", "\x1b[1;2;99999999999H",
        "\x1b[4:3m", "\x1b[?5W",
    };
    std::mt19937 random(20261210);
    int inexact = 0;
    for (int stream = 0; stream < 3000; ++stream) {
        Both b(40, 12);
        std::string written;
        for (int i = 0; i < 40; ++i) {
            // (How far down a program wrote the alternate screen is not
            // tracked, which decides where a resize leaves its cursor.)
            if (random() % 60 == 0 && !b.model.alternateScreen()) {
                int64_t cols = 10 + int64_t(random() % 60), rows = 3 + int64_t(random() % 20);
                b.resize(cols, rows);
                written += "<resize " + std::to_string(cols) + "x" + std::to_string(rows) + ">";
                continue;
            }
            const std::string& f = fragments[random() % fragments.size()];
            written += f;
            // Cut anywhere, now and then.
            size_t cut = random() % 3 == 0 ? random() % (f.size() + 1) : f.size();
            b.write(std::string_view(f).substr(0, cut));
            b.write(std::string_view(f).substr(cut));
        }
        std::string d = disagreement(b, false);
        ASSERT_EQ(d, "") << printable(written);
        inexact += disagreement(b, true) != "";
        // Never on a row that still holds text.
        EXPECT_GE(finalRow(b.tracker.leaving()), finalRow(screen::leavingState(b.model.grid())));
    }
    // Unsure only now and then.
    EXPECT_LT(inexact, 60) << inexact << " of 3000 streams left the cursor lower than needed";
}

}  // namespace
