// Fuzz target for the screen library: a program's output cut into chunks,
// with resizes between them, as the daemon feeds it.
//
// Input: six bytes of plan, then the output itself.
//   0 columns, 1 rows, 2 scrollback limit: the terminal's size;
//   3 the largest chunk (1 to 4096 bytes, a power of two);
//   4 how often the size changes (0: never; otherwise about one chunk in n);
//   5 the seed of the chunk lengths and of the new sizes.
// After every chunk the grid must be whole (screen_invariants.h); at the end,
// the snapshot an attaching client would receive, fed into a fresh terminal
// of the same size, must show the same screen. The parser alone must hand
// over the same events for the chunks as for the output whole, every
// sequence within its bounds; and without resizes, the chunks must leave
// the same screen as the output fed whole.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/screen_invariants.h"
#include "screen/grid.h"
#include "screen/links.h"
#include "screen/parser.h"
#include "screen/placement.h"
#include "screen/terminal.h"

namespace {

using screen::Grid;

[[noreturn]] void fault(const char* what, int64_t a = 0, int64_t b = 0) {
    std::fprintf(stderr, "screen invariant broken: %s (%lld, %lld)\n", what,
                 static_cast<long long>(a), static_cast<long long>(b));
    std::abort();
}

void require(bool ok, const char* what, int64_t a = 0, int64_t b = 0) {
    if (!ok) fault(what, a, b);
}

// Chunk lengths and sizes from the plan's seed: the same input always
// takes the same road.
class Dice {
  public:
    explicit Dice(uint32_t seed) : state_(seed * 2654435761u + 1) {}
    uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    int64_t below(int64_t n) { return n > 0 ? int64_t(next() % uint32_t(n)) : 0; }

  private:
    uint32_t state_;
};

// What must hold of a grid whatever it was fed (fuzz/screen_invariants.h):
// the rows are looked at one by one only when `everyRow` is set (at the
// end), else only the cursor's.
void checkGrid(const Grid& g, bool everyRow) {
    if (auto broken = screen::brokenInvariant(g, everyRow ? INT64_MAX : 0))
        fault(broken->what, broken->a, broken->b);
}

// The parser's events, written out with adjacent text and string fragments
// joined (a cut may split them anywhere, nothing else).
struct Events {
    std::string log;
    char open = 0;  // 'p' after text, 's' after a fragment

    void add(char kind, std::string_view bytes) {
        log += kind;
        log.append(bytes);
        log += '\0';
        open = 0;
    }
    void joined(char kind, std::string_view bytes) {
        if (open == kind) {
            log.insert(log.size() - 1, bytes);
            return;
        }
        add(kind, bytes);
        open = kind;
    }
    void sequence(char kind, const screen::Sequence& s) {
        require(s.count <= screen::kMaxParams, "too many parameters", s.count);
        require(s.intermediateCount <= screen::kMaxIntermediates + 1, "intermediates unbounded",
                s.intermediateCount);
        for (size_t i = 0; i < s.count; ++i)
            require(s.values[i] >= 0, "negative parameter", s.values[i]);
        std::string t;
        screen::parsing::appendParams(t, s, nullptr);
        t += char('0' + s.malformed) + std::string(1, char('0' + s.tooLarge));
        t.append(s.intermediates, std::min<size_t>(s.intermediateCount, screen::kMaxIntermediates));
        t += char('0' + s.intermediateCount);
        t += s.final;
        add(kind, t);
    }

