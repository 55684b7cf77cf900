#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screen/interpreter.h"
#include "screen/render.h"
#include "screen/terminal.h"
#include "screen_support.h"

using namespace screen;
using namespace screen::testing;

namespace {

constexpr int64_t kCols = 20, kRows = 5;

// The visible rows without trailing blanks.
std::vector<std::string> visible(const Grid& g) {
    std::vector<std::string> out;
    int64_t top = screenTop(g);
    for (int64_t i = top; i < top + g.height; ++i) {
        std::string s = rowText(g, i);
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        out.push_back(s);
    }
    while (!out.empty() && out.back().empty())
        out.pop_back();
    return out;
}

struct Case {
    const char* name;
    std::vector<std::string> chunks;  // fed one by one
    std::vector<std::string> rows;    // the visible rows, trailing empty ones left out
    int64_t row = -1, col = -1;       // the cursor on the screen, when checked
};

void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        Terminal t(kCols, kRows, 10);
        t.resize(kCols, kRows);
        for (const std::string& chunk : c.chunks)
            t.write(chunk);
        const Grid& g = t.grid();
        EXPECT_EQ(visible(g), c.rows) << c.name;
        if (c.row >= 0) {
            EXPECT_EQ(g.cursor.row - screenTop(g), c.row) << c.name;
        }
        if (c.col >= 0) {
            EXPECT_EQ(g.cursor.col, c.col) << c.name;
        }
        EXPECT_LT(g.cursor.row, g.lines.size()) << c.name;
    }
}

const std::string ESC = "\x1b";

TEST(Interpreter, ControlCharacters) {
    run({
        {"cr lf", {"ab\r\ncd"}, {"ab", "cd"}, 1, 2},
        {"bare lf keeps the column", {"ab\ncd"}, {"ab", "  cd"}, 1, 4},
        {"vt and ff move down too",
         {"a\x0b"
          "b\x0c"
          "c"},
         {"a", " b", "  c"},
         2,
         3},
        {"bell, nul, so, si, del leave no trace",
         {std::string("a\x07\x00\x0e\x0f\x7f"
                      "b",
                      7)},
         {"ab"},
         0,
         2},
        {"backspace", {"abc\b\bX"}, {"aXc"}, 0, 2},
        {"tab", {"a\tb"}, {"a       b"}, 0, 9},
        {"lf keeps a pending wrap",
         {std::string(20, 'x') + "\nz"},
         {std::string(20, 'x'), "", "z"}},
        {"cr cancels a pending wrap", {std::string(20, 'x') + "\rz"}, {"z" + std::string(19, 'x')}},
        {"scrolls at the bottom", {"1\r\n2\r\n3\r\n4\r\n5\r\n6"}, {"2", "3", "4", "5", "6"}, 4, 1},
    });
}

TEST(Interpreter, CursorAddressing) {
    run({
        {"cup", {ESC + "[2;3HX"}, {"", "  X"}, 1, 3},
        {"cup with three parameters", {ESC + "[5;10;3HX"}, {"", "", "", "", "         X"}, 4, 10},
        {"cup without row", {ESC + "[;5HX"}, {"    X"}, 0, 5},
        {"home", {"abc" + ESC + "[HX"}, {"Xbc"}, 0, 1},
        {"a parameter of 2^31 ignores the sequence", {ESC + "[2147483648;14HX"}, {"X"}, 0, 1},
        {"a parameter just below 2^31 is clamped",
         {ESC + "[2147483647;999HX"},
         {"", "", "", "", std::string(19, ' ') + "X"}},
        {"huge row", {ESC + "[9223372036854775807;1HX"}, {"X"}},
        {"up with two parameters uses the first", {"\r\n\r\n" + ESC + "[5;3AX"}, {"X"}},
        {"up 0 moves one", {"\r\n\r\n" + ESC + "[0AX"}, {"", "X"}},
        {"down stops at the last row", {ESC + "[99BX"}, {"", "", "", "", "X"}},
        {"forward stops at the last column", {ESC + "[200CX"}, {std::string(19, ' ') + "X"}},
        {"huge forward is ignored", {ESC + "[9223372036854775807CX"}, {"X"}},
        {"forward by 2^31 - 1", {ESC + "[2147483647CX"}, {std::string(19, ' ') + "X"}},
        {"back", {"abcd" + ESC + "[2DX"}, {"abXd"}},
        {"column", {ESC + "[7GX" + ESC + "[3`Y"}, {"  Y   X"}},
        {"line position", {"ab" + ESC + "[4dX"}, {"ab", "", "", "  X"}},
        {"next and previous line", {"ab" + ESC + "[2EX" + ESC + "[FY"}, {"ab", "Y", "X"}},
        {"save and restore", {"ab" + ESC + "7\r\n\r\ncd" + ESC + "8X"}, {"abX", "", "cd"}},
        {"csi s and u", {"ab" + ESC + "[s\r\ncd" + ESC + "[uX"}, {"abX", "cd"}},
        {"mode 1048", {"ab" + ESC + "[?1048h\r\ncd" + ESC + "[?1048lX"}, {"abX", "cd"}},
        // Nothing saved: home and the default pen, as terminals do.
        {"restore without save", {"ab" + ESC + "8X"}, {"Xb"}},
        {"csi u without save", {"ab" + ESC + "[uX"}, {"Xb"}},
    });
}

