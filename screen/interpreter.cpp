#include "screen/interpreter.h"

#include <algorithm>
#include <cstring>

#include "screen/editing.h"
#include "screen/functions.h"
#include "screen/modes.h"
#include "screen/placement.h"
#include "screen/sgr.h"
#include "screen/tabs.h"
#include "screen/utf8.h"

namespace screen {

namespace {

constexpr unsigned char kEsc = 0x1b;

// Where an escape sequence that starts at an ESC ends.
struct Extent {
    size_t end;  // one past its last byte
    bool unfinished;
};

// A control sequence is read whole: parameter bytes (0x30..0x3F), then
// intermediates (0x20..0x2F), then a final byte (0x40..0x7E). C0 controls
// inside are carried out; CAN and SUB abandon it (and are consumed), ESC
// abandons it and starts a new sequence; DEL and 8-bit bytes are ignored.
Extent scanCsi(std::string_view d, size_t i) {
    for (size_t j = i + 2; j < d.size(); ++j) {
        unsigned char b = static_cast<unsigned char>(d[j]);
        if (b >= 0x40 && b <= 0x7e) return {j + 1, false};
        if (b == 0x18 || b == 0x1a) return {j + 1, false};
        if (b == kEsc) return {j, false};
    }
    return {d.size(), true};
}

// A string runs to ESC "\" (or BEL, for operating-system strings); an ESC
// followed by anything else is part of it.
Extent scanString(std::string_view d, size_t i, bool belEnds) {
    for (size_t j = i + 2; j < d.size(); ++j) {
        unsigned char b = static_cast<unsigned char>(d[j]);
        if (b == 0x07 && belEnds) return {j + 1, false};
        if (b == kEsc) {
            if (j + 1 == d.size()) break;
            if (d[j + 1] == '\\') return {j + 2, false};
        }
    }
    return {d.size(), true};
}

Extent scanEscape(std::string_view d, size_t i) {
    if (i + 1 >= d.size()) return {d.size(), true};
    unsigned char c = static_cast<unsigned char>(d[i + 1]);
    switch (c) {
        case '[':
            return scanCsi(d, i);
        case ']':
            return scanString(d, i, true);
        case 'P':
        case '_':
        case '^':
        case 'X':
            return scanString(d, i, false);
        case kEsc:
            return {i + 1, false};  // the second ESC starts its own sequence
        default:
            break;
    }
    if (c >= 0x20 && c <= 0x2f) {
        // Intermediates (character-set designations and the like), then
        // one final byte.
        size_t j = i + 1;
        while (j < d.size() && static_cast<unsigned char>(d[j]) >= 0x20 &&
               static_cast<unsigned char>(d[j]) <= 0x2f)
            ++j;
        if (j == d.size()) return {d.size(), true};
        if (static_cast<unsigned char>(d[j]) == kEsc) return {j, false};
        return {j + 1, false};
    }
    return {i + 2, false};
}

// The final byte of an escape sequence: 0x30..0x7E.
bool isFinalOrDigit(char c) {
    return c >= 0x30 && c <= 0x7e;
}

// OSC 8 ; params ; target: text written next is linked to the target,
// until a hyperlink with an empty target.
void hyperlink(Grid& g, std::string_view text) {
    size_t semi = text.find(';');
    if (semi == std::string_view::npos) return;
    std::string_view uri = text.substr(semi + 1);
    g.pen.link = uri.empty() ? 0 : g.links->intern(text.substr(0, semi), uri);
}

void control(Grid& g, unsigned char b) {
    g.lastRune = -1;
    switch (b) {
        case 0x08:
            backspace(g);
            break;
        case 0x09:
            tab(g);
            break;
        case 0x0a:
        case 0x0b:
        case 0x0c:
            indexLine(g);
            break;
        case 0x0d:
            g.cursor.pendingWrap = false;
            g.cursor.col = 0;
            break;
        case 0x0e:  // SO: G1 in use
            g.charsets.shifted = true;
            break;
        case 0x0f:  // SI: G0 again
            g.charsets.shifted = false;
            break;
        default:
            break;  // other controls are consumed without a trace
    }
}

// A control sequence with plain parameter bytes and no intermediates,
// the commonest kind, carried out by its name.
void plainControlSequence(Grid& g, std::string_view params, char final) {
    Sequence s;
    readParams(params, s);
    s.final = final;
    runControlFunction(g, s);
}

// Carries out the control sequence in d[from, end) (after ESC "["): its
// parameter bytes, intermediates and final byte, with C0 controls among
// them carried out as they come.
void controlSequence(Grid& g, std::string_view d, size_t from, size_t end) {
    // The parameter bytes are nearly always contiguous; a control or an
    // ignored byte among them makes a copy necessary.
    size_t paramEnd = from;
    std::string gathered;
    bool scattered = false, misplaced = false;
    Sequence s;
    for (size_t j = from; j < end; ++j) {
        unsigned char b = static_cast<unsigned char>(d[j]);
        if (b >= 0x30 && b <= 0x3f) {
            if (s.intermediateCount > 0) {
                misplaced = true;  // parameters after intermediates
            } else if (!scattered && j == paramEnd) {
                ++paramEnd;
            } else {
                if (!scattered) gathered.assign(d.substr(from, paramEnd - from));
                scattered = true;
                gathered += char(b);
            }
        } else if (b >= 0x20 && b <= 0x2f) {
            if (s.intermediateCount < kMaxIntermediates)
                s.intermediates[s.intermediateCount] = char(b);
            else
                misplaced = true;
            // The count stops one past the most kept, so it cannot wrap.
            if (s.intermediateCount <= kMaxIntermediates) ++s.intermediateCount;
        } else if (b >= 0x40 && b <= 0x7e) {
            readParams(scattered ? std::string_view(gathered) : d.substr(from, paramEnd - from), s);
            s.final = char(b);
            s.malformed = s.malformed || misplaced;
            runControlFunction(g, s);
            return;
        } else if (b < 0x20) {
            if (b == 0x18 || b == 0x1a || b == kEsc) return;
            control(g, b);
        }
    }
}

void escape(Grid& g, std::string_view d, size_t pos, size_t end) {
    char kind = d[pos + 1];
    if (kind == '[') {
        controlSequence(g, d, pos + 2, end);
        return;
    }
    g.lastRune = -1;
    if (kind == ']') {
        // The command's text runs to BEL or ESC "\".
        size_t stop = end - (d[end - 1] == '\\' ? 2 : 1);
        if (stop > pos + 2) {
            std::string_view text = d.substr(pos + 2, stop - pos - 2);
            askIfStringQuery(g, kind, text);
            if (text.substr(0, 2) == "8;")
                hyperlink(g, text.substr(2));
            else
                operatingSystemCommand(g, text);
        }
        return;
    }
    // Device control strings may be queries; they and the other strings
    // are otherwise consumed and ignored.
    if (kind == 'P' && end - pos >= 4) askIfStringQuery(g, kind, d.substr(pos + 2, end - pos - 4));
    if (kind == 'P' || kind == '_' || kind == '^' || kind == 'X') return;
    // Intermediates, then the final byte.
    Sequence s;
    s.kind = Sequence::Esc;
    size_t j = pos + 1;
    for (; j + 1 < end; ++j) {
        if (s.intermediateCount < kMaxIntermediates) s.intermediates[s.intermediateCount] = d[j];
        // The count stops one past the most kept, so it cannot wrap.
        if (s.intermediateCount <= kMaxIntermediates) ++s.intermediateCount;
    }
    if (j >= end) return;
    s.final = d[j];
    if (s.intermediateCount > kMaxIntermediates || !isFinalOrDigit(s.final)) {
        ++g.unknownFunctions;
        return;
    }
    runControlFunction(g, s);
}

// The line-drawing set replaces 0x60..0x7E with box-drawing and a few other
// symbols, as terminals that declare the capability do; the British set
// replaces "#" with a pound sign. Text goes in character by character, so
// insert mode and autowrap apply.
void putCharset(Grid& g, const char* bytes, size_t n) {
    static constexpr int32_t kGraphics[] = {
        0x25c6, 0x2592, 0x2409, 0x240c, 0x240d, 0x240a, 0x00b0, 0x00b1, 0x2424, 0x240b, 0x2518,
        0x2510, 0x250c, 0x2514, 0x253c, 0x23ba, 0x23bb, 0x2500, 0x23bc, 0x23bd, 0x251c, 0x2524,
        0x2534, 0x252c, 0x2502, 0x2264, 0x2265, 0x03c0, 0x2260, 0x00a3, 0x00b7,
    };
    Charset set = g.charsets.active();
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (set == Charset::LineDrawing && b >= 0x60 && b <= 0x7e) {
            putRune(g, kGraphics[b - 0x60]);
        } else if (set == Charset::British && b == '#') {
            putRune(g, 0xa3);
        } else {
            putRune(g, b);
        }
    }
}

struct Stop {
    enum Kind { End, Unfinished } kind;
    size_t at;
};

bool isPrintableAscii(unsigned char b) {
    return b >= 0x20 && b < 0x7f;
}

// The end of the run of printable ASCII bytes from pos, eight at a time.
size_t printableRunEnd(const char* p, size_t pos, size_t n) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    while (pos + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, p + pos, 8);
        // A byte below 0x20, or above 0x7e (0x7f and every 8-bit byte).
        uint64_t below = (w - 0x20 * kOnes) & ~w & kHighs;
        uint64_t above = ((w + kOnes) | w) & kHighs;
        // Carries and borrows may mark bytes after the first one that
        // fails, never before it.
        if (uint64_t bad = below | above) return pos + size_t(__builtin_ctzll(bad) >> 3);
        pos += 8;
    }
    while (pos < n && isPrintableAscii(static_cast<unsigned char>(p[pos])))
        ++pos;
    return pos;
}