    void print(std::string_view text) {
        // Whole characters only, as the lead byte counts them.
        require(!text.empty(), "empty text");
        joined('p', text);
    }
    void execute(uint8_t c) { add('x', std::string(1, char(c))); }
    void escDispatch(const screen::Sequence& s) { sequence('e', s); }
    void csiDispatch(const screen::Sequence& s) { sequence('c', s); }
    void stringBegin(screen::StringKind kind, const screen::Sequence& head) {
        sequence(char('A' + int(kind)), head);
    }
    void stringPut(std::string_view fragment) { joined('s', fragment); }
    void stringEnd(bool terminated) { add(terminated ? 'T' : 'C', {}); }
};

// The events of the output fed in chunks of up to maxChunk bytes (0: whole).
std::string eventsOf(std::string_view out, size_t maxChunk, uint32_t seed, bool& ground) {
    screen::Parser<Events> parser;
    Events events;
    Dice dice(seed);
    for (size_t pos = 0; pos < out.size();) {
        size_t n = maxChunk == 0
                       ? out.size()
                       : std::min(out.size() - pos, size_t(1 + dice.below(int64_t(maxChunk))));
        parser.feed(out.substr(pos, n), events);
        pos += n;
        require(parser.unfinished().size() <= 64 + 12 * screen::kMaxParams, "unfinished unbounded",
                int64_t(parser.unfinished().size()));
    }
    ground = parser.inGround();
    return events.log + parser.unfinished();
}

// One visible cell as a terminal shows it: its text and its look, with what
// the look cannot show taken out (an index of a colour that is not indexed),
// and its hyperlink's target (ids differ between grids).
struct Shown {
    std::string text;
    int width = 1;
    screen::Pen pen;
    std::string link;
    bool operator==(const Shown&) const = default;
};

Shown shown(const screen::Row& row, size_t col, int64_t cols, const screen::LinkTable* links) {
    Shown s;
    if (col >= row.size()) {
        s.text = " ";
        return s;
    }
    // The row keeps the rarer looks in a table of its own.
    s.pen = screen::normalized(row.pen(col));
    if (links) s.link = links->text(s.pen.link);
    s.pen.link = 0;
    s.width = row[col].width();
    s.text = row.text(col);
    // A text emoji that a variation selector 16 left narrow (it came in
    // the last column) shows as the emoji alone.
    if (s.width == 1 && screen::isTextEmoji(row.rune(col))) {
        for (size_t at; (at = s.text.find("\xef\xb8\x8f")) != std::string::npos;)
            s.text.erase(at, 3);
    }
    // The left half of a wide character in the last column (the screen was
    // narrowed under it) shows as a blank.
    if (s.width == 2 && int64_t(col) + 1 == cols) {
        s.text = " ";
        s.width = 1;
    }
    return s;
}

// The snapshot of t, fed into a fresh terminal of the same size, shows the
// same cells and puts the cursor in the same place.
void checkSnapshot(const screen::Terminal& t) {
    const Grid& g = t.grid();
    if (g.cols <= 0 || g.height <= 0) return;
    screen::Terminal copy(g.cols, g.height, g.maxScrollback);
    copy.write(t.snapshot());
    const Grid& c = copy.grid();
    checkGrid(c, true);
    const screen::LineIndex top = screen::screenTop(g), copyTop = screen::screenTop(c);
    for (int64_t r = 0; r < g.height; ++r) {
        screen::Row a = g.screen.lines.row(top + r), b = c.screen.lines.row(copyTop + r);
        for (int64_t col = 0; col < g.cols; ++col) {
            Shown want = shown(a, size_t(col), g.cols, g.links.get());
            Shown got = shown(b, size_t(col), g.cols, c.links.get());
            if (want != got) {
                std::fprintf(stderr, "cell '%s' (attrs %d) came back as '%s' (attrs %d)\n",
                             want.text.c_str(), want.pen.attrs, got.text.c_str(), got.pen.attrs);
                fault("snapshot shows another cell (row, column)", r, col);
            }
        }
    }
    const Grid& live = g;
    // Outside the scroll region in origin mode, only a restored cursor can
    // stand, and the snapshot restores it there through the save slot; with
    // a pending wrap, or the slot holding the program's own saved cursor,
    // it has no way to, and the cursor comes back within the region.
    bool unplaceable = false;
    if (live.state.modes.origin && screen::regionActive(live)) {
        auto [top, bottom] = screen::scrollBounds(live);
        unplaceable = (live.cursor.row < top || live.cursor.row > bottom) &&
                      (live.cursor.pendingWrap || live.state.savedCursor);
    }
    const screen::LineIndex liveTop = screen::screenTop(live);
    if (!unplaceable) {
        require(live.cursor.row - liveTop == c.cursor.row - copyTop,
                "snapshot moves the cursor row", live.cursor.row - liveTop, c.cursor.row - copyTop);
        require(live.cursor.col == c.cursor.col, "snapshot moves the cursor column",
                live.cursor.col, c.cursor.col);
        require(live.cursor.pendingWrap == c.cursor.pendingWrap, "snapshot loses a pending wrap",
                live.cursor.pendingWrap, c.cursor.pendingWrap);
        // The state the snapshot sets up, as the public face tells it.
        require(t.cursor() == copy.cursor(), "snapshot moves the cursor");
    }
    require(g.syncActive == c.syncActive, "snapshot loses an open update");
    require(t.alternateScreen() == copy.alternateScreen(), "snapshot leaves another screen");
    require(live.state.modes == c.state.modes, "snapshot loses a mode");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const int64_t cols = data[0] % 161, rows = data[1] % 61, scrollback = data[2] % 40;
    const size_t maxChunk = size_t(1) << (data[3] % 13);
    const uint32_t resizeOdds = data[4];
    Dice dice(data[5]);
    std::string_view out(reinterpret_cast<const char*>(data + 6), size - 6);

    screen::Terminal t(cols, rows, scrollback);
    checkGrid(t.grid(), true);
    for (size_t pos = 0; pos < out.size();) {
        size_t n = std::min(out.size() - pos, size_t(1 + dice.below(int64_t(maxChunk))));
        t.write(out.substr(pos, n));
        pos += n;
        if (resizeOdds != 0 && dice.below(resizeOdds) == 0) {
            // Mostly sizes a window has; now and then none at all.
            int64_t c = dice.below(8) == 0 ? 0 : 1 + dice.below(160);
            int64_t r = dice.below(8) == 0 ? 0 : 1 + dice.below(60);
            t.resize(c, r);
        }
        checkGrid(t.grid(), false);
    }
    checkGrid(t.grid(), true);
    checkSnapshot(t);

    bool groundWhole = false, groundCut = false;
    require(eventsOf(out, 0, 0, groundWhole) == eventsOf(out, maxChunk, data[5], groundCut),
            "the parser reads cut output otherwise");
    require(groundWhole == groundCut, "the parser ends elsewhere for cut output");
    if (resizeOdds == 0) {
        screen::Terminal whole(cols, rows, scrollback);
        whole.write(out);
        require(whole.snapshot() == t.snapshot(), "cut output leaves another screen");
    }
    return 0;
}