TEST(Interpreter, RowsAddressTheVisibleScreen) {
    std::string scroll = "1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7";
    run({
        {"home after scrolling", {scroll + ESC + "[HX"}, {"X", "4", "5", "6", "7"}, 0, 1},
        {"clear after scrolling", {scroll + ESC + "[H" + ESC + "[2J$ "}, {"$"}, 0, 2},
        {"saved cursor survives scrolling",
         {"ab" + ESC + "7" + scroll + ESC + "8X"},
         {"3 X", "4", "5", "6", "7"},
         0,
         3},
        {"up stops at the top of the screen", {scroll + ESC + "[99AX"}, {"3X", "4", "5", "6", "7"}},
        {"reverse index at the top scrolls",
         {scroll + ESC + "[H" + ESC + "MX"},
         {"X", "3", "4", "5", "6"}},
        {"region from the screen top",
         {scroll + ESC + "[2;3r" + ESC + "[3;1H\nX"},
         {"3", "5", "X", "6", "7"}},
    });
    // The history stays as it was.
    Terminal t(kCols, kRows, 10);
    t.resize(kCols, kRows);
    t.write(scroll + ESC + "[H" + ESC + "[2J" + ESC + "[H" + ESC + "M");
    EXPECT_EQ(rowText(t.grid(), 0), "1");
    EXPECT_EQ(rowText(t.grid(), 1), "2");
}

TEST(Interpreter, Margins) {
    std::string rows = "a\r\nb\r\nc\r\nd\r\ne";
    run({
        {"line feed at the bottom margin",
         {rows + ESC + "[2;4r" + ESC + "[4;1H\nX"},
         {"a", "c", "d", "X", "e"}},
        {"below the region on the last row",
         {rows + ESC + "[2;3r" + ESC + "[5;1H\nX"},
         {"a", "b", "c", "d", "X"},
         4,
         1},
        {"down stops at the bottom margin",
         {rows + ESC + "[2;3r" + ESC + "[2;1H" + ESC + "[9BX"},
         {"a", "b", "X", "d", "e"}},
        {"down from below the region",
         {rows + ESC + "[1;2r" + ESC + "[3;1H" + ESC + "[BX"},
         {"a", "b", "c", "X", "e"}},
        {"up stops at the top margin",
         {rows + ESC + "[2;3r" + ESC + "[3;1H" + ESC + "[9AX"},
         {"a", "X", "c", "d", "e"}},
        {"reverse index at the top margin",
         {rows + ESC + "[2;4r" + ESC + "[2;1H" + ESC + "MX"},
         {"a", "X", "b", "c", "e"}},
        {"reverse index inside the region",
         {rows + ESC + "[2;4r" + ESC + "[3;1H" + ESC + "MX"},
         {"a", "X", "c", "d", "e"}},
        {"insert and delete lines",
         {rows + ESC + "[2;4r" + ESC + "[2;1H" + ESC + "[L" + ESC + "[3;1H" + ESC + "[2M"},
         {"a", "", "", "", "e"}},
        {"scroll up and down",
         {rows + ESC + "[2;4r" + ESC + "[S" + ESC + "[2T"},
         {"a", "", "", "c", "e"}},
        {"a bad region is ignored, the cursor stays",
         {rows + ESC + "[4;2r\n\n\n\n\nX"},
         {"", "", "", "", " X"}},
        {"index and next line", {"ab" + ESC + "Dc" + ESC + "Ed"}, {"ab", "  c", "d"}},
    });
}