// The end of the parameter bytes (0x30..0x3F) of a control sequence from
// pos, eight at a time.
[[gnu::always_inline]] inline size_t paramsEnd(const char* p, size_t pos, size_t n) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    while (pos + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, p + pos, 8);
        // Bytes whose high nibble is not 3.
        if (uint64_t beyond = (w & 0xf0 * kOnes) ^ 0x30 * kOnes)
            return pos + size_t(__builtin_ctzll(beyond) >> 3);
        pos += 8;
    }
    while (pos < n && (p[pos] & 0xf0) == 0x30)
        ++pos;
    return pos;
}

bool isFinalByte(unsigned char b) {
    return b >= 0x40 && b <= 0x7e;
}

// One per thread, so that terminals fed on different threads never share
// it; what it holds depends on nothing but the bytes it has seen.
constinit thread_local SgrMemo sgrMemo;

// Text that fits the cursor row, and graphic rendition between its runs:
// the bulk of most output, carried out here with the cursor column kept
// locally (nothing else is touched meanwhile but the row and the pen).
// Stops at anything else, or at text that would wrap, and returns where.
// Requires 0 <= cursorCol < cols <= kMaxColumns, no pending wrap and the
// ASCII character set.
size_t textLane(Grid& g, const char* p, size_t pos, size_t n) {
    Row& row = cursorLine(g);
    const size_t cols = size_t(g.cols);
    size_t col = size_t(g.cursor.col);
    PenBits pen = packPen(g.pen);
    // Most pens are common: their cell is made from the bits alone.
    auto cellOf = [&](PenBits bits) {
        return g.pen.link == 0 && !rareBits(bits) ? commonPenCell(bits)
                                                  : row.penCell(unpackPen(bits, g.pen));
    };
    Cell penCell = cellOf(pen);
    int32_t last = g.lastRune;
    while (pos < n) {
        unsigned char b = static_cast<unsigned char>(p[pos]);
        if (isPrintableAscii(b)) {
            size_t end = printableRunEnd(p, pos + 1, n);
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
        if (b != kEsc || pos + 2 >= n || p[pos + 1] != '[') break;
        Rendition common;
        const char* final = sgrMemo.read(p + pos + 2, p + n, common);
        if (!final) break;
        pen = common.apply(pen);
        penCell = cellOf(pen);
        pos = size_t(final - p) + 1;
        last = -1;
    }
    g.lastRune = last;
    g.cursor.col = int64_t(col);
    g.cursor.pendingWrap = col >= cols;
    setPenBits(g.pen, pen);
    return pos;
}

// One pass over d from pos, up to an unfinished sequence at the end (held
// for the next chunk when holdTail is set).
Stop interpret(Grid& g, std::string_view d, size_t pos, bool holdTail) {
    const size_t n = d.size();
    const char* p = d.data();
    while (pos < n) {
        unsigned char b = static_cast<unsigned char>(p[pos]);
        if (isPrintableAscii(b)) {
            // Plain text goes in as a run.
            size_t end = printableRunEnd(p, pos + 1, n);
            if (!plainWriting(g)) {
                putCharset(g, p + pos, end - pos);
                pos = end;
                continue;
            }
            putAscii(g, p + pos, end - pos);
            pos = end;
            if (!g.cursor.pendingWrap && g.cols > 0 && g.cols <= kMaxColumns && g.cursor.col >= 0 &&
                g.cursor.col < g.cols)
                pos = textLane(g, p, pos, n);
            continue;
        }
        if (b == kEsc) {
            // Most control sequences are parameter bytes, then the final
            // byte: carried out without the general scan.
            if (pos + 2 < n && p[pos + 1] == '[' && p[pos + 2] != '?') {
                size_t end = paramsEnd(p, pos + 2, n);
                if (end < n && isFinalByte(static_cast<unsigned char>(p[end]))) {
                    Rendition common;
                    if (p[end] == 'm' && sgrMemo.read(p + pos + 2, p + n, common)) {
                        setPenBits(g.pen, common.apply(packPen(g.pen)));
                        g.lastRune = -1;
                    } else
                        plainControlSequence(g, std::string_view(p + pos + 2, end - pos - 2),
                                             p[end]);
                    pos = end + 1;
                    continue;
                }
            }
            Extent e = scanEscape(d, pos);
            if (e.unfinished) return {Stop::Unfinished, pos};
            escape(g, d, pos, e.end);
            pos = e.end;
            continue;
        }
        if (b < 0x20 || b == 0x7f) {
            control(g, b);
            ++pos;
            continue;
        }
        Utf8Step s = decodeUtf8(d, pos);
        if (!s.complete) {
            if (holdTail) return {Stop::Unfinished, pos};
            putRune(g, 0xfffd);
            return {Stop::End, n};
        }
        // Controls decoded from overlong forms are not printed either.
        if (s.rune >= 0x20 && s.rune != 0x7f) putRune(g, s.rune);
        pos += s.length;
    }
    return {Stop::End, n};
}

// Keeps the unfinished tail for the next chunk, within kMaxHeld: a longer
// string is still skipped to its terminator (only its opening and a final
// ESC are kept), and so is a longer control sequence: it keeps an opening
// with an intermediate byte, so that the parameters still to come make it
// malformed and it is consumed whole and ignored, never printed.
void hold(Grid& g, std::string_view tail) {
    if (tail.size() <= kMaxHeld) {
        g.held.assign(tail);
        return;
    }
    char kind = tail.size() > 1 ? tail[1] : 0;
    if (kind == ']' || kind == 'P' || kind == '_' || kind == '^' || kind == 'X') {
        g.held.assign(tail.substr(0, 2));
        if (static_cast<unsigned char>(tail.back()) == kEsc) g.held += char(kEsc);
    } else if (kind == '[') {
        g.held.assign("\x1b[ ");
    } else {
        g.held.clear();
    }
}

}  // namespace

