// The terminal state: the functions that set it, the snapshot that puts a
// client's terminal into it, and the bytes that take a terminal out of it.
//
// The snapshot is checked by round trip: a program's output A, then B. The
// program's own terminal sees A + B; a client that attaches after A sees
// snapshot(A) + B. Both are modelled by the library itself, and must end in
// the same screen, cursor and state.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screen/grid.h"
#include "screen/render.h"
#include "screen/terminal.h"
#include "screen_support.h"

using namespace screen;
using namespace screen::testing;

namespace {

const std::string ESC = "\x1b";
constexpr int64_t kCols = 20, kRows = 6;

std::vector<std::string> visible(const Grid& g) {
    std::vector<std::string> out;
    int64_t top = screenTop(g);
    for (int64_t i = top; i < top + g.height; ++i) {
        std::string s = rowText(g, i);
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        out.push_back(s);
    }
    return out;
}

TEST(State, FunctionsSetTheirRecords) {
    struct Case {
        const char* name;
        std::string input;
        bool (*check)(const Grid&);
    } cases[] = {
        {"cursor keys and keypad", ESC + "[?1h" + ESC + "=",
         [](const Grid& g) { return g.modes.cursorKeys && g.modes.keypad; }},
        {"keypad off", ESC + "=" + ESC + ">", [](const Grid& g) { return !g.modes.keypad; }},
        {"several modes in one sequence", ESC + "[?1006;1000h",
         [](const Grid& g) { return g.modes.mouseSgr && g.modes.mouse == MouseTracking::Normal; }},
        {"mouse off only for the mode in force", ESC + "[?1002h" + ESC + "[?1000l",
         [](const Grid& g) { return g.modes.mouse == MouseTracking::ButtonMotion; }},
        {"focus, paste, encodings", ESC + "[?1004;2004;1005;1015h",
         [](const Grid& g) {
             return g.modes.focusEvents && g.modes.bracketedPaste && g.modes.mouseUtf8 &&
                    g.modes.mouseUrxvt;
         }},
        {"insert mode is not private", ESC + "[4h" + ESC + "[?4h",
         [](const Grid& g) { return g.modes.insert; }},
        {"autowrap off", ESC + "[?7l", [](const Grid& g) { return !g.modes.autowrap; }},
        {"cursor style", ESC + "[5 q", [](const Grid& g) { return g.modes.cursorStyle == 5; }},
        {"hidden cursor", ESC + "[?25l", [](const Grid& g) { return g.modes.cursorHidden; }},
        {"kitty flags pushed, set, popped",
         ESC + "[>1u" + ESC + "[>3u" + ESC + "[=4;2u" + ESC + "[<u",
         [](const Grid& g) { return g.keyboard.depth == 1 && g.keyboard.current() == 1; }},
        {"kitty flags on the alternate screen are its own",
         ESC + "[>1u" + ESC + "[?1049h" + ESC + "[>5u" + ESC + "[?1049l",
         [](const Grid& g) { return g.keyboard.depth == 1 && g.keyboard.current() == 1; }},
        {"modifyOtherKeys", ESC + "[>4;2m",
         [](const Grid& g) { return g.modes.modifyOtherKeys == 2; }},
        {"modifyOtherKeys reset", ESC + "[>4;2m" + ESC + "[>4m",
         [](const Grid& g) { return g.modes.modifyOtherKeys == 0; }},
        {"title by BEL and by ST", ESC + "]0;one\x07" + ESC + "]2;two" + ESC + "\\",
         [](const Grid& g) { return g.title == "two"; }},
        {"icon name is not the title", ESC + "]1;icon\x07",
         [](const Grid& g) { return g.title.empty(); }},
        {"G1 line drawing shifted in", ESC + ")0\x0e",
         [](const Grid& g) { return g.charsets.active() == Charset::LineDrawing; }},
        {"shifted back", ESC + ")0\x0e\x0f",
         [](const Grid& g) { return g.charsets.active() == Charset::Ascii; }},
        {"DECSTR keeps the mouse, resets the rest",
         ESC + "[?1000h" + ESC + "[?1h" + ESC + "[4h" + ESC + "[?7l" + ESC + "[2;4r" + ESC +
             "[31m" + ESC + "(0" + ESC + "[!p",
         [](const Grid& g) {
             return g.modes.mouse == MouseTracking::Normal && !g.modes.cursorKeys &&
                    !g.modes.insert && g.modes.autowrap && !regionActive(g) && g.pen == Pen() &&
                    g.charsets == Charsets();
         }},
        {"RIS resets everything", ESC + "[?1049h" + ESC + "[?1000h" + ESC + "]2;t\x07" + ESC + "c",
         [](const Grid& g) {
             return !g.alt.active && g.modes == Modes() && g.title.empty() && g.tabs.isDefault();
         }},
    };
    for (const Case& c : cases) {
        Terminal t(kCols, kRows, 10);
        t.resize(kCols, kRows);
        t.write(c.input);
        EXPECT_TRUE(c.check(t.grid())) << c.name;
    }
}

TEST(State, ScreensAndCursor) {
    struct Case {
        const char* name;
        std::string input;
        std::vector<std::string> rows;
        int64_t row, col;
    } cases[] = {
        // Issue-level rules: 1049 and 1047 keep the cursor where it was.
        {"1049 keeps the cursor", "ab" + ESC + "[?1049hX", {"  X", "", "", "", "", ""}, 0, 3},
        {"1049 brings back cursor and pen",
         "ab" + ESC + "[31m" + ESC + "[?1049h" + ESC + "[32m" + ESC + "[4;4HX" + ESC + "[?1049lc",
         {"abc", "", "", "", "", ""},
         0,
         3},
        {"1047 leaves the cursor where the alternate screen had it",
         "ab" + ESC + "[?1047h" + ESC + "[3;5HX" + ESC + "[?1047lc",
         {"ab", "", "     c", "", "", ""},
         2,
         6},
        {"47 too", "ab" + ESC + "[?47hX" + ESC + "[?47lY", {"ab Y", "", "", "", "", ""}, 0, 4},
        {"1048 saves and restores",
         "ab" + ESC + "[?1048h\r\ncd" + ESC + "[?1048lX",
         {"abX", "cd", "", "", "", ""},
         0,
         3},
        {"restore with nothing saved goes home", "g" + ESC + "8r", {"r", "", "", "", "", ""}, 0, 1},
        {"origin mode addresses the region",
         ESC + "[3;5r" + ESC + "[?6h" + ESC + "[1;2HX" + ESC + "[9;1HY",
         {"", "", " X", "", "Y", ""},
         4,
         1},
        {"origin mode homes to the top margin",
         ESC + "[3;5r" + ESC + "[?6hX",
         {"", "", "X", "", "", ""},
         2,
         1},
        {"saved cursor keeps origin mode",
         ESC + "[3;5r" + ESC + "[?6h" + ESC + "7" + ESC + "[?6l" + ESC + "8" + ESC + "[1;1HZ",
         {"", "", "Z", "", "", ""},
         2,
         1},
        {"insert mode shifts the row",
         "abc\r" + ESC + "[4hXY",
         {"XYabc", "", "", "", "", ""},
         0,
         2},
        {"no autowrap overwrites the last column",
         ESC + "[?7l" + std::string(22, 'x') + "yz",
         {std::string(19, 'x') + "z", "", "", "", "", ""},
         0,
         19},
        {"tab stops set and cleared",
         ESC + "[3g" + ESC + "[1;4H" + ESC + "H" + ESC + "[1;11H" + ESC + "H\r\ta\tb" + ESC + "[Zc",
         {"   a      c", "", "", "", "", ""},
         0,
         11},
        {"cht and cbt", ESC + "[2Ia" + ESC + "[2Zb", {"        b       a", "", "", "", "", ""}, 0, 9},
        {"line drawing", ESC + "(0qx" + ESC + "(Bq", {"\u2500\u2502q", "", "", "", "", ""}, 0, 3},
        {"british pound", ESC + "(A#", {"\u00a3", "", "", "", "", ""}, 0, 1},
    };
    for (const Case& c : cases) {
        Terminal t(kCols, kRows, 10);
        t.resize(kCols, kRows);
        t.write(c.input);
        EXPECT_EQ(visible(t.grid()), c.rows) << c.name;
        EXPECT_EQ(t.cursor(), (ScreenPoint{ScreenRow{c.row}, c.col})) << c.name;
    }
}

TEST(State, CursorStaysWithinTheGrid) {
    // At every size, after any of these, the cursor is on a row of the
    // screen and at most one past the last column (a pending wrap).
    const std::string inputs[] = {
        "\xe4\xb8\xad\xe4\xb8\xad",
        ESC + "[?1049h" + ESC + "[1;80H" + ESC + "[?1049l",
        ESC + "[99;99H" + ESC + "7" + ESC + "[?1049h" + ESC + "8x",
        ESC + "[?6h" + ESC + "[5;9r" + ESC + "[99;99Hab",
        ESC + "[?7l" + "\xe4\xb8\xad" + std::string(50, 'w'),
        ESC + "[4h" + "\xe4\xb8\xad\xe4\xb8\xad" + "abc",
        ESC + "[20I" + ESC + "[20Z" + "\t\t\t",
    };
    for (int64_t cols : {1, 2, 3, 80}) {
        for (int64_t rows : {1, 2, 24}) {
            for (const std::string& in : inputs) {
                Terminal t(80, 24, 10);
                t.write(ESC + "[?1049h" + ESC + "[1;80H");
                t.resize(cols, rows);  // the 1049 cursor now beyond the width
                t.write(in);
                t.write(ESC + "[?1049l");
                const Grid& g = t.grid();
                std::string where = std::to_string(cols) + "x" + std::to_string(rows);
                EXPECT_LE(g.cursor.col, cols) << where;
                if (!g.cursor.pendingWrap) {
                    EXPECT_LT(g.cursor.col, cols) << where;
                }
                EXPECT_GE(g.cursor.row, screenTop(g)) << where;
                EXPECT_LE(g.cursor.row, lastScreenRow(g)) << where;
            }
        }
    }
}

struct RoundTrip {
    const char* name;
    std::string before;  // the program's output before the client attaches
    std::string after;   // and after: it must land as on the program's terminal
};

const RoundTrip kRoundTrips[] = {
    {"alternate screen and back", "shell$ " + ESC + "[?1049h" + ESC + "[1;1Hvim",
     ESC + "[2;1Hmore" + ESC + "[?1049lls\r\n"},
    {"1049 cursor and pen", "a" + ESC + "[33m" + ESC + "[?1049h" + ESC + "[0mx",
     ESC + "[?1049lyellow"},
    {"scroll region", ESC + "[2;4r" + ESC + "[4;1H", "a\nb\nc\nd\ne\n"},
    {"origin mode", ESC + "[2;4r" + ESC + "[?6h", ESC + "[2;2Hxx" + ESC + "[9;1Hend"},
    {"pen and line drawing", ESC + "[1;34m" + ESC + "(0", "lqqk" + ESC + "(B ok"},
    {"G1 shifted", ESC + ")0\x0e", "qqq\x0fqqq"},
    {"saved cursor", "ab" + ESC + "[32m" + ESC + "7" + ESC + "[0m\r\n\r\n", ESC + "8green"},
    {"saved cursor in origin mode",
     ESC + "[3;5r" + ESC + "[?6h" + ESC + "[2;3H" + ESC + "7" + ESC + "[?6l" + ESC + "[6;1H",
     ESC + "8here" + ESC + "[1;1Htop"},
    {"tab stops", ESC + "[3g" + ESC + "[1;6H" + ESC + "H\r", "\tx\r\n\ty"},
    {"insert mode", "abc\r" + ESC + "[4h", "XY"},
    {"autowrap off", ESC + "[?7l", std::string(25, 'z')},
    {"pending wrap", std::string(kCols, 'w'), "next"},
    {"hidden cursor and modes", ESC + "[?25l" + ESC + "[?1h" + ESC + "=" + ESC + "[?2004h", "x"},
    {"cut inside a sequence", "ab" + ESC + "[3", "1mred"},
    {"cut inside a character", "ab\xe4\xb8", "\xad!"},
    {"cut inside a title", ESC + "]2;ti",
     "tle\x07"
     "after"},
    {"inside a synchronized update", "frame1" + ESC + "[?2026h" + ESC + "[H" + ESC + "[2K" + "fr",
     "ame2" + ESC + "[?2026l"},
    {"nothing saved", "abc", ESC + "8x"},
    {"hyperlink open", ESC + "]8;;http://x" + ESC + "\\ab", "cd" + ESC + "]8;;" + ESC + "\\ef"},
};

TEST(State, SnapshotThenLiveOutputMatchesTheProgramsTerminal) {
    for (const RoundTrip& c : kRoundTrips) {
        Terminal program(kCols, kRows, 10);
        program.resize(kCols, kRows);
        program.write(c.before);
        std::string snap = program.snapshot();
        program.write(c.after);

        Terminal client(kCols, kRows, 10);
        client.resize(kCols, kRows);
        client.write(snap);
        client.write(c.after);

        const Grid& want = program.grid();
        const Grid& got = client.grid();
        EXPECT_EQ(visible(got), visible(want)) << c.name;
        EXPECT_EQ(client.cursor(), program.cursor()) << c.name;
        EXPECT_EQ(got.cursor.pendingWrap, want.cursor.pendingWrap) << c.name;
        EXPECT_EQ(got.modes, want.modes) << c.name;
        EXPECT_EQ(got.pen, want.pen) << c.name;
        EXPECT_EQ(got.charsets, want.charsets) << c.name;
        EXPECT_EQ(got.alt.active, want.alt.active) << c.name;
        EXPECT_EQ(got.tabs, want.tabs) << c.name;
        EXPECT_EQ(got.title, want.title) << c.name;
        EXPECT_EQ(got.margins.top - screenTop(got), want.margins.top - screenTop(want)) << c.name;
    }
}

TEST(State, LeavingTakesTheTerminalBackToItsDefaults) {
    for (const RoundTrip& c : kRoundTrips) {
        Terminal user(kCols, kRows, 10);
        user.resize(kCols, kRows);
        user.write(c.before);
        user.write(user.leavingSequence());
        const Grid& g = user.grid();
        EXPECT_FALSE(g.alt.active) << c.name;
        EXPECT_EQ(g.modes, Modes()) << c.name;
        EXPECT_EQ(g.pen, Pen()) << c.name;
        EXPECT_EQ(g.charsets, Charsets()) << c.name;
        for (size_t col = 1; col < size_t(kCols); ++col)
            EXPECT_EQ(g.tabs.stops.test(col), col % 8 == 0) << c.name << " column " << col;
        EXPECT_FALSE(regionActive(g)) << c.name;
        EXPECT_EQ(g.keyboard.depth, 0) << c.name;
        // The cursor at the start of a line below every line of text.
        EXPECT_EQ(g.cursor.col, 0) << c.name;
        std::vector<std::string> rows = visible(g);
        for (size_t r = size_t(user.cursor().row.value); r < rows.size(); ++r)
            EXPECT_EQ(rows[r], "") << c.name << " row " << r;
    }
}

TEST(State, LeavingKeepsTheMainScreenAndItsCursorRow) {
    // On the main screen at a prompt: the next line, nothing scrolled off.
    Terminal shell(kCols, kRows, 10);
    shell.resize(kCols, kRows);
    shell.write("one\r\ntwo\r\n$ ");
    std::string leave = shell.leavingSequence();
    EXPECT_EQ(leave.find(ESC + "[?1049l"),
              std::string::npos);                         // not in it: the cursor must not jump
    EXPECT_EQ(leave.find(ESC + "c"), std::string::npos);  // never a full reset
    shell.write(leave);
    EXPECT_EQ(visible(shell.grid()), (std::vector<std::string>{"one", "two", "$", "", "", ""}));
    EXPECT_EQ(shell.cursor(), (ScreenPoint{ScreenRow{3}, 0}));
    // Already on an empty line: it stays there.
    Terminal idle(kCols, kRows, 10);
    idle.resize(kCols, kRows);
    idle.write("done\r\n");
    idle.write(idle.leavingSequence());
    EXPECT_EQ(idle.cursor(), (ScreenPoint{ScreenRow{1}, 0}));
    // Text down to the last row: the screen scrolls one line up.
    Terminal full(kCols, 2, 10);
    full.resize(kCols, 2);
    full.write("a\r\nb" + ESC + "[1;1H");
    full.write(full.leavingSequence());
    EXPECT_EQ(visible(full.grid()), (std::vector<std::string>{"b", ""}));
}

}  // namespace