TEST(Interpreter, Erasing) {
    run({
        {"erase line", {"abcdef" + ESC + "[3D" + ESC + "[K"}, {"abc"}},
        {"erase line to cursor", {"abcdef" + ESC + "[3D" + ESC + "[1K"}, {"    ef"}},
        {"erase display with two parameters uses the first",
         {"ab\r\ncd" + ESC + "[H" + ESC + "[1;2J"},
         {" b", "cd"}},
        {"erase line with two parameters uses the first", {"6" + ESC + "[1;2K"}, {}},
        {"erase chars", {"abcdef" + ESC + "[5D" + ESC + "[2X"}, {"a  def"}},
        {"insert and delete chars",
         {"abcdef" + ESC + "[4D" + ESC + "[2@" + ESC + "[3G" + ESC + "[P"},
         {"ab cdef"}},
    });
    // Erasing the display keeps a pending wrap.
    Terminal t(kCols, kRows, 0);
    t.resize(kCols, kRows);
    t.write(std::string(20, 'x') + ESC + "[J");
    EXPECT_TRUE(t.grid().cursor.pendingWrap);
}

// Names the table of control functions does not hold are counted, and
// nothing else happens; known ones are not counted.
TEST(Interpreter, UnknownFunctionsAreCounted) {
    struct Count {
        const char* bytes;
        uint64_t unknown;
    } const cases[] = {
        {"\x1b[2 A", 1}, {"\x1b[1;1;3;3;1$r", 1}, {"\x1b#9", 1},
        {"\x1b[=c", 1},  {"\x1b[?1234h", 0},      {"\x1b[5A\x1b[m", 0},
        {"\x1b[2y", 1},  {"\x1b(0\x1b(B", 0},     {"\x1b[2 !\"A", 1},
    };
    for (const Count& c : cases) {
        Grid g = newGrid(20, 5, 0);
        feed(g, c.bytes);
        EXPECT_EQ(g.unknownFunctions, c.unknown) << c.bytes;
    }
}