void feed(Grid& g, std::string_view chunk, SyncClock::time_point now) {
    std::string joined;
    std::string_view data = chunk;
    if (!g.held.empty()) {
        joined = std::move(g.held);
        joined.append(chunk);
        data = joined;
    }
    g.held.clear();
    g.now = now;
    Stop s = interpret(g, data, 0, true);
    if (s.kind == Stop::Unfinished) hold(g, data.substr(s.at));
}

std::optional<SyncClock::time_point> syncDeadline(const Grid& g) {
    if (!g.syncActive) return std::nullopt;
    return g.syncBegan + kSyncTimeout;
}

void endOverdueSync(Grid& g, SyncClock::time_point now) {
    if (!g.syncActive || now < g.syncBegan + kSyncTimeout) return;
    g.syncActive = false;
    addWarning(g, "DEC 2026 sync update ended after its timeout");
}

void feedRaw(Grid& g, std::string_view bytes) {
    interpret(g, bytes, 0, false);
}

std::pair<std::string, std::string> splitHeldEscape(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        size_t next = i + 1;
        if (b == kEsc) {
            Extent e = scanEscape(bytes, i);
            if (e.unfinished) break;
            next = e.end;
        } else if (b >= 0xc0) {
            next = i + utf8Length(b);
            if (next > bytes.size()) break;
        }
        i = next;
    }
    return {std::string(bytes.substr(0, i)), std::string(bytes.substr(i))};
}

}  // namespace screen
