#include "screen/interpreter.h"

#include <algorithm>
#include <cstring>

#include "screen/function_table.h"
#include "screen/functions.h"
#include "screen/sgr.h"
#include "screen/utf8.h"

namespace screen {

namespace {

// The line-drawing set replaces 0x60..0x7E with box-drawing and a few other
// symbols, as terminals that declare the capability do; the British set
// replaces "#" with a pound sign. Text goes in character by character, so
// insert mode and autowrap apply.
void putCharset(Writer& w, const char* bytes, size_t n) {
    static constexpr int32_t kGraphics[] = {
        0x25c6, 0x2592, 0x2409, 0x240c, 0x240d, 0x240a, 0x00b0, 0x00b1, 0x2424, 0x240b, 0x2518,
        0x2510, 0x250c, 0x2514, 0x253c, 0x23ba, 0x23bb, 0x2500, 0x23bc, 0x23bd, 0x251c, 0x2524,
        0x2534, 0x252c, 0x2502, 0x2264, 0x2265, 0x03c0, 0x2260, 0x00a3, 0x00b7,
    };
    Charset set = w.state().charsets.active();
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (set == Charset::LineDrawing && b >= 0x60 && b <= 0x7e) {
            w.putRune(kGraphics[b - 0x60]);
        } else if (set == Charset::British && b == '#') {
            w.putRune(0xa3);
        } else {
            w.putRune(b);
        }
    }
}

// The table's reader of graphic rendition: the lane carries out no
// sequence but through what the table names.
constexpr LaneReader kReadSgr = laneReader(csi("m"));

// Text that fits the cursor row, and graphic rendition between its runs:
// the bulk of most output, carried out here with the cursor column kept
// locally (nothing else is touched meanwhile but the row and the pen).
// Stops at anything else, or at text that would wrap, and returns where.
// Requires 0 <= cursorCol < cols <= kMaxColumns, no pending wrap and the
// ASCII character set.
size_t textLane(Writer& w, const char* p, size_t pos, size_t n) {
    const Grid& g = w.grid();
    Row& row = w.textRow();
    const size_t cols = size_t(g.cols);
    size_t col = size_t(g.cursor.col);
    PenBits pen = packPen(g.state.pen);
    // Most pens are common: their cell is made from the bits alone. A rare
    // one takes the rest from the pen, which gets the direct colours the
    // rendition that made it chose.
    auto cellOf = [&](PenBits bits, const Rendition& made) {
        if (g.state.pen.link == 0 && !rareBits(bits)) return commonPenCell(bits);
        made.applyDirect(w.state().pen);
        return row.penCell(unpackPen(bits, g.state.pen));
    };
    Cell penCell = cellOf(pen, Rendition{});
    int32_t last = g.lastRune;
    while (pos < n) {
        unsigned char b = static_cast<unsigned char>(p[pos]);
        if (parsing::isPrintableAscii(b)) {
            size_t end = size_t(parsing::printableRunEnd(p + pos + 1, p + n) - p);
            size_t len = end - pos;
            if (col + len > cols) break;
            if (col == row.size() && len <= 8 && n - pos >= 8) {
                // Appended: no wide character can be cut.
                row.appendShortAscii(p + pos, len, penCell);
            } else {
                row.padTo(col);
                row.detachWide(col, col + len);
                row.putAscii(col, p + pos, len, penCell);
            }
            col += len;
            pos = end;
            last = static_cast<unsigned char>(p[pos - 1]);
            continue;
        }
        // Other sequences, graphic renditions of other kinds included, go
        // the general way.
        if (b != parsing::kEsc || pos + 2 >= n || p[pos + 1] != '[') break;
        Rendition common;
        const char* final = kReadSgr(p + pos + 2, p + n, common);
        if (!final) break;
        pen = common.apply(pen);
        penCell = cellOf(pen, common);
        pos = size_t(final - p) + 1;
        last = -1;
    }
    w.endTextRun(int64_t(col), last);
    setPenBits(w.state().pen, pen);
    return pos;
}

}  // namespace