TEST(Interpreter, SequencesAreReadWhole) {
    run({
        {"secondary device attributes", {"a" + ESC + "[>cb"}, {"ab"}},
        {"marker with parameters", {"a" + ESC + "[>4;2mb"}, {"ab"}},
        {"colon sub-parameters", {"a" + ESC + "[38:5:1mb"}, {"ab"}},
        {"late question mark", {"a" + ESC + "[1?hb"}, {"ab"}},
        {"private with two modes", {"a" + ESC + "[?25;1049hb"}, {" b"}},
        {"intermediates name another function", {"\r\n\r\na" + ESC + "[2 AX"}, {"", "", "aX"}},
        {"intermediates are not a scroll region", {"ab" + ESC + "[1;1;3;3;1$rX"}, {"abX"}},
        {"unknown escape", {"a" + ESC + "#9b"}, {"ab"}},
        {"control inside is carried out", {"\r\n\r\nab" + ESC + "[1\rAX"}, {"", "X", "ab"}},
        {"can abandons",
         {"a" + ESC +
          "[31\x18"
          "mb"},
         {"amb"}},
        {"sub abandons",
         {"a" + ESC +
          "[31\x1a"
          "mb"},
         {"amb"}},
        {"esc abandons", {"a" + ESC + "[31" + ESC + "[Cb"}, {"a b"}},
        {"esc esc", {"a" + ESC + ESC + "[Cb"}, {"a b"}},
        {"parameter after intermediate", {"a" + ESC + "[1 2Cb"}, {"ab"}},
        {"three intermediates", {"\r\na" + ESC + "[2 !\"Ab"}, {"", "ab"}},
        // 256 intermediates once counted as none: this restored the cursor.
        {"many intermediates", {"ab" + ESC + "7\r" + ESC + std::string(256, ' ') + "8c"}, {"cb"}},
        {"del and 8-bit bytes ignored",
         {"a" + ESC +
          "[1\x7f\xc3"
          "1Cb"},
         {"a" + std::string(11, ' ') + "b"}},
        {"intermediate kept", {"a" + ESC + "[2 qb"}, {"ab"}},
        {"unknown final", {"a" + ESC + "[5nb"}, {"ab"}},
        {"osc with bel", {ESC + "]0;title\x07ok"}, {"ok"}},
        {"osc with st", {ESC + "]0;t" + ESC + "\\ok"}, {"ok"}},
        {"osc with esc inside", {ESC + "]0;a" + ESC + "b\x07ok"}, {"ok"}},
        {"dcs", {ESC + "P+q544e\x07still" + ESC + "\\ok"}, {"ok"}},
        {"apc, pm, sos",
         {ESC + "_x" + ESC + "\\" + ESC + "^y" + ESC + "\\" + ESC + "Xz" + ESC + "\\ok"},
         {"ok"}},
        {"designation", {ESC + "(Bok" + ESC + ")0!"}, {"ok!"}},
        {"other intermediates", {ESC + "#9" + ESC + "%Gok"}, {"ok"}},
        {"two-byte sequences", {ESC + "=" + ESC + ">" + ESC + "cok"}, {"ok"}},
        {"line drawing", {ESC + "(0lqk" + ESC + "(Bq"}, {"\xe2\x94\x8c\xe2\x94\x80\xe2\x94\x90q"}},
        {"overlong control not printed",
         {"a\xc0\x87"
          "b"},
         {"ab"}},
        {"stray byte", {"\xff"}, {"\xc3\xbf"}},
    });
}

TEST(Interpreter, ChunksCutAnywhere) {
    // Every cut of one stream gives the same screen as the whole.
    std::string stream = "a\xe4\xb8\xad" + ESC + "[31;1mb" + ESC + "]0;title\x07" + ESC + "P1$r" +
                         ESC + "\\c" + ESC + "(0q" + ESC + "(B" + ESC + "[?2026hd" + ESC +
                         "[?2026l" + "\xf0\x9f\x98\x80" + ESC + "7" + ESC + "[2;3H" + ESC + "8e";
    Terminal whole(kCols, kRows, 10);
    whole.write(stream);
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        for (size_t cut2 = cut; cut2 <= stream.size(); cut2 += 3) {
            Terminal t(kCols, kRows, 10);
            t.write(stream.substr(0, cut));
            t.write(stream.substr(cut, cut2 - cut));
            t.write(stream.substr(cut2));
            ASSERT_EQ(t.snapshot(), whole.snapshot()) << cut << " " << cut2;
            ASSERT_TRUE(t.grid().held.empty());
        }
    }
    EXPECT_EQ(visible(whole.grid()), (std::vector<std::string>{"a\xe4\xb8\xad"
                                                               "bc\xe2\x94\x80"
                                                               "d\xf0\x9f\x98\x80"
                                                               "e"}));
    EXPECT_EQ(whole.grid().lines.row(0)[3].fg(), 2);
}

TEST(Interpreter, HeldTails) {
    struct Case {
        std::string first, second, rows;
    } cases[] = {
        {"x" + ESC + "[3", "1mX", "xX"},
        {"x" + ESC, "[1mX", "xX"},
        {"x" + ESC + "]0;ti", "tle\x07X", "xX"},
        {"x" + ESC + "]0;t" + ESC, "\\X", "xX"},
        {"x" + ESC + "Pq", "q" + ESC + "\\X", "xX"},
        {"x" + ESC + "(", "BX", "xX"},
        {"x\xe4\xb8", "\xadX", "x\xe4\xb8\xadX"},
        {"x\xf0", "\x9f\x98\x80X", "x\xf0\x9f\x98\x80X"},
    };
    for (const Case& c : cases) {
        Terminal t(kCols, kRows, 0);
        t.write(c.first);
        EXPECT_EQ(rowText(t.grid(), 0), "x") << c.second;
        EXPECT_FALSE(t.grid().held.empty()) << c.second;
        t.write(c.second);
        EXPECT_EQ(rowText(t.grid(), 0), c.rows) << c.second;
    }
}

TEST(Interpreter, HeldIsBounded) {
    Terminal t(kCols, kRows, 0);
    t.write(ESC + "]52;c;");
    std::string junk(4096, 'A');
    for (int i = 0; i < 100; ++i) {
        t.write(junk);
        ASSERT_LE(t.grid().held.size(), kMaxHeld);
    }
    t.write(ESC);  // the terminator cut in two
    t.write("\\after");
    EXPECT_EQ(rowText(t.grid(), 0), "after");
    // A control sequence longer than the hold is consumed to its final
    // byte and ignored: none of its digits reach the screen, nor its effect.
    Terminal c(kCols, kRows, 0);
    c.write("a" + ESC + "[");
    for (int i = 0; i < 20; ++i) {
        c.write(std::string(4096, '1'));
        ASSERT_LE(c.grid().held.size(), kMaxHeld);
    }
    c.write(";41mb");
    EXPECT_EQ(rowText(c.grid(), 0), "ab");
    EXPECT_EQ(c.snapshot().find("41"), std::string::npos);
}

TEST(Interpreter, Attributes) {
    Terminal t(kCols, kRows, 0);
    t.write(ESC + "[1;31mA" + ESC + "[38;5;200;48;5;3mB" + ESC + "[0mC" + ESC + "[4mD" + ESC +
            "[m" + "E" + ESC + "[38;2;1;2;3;7mF");
    Row r = t.grid().lines.row(0);
    EXPECT_EQ(r[0].pen(), (Pen{2, 0, 0, 0, kBold}));
    EXPECT_EQ(r[1].pen(), (Pen{17, 4, 200, 0, kBold}));
    EXPECT_EQ(r[2].pen(), (Pen{0, 0, 200, 0, 0}));
    EXPECT_EQ(r[3].attrs(), kUnderline);
    EXPECT_EQ(r[4].attrs(), 0);
    EXPECT_EQ(r.pen(5), (Pen{18, 0, 0, 0, kInverse, 0, 0, 0x010203}));
    // An erase with a background paints the line.
    t.write(ESC + "[44m\r\n" + ESC + "[K");
    Row painted = t.grid().lines.row(1);
    ASSERT_EQ(painted.size(), size_t(kCols));
    EXPECT_EQ(painted[19].bg(), 5);
    EXPECT_EQ(painted[19].fg(), 0);
}

TEST(Interpreter, ModesAndAlternateScreen) {
    Terminal t(kCols, kRows, 10);
    t.write(ESC + "[?25l" + ESC + "[?2004h");
    EXPECT_TRUE(t.grid().modes.cursorHidden);
    EXPECT_TRUE(t.grid().modes.bracketedPaste);
    t.write(ESC + "[?25h" + ESC + "[?2004l");
    EXPECT_FALSE(t.grid().modes.cursorHidden);
    EXPECT_FALSE(t.grid().modes.bracketedPaste);
    t.write("main" + ESC + "[?1049h" + ESC + "[2J" + ESC + "[3;4Halt");
    EXPECT_TRUE(t.grid().alt.active);
    EXPECT_EQ(visible(t.grid()), (std::vector<std::string>{"", "", "   alt"}));
    t.write(ESC + "[?1049l+");
    EXPECT_FALSE(t.grid().alt.active);
    EXPECT_EQ(visible(t.grid()), (std::vector<std::string>{"main+"}));
    // 1047 leaves the cursor where the alternate screen had it.
    t.write(ESC + "[?1047h" + ESC + "[3;4H" + ESC + "[?1047lX");
    EXPECT_EQ(visible(t.grid()), (std::vector<std::string>{"main+", "", "   X"}));
}

TEST(Interpreter, ResizeDuringAnUpdate) {
    Terminal t(kCols, kRows, 10);
    t.write(ESC + "[?2026h" + std::string(25, 'x'));
    t.resize(30, 6);
    t.write(std::string(10, 'y') + ESC + "[?2026l");
    // The update continues at the new size and keeps it.
    EXPECT_EQ(t.grid().cols, 30);
    EXPECT_EQ(t.grid().height, 6);
    EXPECT_EQ(rowText(t.grid(), 0), std::string(20, 'x'));
}