void ScreenInput::print(std::string_view text) {
    const Grid& g = w.grid();
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        unsigned char b = static_cast<unsigned char>(*p);
        if (parsing::isPrintableAscii(b)) {
            // Plain text goes in as a run.
            const char* run = parsing::printableRunEnd(p + 1, end);
            if (!plainWriting(g)) {
                putCharset(w, p, size_t(run - p));
            } else {
                w.putAscii(p, size_t(run - p));
            }
            p = run;
            continue;
        }
        // The parser hands over whole characters only.
        Utf8Step s = decodeUtf8(std::string_view(p, size_t(end - p)), 0);
        // Controls decoded from overlong forms are not printed either.
        if (s.rune >= 0x20 && s.rune != 0x7f) w.putRune(s.rune);
        p += s.length;
    }
}

const char* ScreenInput::lane(const char* p, const char* end) {
    const Grid& g = w.grid();
    const size_t n = size_t(end - p);
    if (*p == parsing::kEsc) {
        // The commonest graphic renditions, read from the bytes by the
        // table's reader: the same as the table's SGR does with them.
        Rendition common;
        if (n <= 2 || p[1] != '[') return p;
        const char* q = parsing::paramsEnd(p + 2, end);
        if (q == end || *q != 'm') return p;
        const char* final = kReadSgr(p + 2, end, common);
        if (!final) return p;
        common.apply(w.state().pen);
        w.breakRepeat();
        return final + 1;
    }
    if (!plainWriting(g)) return p;
    const char* run = parsing::printableRunEnd(p + 1, end);
    w.putAscii(p, size_t(run - p));
    size_t pos = size_t(run - p);
    if (!g.cursor.pendingWrap && g.cols > 0 && g.cols <= kMaxColumns && g.cursor.col >= 0 &&
        g.cursor.col < g.cols)
        pos = textLane(w, p, pos, n);
    return p + pos;
}

void ScreenInput::execute(uint8_t c0) {
    runControl(w, c0);
}

void ScreenInput::escDispatch(const Sequence& s) {
    runControlFunction(w, s);
}

void ScreenInput::csiDispatch(const Sequence& s) {
    runControlFunction(w, s);
}

void ScreenInput::stringBegin(StringKind kind, const Sequence& header) {
    w.breakRepeat();
    in.kind = kind;
    in.body.clear();
    in.overflow = false;
    // A device control string is named by its head, read before its body.
    if (kind == StringKind::Dcs) in.head = header;
}

void ScreenInput::stringPut(std::string_view fragment) {
    if (in.overflow) return;
    if (in.body.size() + fragment.size() > kMaxHeld) {
        in.overflow = true;
        in.body.clear();
        in.body.shrink_to_fit();
        return;
    }
    in.body.append(fragment);
}

void ScreenInput::stringEnd(bool terminated) {
    std::string body = std::move(in.body);
    in.body.clear();
    // SOS, PM and APC strings are consumed and ignored.
    if (!terminated || in.overflow) return;
    if (in.kind == StringKind::Osc || in.kind == StringKind::Dcs)
        runString(w, in.kind, in.head, body);
}

void feed(Grid& g, std::string_view chunk, SyncClock::time_point now) {
    ScreenInput h{Writer(g), g.input};
    h.w.setClock(now);
    g.input.parser.feed(chunk, h);
}

std::string unfinishedInput(const Grid& g) {
    return g.input.parser.unfinished(g.input.body);
}

std::optional<SyncClock::time_point> syncDeadline(const Grid& g) {
    if (!g.syncActive) return std::nullopt;
    return g.syncBegan + kSyncTimeout;
}

void endOverdueSync(Grid& g, SyncClock::time_point now) {
    Writer(g).endOverdueUpdate(now);
}

}  // namespace screen