TEST(Interpreter, AlternateScreenInsideAnUpdate) {
    const std::string begin = ESC + "[?2026h", end = ESC + "[?2026l";
    Terminal t(kCols, kRows, 10);
    t.write("shell$ ");
    t.write(begin + ESC + "[?1049h" + ESC + "[Heditor" + end);
    EXPECT_TRUE(t.grid().alt.active);
    EXPECT_EQ(rowText(t.grid(), 0), "editor");
    t.write(begin + "!" + end + begin + ESC + "[?1049l" + end);
    EXPECT_FALSE(t.grid().alt.active);
    EXPECT_EQ(rowText(t.grid(), 0), "shell$ ");
    EXPECT_EQ(t.grid().cursor.col, 7);
}

TEST(Interpreter, FeedRawAndSplit) {
    Grid g = newGrid(kCols, kRows, 0);
    feedRaw(g, "a" + ESC + "[3");  // dropped
    feedRaw(g, "1mb\xe4\xb8");     // a cut character is U+FFFD
    EXPECT_EQ(rowText(g, 0), "a1mb\xef\xbf\xbd");

    struct Case {
        std::string bytes, complete, held;
    } cases[] = {
        {"abc", "abc", ""},
        {"ab" + ESC, "ab", ESC},
        {"ab" + ESC + "[1;2", "ab", ESC + "[1;2"},
        {"ab" + ESC + "[1;2m", "ab" + ESC + "[1;2m", ""},
        {ESC + "]0;x" + ESC + "[1m", "", ESC + "]0;x" + ESC + "[1m"},
        {ESC + "]0;x\x07"
               "a",
         ESC + "]0;x\x07"
               "a",
         ""},
        {"a" + ESC + "Pdata" + ESC, "a", ESC + "Pdata" + ESC},
        {"a" + ESC + "(", "a", ESC + "("},
        {"a\xe4\xb8", "a", "\xe4\xb8"},
        {"\xe4\x1b[", "\xe4\x1b[", ""},  // continuation bytes are taken as they come
        {"a" + ESC + "[1" + ESC + "[2", "a" + ESC + "[1", ESC + "[2"},
        {"a" + ESC +
             "[1\x18"
             "b",
         "a" + ESC +
             "[1\x18"
             "b",
         ""},
    };
    for (const Case& c : cases) {
        auto [complete, held] = splitHeldEscape(c.bytes);
        EXPECT_EQ(complete, c.complete) << c.bytes;
        EXPECT_EQ(held, c.held) << c.bytes;
    }
}

}  // namespace

// An update never closed ends by itself one second after it began; a new
// begin inside it neither restarts it nor extends it.
TEST(Interpreter, OpenUpdateEndsAfterItsTimeout) {
    using namespace std::chrono_literals;
    const SyncClock::time_point t0 = SyncClock::time_point() + 100s;
    Grid g = newGrid(20, 5, 0);
    feed(g, "x\x1b[?2026hA", t0);
    ASSERT_TRUE(syncDeadline(g).has_value());
    EXPECT_EQ(*syncDeadline(g), t0 + kSyncTimeout);
    feed(g, "\x1b[?2026hB", t0 + 500ms);
    EXPECT_EQ(*syncDeadline(g), t0 + kSyncTimeout);
    endOverdueSync(g, t0 + 999ms);
    EXPECT_TRUE(g.syncActive);
    endOverdueSync(g, t0 + 1000ms);
    EXPECT_FALSE(g.syncActive);
    EXPECT_FALSE(syncDeadline(g).has_value());
    // The late end is harmless; a closed update leaves nothing to wait for.
    feed(g, "C\x1b[?2026l", t0 + 1100ms);
    feed(g, "\x1b[?2026hD\x1b[?2026l", t0 + 2s);
    EXPECT_EQ(lineText(g, 0), "xABCD");
    EXPECT_FALSE(syncDeadline(g).has_value());
}
