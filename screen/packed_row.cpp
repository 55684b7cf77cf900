#include "screen/packed_row.h"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "screen/placement.h"
#include "screen/utf8.h"

namespace screen::detail {

namespace {

// A run: the first cell it covers and the five attribute bytes.
constexpr size_t kRunBytes = 7;

// A cell the text can describe: a code point of its natural width (a wide
// one followed by its plain right half), written as its UTF-8 alone.
int naturalWidth(uint32_t code) {
    if (isCombining(int32_t(code))) return 0;
    return isWide(int32_t(code)) ? 2 : 1;
}

bool isPlainRightHalf(const Cell& c) {
    return !c.extended() && c.code() == 0 && c.width() == 0;
}

// How many cells starting at i the text describes (0: none, an exception).
size_t describedCells(const Row& row, size_t i) {
    const Cell& c = row[i];
    if (c.extended() || c.code() == 0 || c.code() > 0x10ffff) return 0;
    int w = naturalWidth(c.code());
    if (c.width() != w) return 0;
    if (w != 2) return 1;
    return i + 1 < row.size() && isPlainRightHalf(row[i + 1]) ? 2 : 0;
}

template <typename T>
void putRaw(std::string& out, T v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
}
template <typename T>
T getRaw(const char*& p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    p += sizeof v;
    return v;
}

}  // namespace

size_t PackedRow::Encoding::bytes() const {
    return textBytes + runCount * kRunBytes + exceptions.size();
}

namespace {

// Encodes the cell at i that is not plain ASCII (and a wide character's
// right half with it) at t; returns the index of the next cell and moves
// t past what it wrote.
struct Next {
    size_t i;
    char* t;
};
__attribute__((noinline)) Next encodeRare(const Row& row, size_t i, char* t,
                                          PackedRow::Encoding& out) {
    const Cell& c = row[i];
    size_t described = describedCells(row, i);
    if (described > 0) {
        std::string enc = encodeUtf8(int32_t(c.code()));
        std::memcpy(t, enc.data(), enc.size());
        return {i + described, t + enc.size()};
    }
    // A NUL stands for the next exception: no described cell has code 0.
    *t++ = '\0';
    putRaw(out.exceptions, c.glyphBits());
    putRaw(out.exceptions, c.colorBits());
    if (const Row::Extra* e = row.extra(i)) {
        putRaw(out.exceptions, e->rune);
        putRaw(out.exceptions, e->marks);
        putRaw(out.exceptions, uint32_t(e->text.size()));
        out.exceptions += e->text;
    }
    ++out.exceptionCount;
    return {i + 1, t};
}

// A row's table of rare looks, compactly: the count, then per look a byte
// saying which parts are there and those parts (a colour as its kind, then
// its index or its three bytes when it has one).
enum : uint8_t { kHasFg = 1, kHasBg = 2, kHasUl = 4, kHasAttrs = 8, kHasLink = 16 };

char* putColour(char* out, uint8_t kind, uint8_t index, uint32_t rgb) {
    *out++ = char(kind);
    if (kind == kColorIndexed) *out++ = char(index);
    if (kind == kColorDirect) {
        out[0] = char(rgb >> 16);
        out[1] = char(rgb >> 8);
        out[2] = char(rgb);
        out += 3;
    }
    return out;
}

void getColour(const char*& p, uint8_t& kind, uint8_t& index, uint32_t& rgb) {
    kind = uint8_t(*p++);
    if (kind == kColorIndexed) index = uint8_t(*p++);
    if (kind == kColorDirect) {
        rgb = uint32_t(uint8_t(p[0])) << 16 | uint32_t(uint8_t(p[1])) << 8 | uint8_t(p[2]);
        p += 3;
    }
}

void putLooks(const std::vector<Pen>& looks, std::string& out) {
    // At most 4 bytes of count, then per look 1 + 3 * 4 + 2 + 4 bytes.
    const size_t at = out.size();
    out.resize(at + 4 + looks.size() * 19);
    char* p = out.data() + at;
    const uint32_t count = uint32_t(looks.size());
    std::memcpy(p, &count, 4);
    p += 4;
    for (const Pen& look : looks) {
        uint8_t has = (look.fg ? kHasFg : 0) | (look.bg ? kHasBg : 0) | (look.ul ? kHasUl : 0) |
                      (look.attrs ? kHasAttrs : 0) | (look.link ? kHasLink : 0);
        *p++ = char(has);
        if (has & kHasFg) p = putColour(p, look.fg, look.fgIndex, look.fgRgb);
        if (has & kHasBg) p = putColour(p, look.bg, look.bgIndex, look.bgRgb);
        if (has & kHasUl) p = putColour(p, look.ul, look.ulIndex, look.ulRgb);
        if (has & kHasAttrs) {
            std::memcpy(p, &look.attrs, 2);
            p += 2;
        }
        if (has & kHasLink) {
            std::memcpy(p, &look.link, 4);
            p += 4;
        }
    }
    out.resize(size_t(p - out.data()));
}

std::vector<Pen> getLooks(const char*& p) {
    std::vector<Pen> looks(getRaw<uint32_t>(p));
    for (Pen& look : looks) {
        uint8_t has = uint8_t(*p++);
        if (has & kHasFg) getColour(p, look.fg, look.fgIndex, look.fgRgb);
        if (has & kHasBg) getColour(p, look.bg, look.bgIndex, look.bgRgb);
        if (has & kHasUl) getColour(p, look.ul, look.ulIndex, look.ulRgb);
        if (has & kHasAttrs) look.attrs = getRaw<uint16_t>(p);
        if (has & kHasLink) look.link = getRaw<uint32_t>(p);
    }
    return looks;
}

}  // namespace

namespace {

// Colours and style are the top 39 bits of a cell's 8 bytes.
static_assert(sizeof(Cell) == 8);
constexpr uint64_t kLook = 0xfffffffffe000000ull;

uint64_t bitsOf(const Cell& c) {
    uint64_t bits;
    std::memcpy(&bits, &c, 8);
    return bits;
}

// A cell that the text describes by one byte: code 1..0x7f, width 1, not
// extended.
bool isNarrowAscii(uint32_t glyph) {
    return (glyph & 0x1ffffff) - 0x400001u <= 0x7eu;
}

// The first pass over a row, without a branch (the compiler vectorises
// it): the text byte of each cell into text, whether any cell is not
// narrow ASCII, and whether any has a look other than the first cell's.
struct Survey {
    bool other;
    bool varies;
};
Survey survey(const Cell* cells, size_t n, char* text) {
    const uint64_t firstLook = bitsOf(cells[0]) & kLook;
    uint32_t other = 0;
    uint64_t varies = 0;
    size_t i = 0;
#if defined(__SSE2__)
    // Four cells at a time, as surveyRuns() reads them.
    {
        const __m128i lookMask = _mm_set_epi32(-1, int(0xfe000000), -1, int(0xfe000000));
        const __m128i first = _mm_and_si128(
            _mm_set1_epi64x(static_cast<long long>(bitsOf(cells[0]))), lookMask);
        const __m128i lowByte = _mm_set1_epi32(0xff), codeAndWidth = _mm_set1_epi32(0x1ffffff),
                      biasedFirst = _mm_set1_epi32(int(0x80000000u - 0x400001u)),
                      biasedLast = _mm_set1_epi32(int(0x8000007eu));
        __m128i differ = _mm_setzero_si128(), otherBits = _mm_setzero_si128();
        for (; i + 4 <= n; i += 4) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + i + 2));
            differ = _mm_or_si128(differ, _mm_xor_si128(_mm_and_si128(a, lookMask), first));
            differ = _mm_or_si128(differ, _mm_xor_si128(_mm_and_si128(b, lookMask), first));
            const __m128i glyphs = _mm_castps_si128(
                _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
            __m128i bytes = _mm_and_si128(glyphs, lowByte);
            bytes = _mm_packs_epi32(bytes, bytes);
            const uint32_t four = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(bytes, bytes)));
            std::memcpy(text + i, &four, 4);
            const __m128i biased = _mm_add_epi32(_mm_and_si128(glyphs, codeAndWidth), biasedFirst);
            otherBits = _mm_or_si128(otherBits, _mm_cmpgt_epi32(biased, biasedLast));
        }
        other |= uint32_t(_mm_movemask_epi8(otherBits));
        varies |= uint64_t(_mm_movemask_epi8(_mm_cmpeq_epi8(differ, _mm_setzero_si128())) != 0xffff);
    }
#endif
    for (; i < n; ++i) {
        const uint64_t bits = bitsOf(cells[i]);
        const uint32_t glyph = uint32_t(bits);
        text[i] = char(glyph);
        other |= uint32_t(!isNarrowAscii(glyph));
        varies |= (bits & kLook) ^ firstLook;
    }
    return {other != 0, varies != 0};
}

// Whether the cell at i (from 1 on) looks other than its left neighbour.
bool differsFromLeft(const Cell* cells, size_t i) {
    return ((bitsOf(cells[i]) ^ bitsOf(cells[i - 1])) & kLook) != 0;
}

#if defined(__SSE2__)
// For the two cells cur holds, loaded from cells + at: all ones in both
// lanes of a cell that looks as its left neighbour does (a cell is the same
// when both of its words are, its glyph word masked to the style bits).
inline __m128 sameAsLeft(__m128i cur, const Cell* cells, size_t at) {
    const __m128i mask = _mm_set_epi32(-1, int(0xfe000000), -1, int(0xfe000000));
    __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + at - 1));
    __m128i eq = _mm_cmpeq_epi32(_mm_and_si128(cur, mask), _mm_and_si128(prev, mask));
    return _mm_castsi128_ps(_mm_and_si128(eq, _mm_shuffle_epi32(eq, _MM_SHUFFLE(2, 3, 0, 1))));
}

inline __m128i loadTwo(const Cell* cells, size_t at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + at));
}
#endif

// Calls start(i) for each cell from 1 on whose look differs from its left
// neighbour's, in order.
template <typename Start>
void forEachRunStart(const Cell* cells, size_t n, Start start) {
    // The starts are gathered as bits, 64 cells at a time, and then walked,
    // rather than tested with a branch per cell.
    for (size_t base = 1; base < n; base += 64) {
        const size_t end = std::min(n, base + 64);
        uint64_t starts = 0;
        size_t i = base;
#if defined(__SSE2__)
        // Four cells at a time against their left neighbours.
        for (; i + 4 <= end; i += 4) {
            int kept = _mm_movemask_ps(_mm_shuffle_ps(
                sameAsLeft(loadTwo(cells, i), cells, i),
                sameAsLeft(loadTwo(cells, i + 2), cells, i + 2), _MM_SHUFFLE(2, 0, 2, 0)));
            starts |= uint64_t(~kept & 0xf) << (i - base);
        }
#endif
        for (; i < end; ++i)
            starts |= uint64_t(differsFromLeft(cells, i)) << (i - base);
        for (; starts != 0; starts &= starts - 1)
            start(base + size_t(__builtin_ctzll(starts)));
    }
}

// The survey and the run starts at once, for a row whose look is known to
// vary: the text byte of each cell into text, start(i) for each run start
// from cell 1 on (as forEachRunStart), and whether any cell is not narrow
// ASCII.
template <typename Start>
bool surveyRuns(const Cell* cells, size_t n, char* text, Start start) {
    uint32_t other = 0;
    auto one = [&](size_t i) {
        const uint32_t glyph = cells[i].glyphBits();
        text[i] = char(glyph);
        other |= uint32_t(!isNarrowAscii(glyph));
    };
    one(0);
    for (size_t base = 1; base < n; base += 64) {
        const size_t end = std::min(n, base + 64);
        uint64_t starts = 0;
        size_t i = base;
#if defined(__SSE2__)
        // Four cells at a time: against their left neighbours as in
        // forEachRunStart(), and their glyph words for the text and the
        // check (x unsigned above 0x7e is biased x signed above biased 0x7e).
        const __m128i lowByte = _mm_set1_epi32(0xff), codeAndWidth = _mm_set1_epi32(0x1ffffff),
                      biasedFirst = _mm_set1_epi32(int(0x80000000u - 0x400001u)),
                      biasedLast = _mm_set1_epi32(int(0x8000007eu));
        __m128i otherBits = _mm_setzero_si128();
        for (; i + 4 <= end; i += 4) {
            __m128i a = loadTwo(cells, i), b = loadTwo(cells, i + 2);
            int kept = _mm_movemask_ps(_mm_shuffle_ps(
                sameAsLeft(a, cells, i), sameAsLeft(b, cells, i + 2), _MM_SHUFFLE(2, 0, 2, 0)));
            starts |= uint64_t(~kept & 0xf) << (i - base);
            __m128i glyphs = _mm_castps_si128(
                _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
            __m128i bytes = _mm_and_si128(glyphs, lowByte);
            bytes = _mm_packs_epi32(bytes, bytes);
            const uint32_t four = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(bytes, bytes)));
            std::memcpy(text + i, &four, 4);
            __m128i biased = _mm_add_epi32(_mm_and_si128(glyphs, codeAndWidth), biasedFirst);
            otherBits = _mm_or_si128(otherBits, _mm_cmpgt_epi32(biased, biasedLast));
        }
        other |= uint32_t(_mm_movemask_epi8(otherBits));
#endif
        for (; i < end; ++i) {
            one(i);
            starts |= uint64_t(differsFromLeft(cells, i)) << (i - base);
        }
        for (; starts != 0; starts &= starts - 1)
            start(base + size_t(__builtin_ctzll(starts)));
    }
    return other != 0;
}

// The text of a uniform row (Row::uniform): the low byte of each cell.
void asciiText(const Cell* cells, size_t n, char* text) {
    size_t i = 0;
#if defined(__SSE2__)
    // Eight cells at a time: their glyph words' low bytes, packed down.
    const __m128i lowByte = _mm_set_epi32(0, 0xff, 0, 0xff);
    for (; i + 8 <= n; i += 8) {
        const __m128i a = _mm_and_si128(loadTwo(cells, i), lowByte);
        const __m128i b = _mm_and_si128(loadTwo(cells, i + 2), lowByte);
        const __m128i c = _mm_and_si128(loadTwo(cells, i + 4), lowByte);
        const __m128i d = _mm_and_si128(loadTwo(cells, i + 6), lowByte);
        __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        bytes = _mm_packus_epi16(bytes, bytes);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(text + i), bytes);
    }
#endif
    for (; i < n; ++i)
        text[i] = char(cells[i].glyphBits());
}

}  // namespace

bool PackedRow::encode(const Row& row, Encoding& out) {
    const size_t n = row.size();
    if (n == 0 || n > 0xffff) return false;
    // Scratch space for the text (at most 4 bytes per described cell) and
    // the runs, reused from one line to the next.
    static thread_local std::vector<char> scratch;
    if (scratch.size() < n * (4 + kRunBytes) + 16) scratch.resize(n * (4 + kRunBytes) + 16);
    char* const textStart = scratch.data();
    char* const runStart = textStart + n * 4 + 8;
    const Cell* const cells = row.data();

    // Runs of equal colours and style.
    char* r = runStart;
    auto startRun = [&](size_t i) {
        const uint32_t colors = cells[i].colorBits();
        uint16_t start = uint16_t(i);
        std::memcpy(r, &start, 2);
        std::memcpy(r + 2, &colors, 4);
        r[6] = char(cells[i].glyphBits() >> 25);
        r += kRunBytes;
    };
    startRun(0);
    bool other;
    if (row.uniform()) {
        // Text that putAscii() alone wrote, in one look: its bytes, one run.
        asciiText(cells, n, textStart);
        other = false;
    } else if (((bitsOf(cells[0]) ^ bitsOf(cells[n - 1])) & kLook) != 0) {
        // The look varies (its ends differ): one pass for everything.
        other = surveyRuns(cells, n, textStart, startRun);
    } else {
        const Survey found = survey(cells, n, textStart);
        other = found.other;
        if (found.varies) forEachRunStart(cells, n, startRun);
    }

    // The table of rare looks, then the text of rows with other cells.
    out.exceptions.clear();
    out.exceptionCount = 0;
    out.looks = row.looks() != nullptr;
    out.wrapped = row.wrapped();
    if (out.looks) putLooks(*row.looks(), out.exceptions);
    char* t = textStart + n;
    if (other) {
        t = textStart;
        for (size_t i = 0; i < n;) {
            const uint32_t glyph = cells[i].glyphBits();
            if (isNarrowAscii(glyph)) {
                *t++ = char(glyph);
                ++i;
            } else {
                Next next = encodeRare(row, i, t, out);
                i = next.i;
                t = next.t;
            }
        }
    }
    out.text = textStart;
    out.textBytes = size_t(t - textStart);
    out.runs = runStart;
    out.runCount = size_t(r - runStart) / kRunBytes;
    out.cells = n;
    return out.runCount <= 0xffff && out.exceptionCount <= 0xffff;
}

void PackedRow::store(const Encoding& enc) {
    cells_ = uint32_t(enc.cells) | (enc.looks ? kHasLooks : 0) | (enc.wrapped ? kWrapped : 0);
    textBytes_ = uint32_t(enc.textBytes);
    runs_ = uint16_t(enc.runCount);
    exceptions_ = uint16_t(enc.exceptionCount);
    exceptionBytes_ = uint32_t(enc.exceptions.size());
    char* d = data();
    std::memcpy(d, enc.text, enc.textBytes);
    d += enc.textBytes;
    std::memcpy(d, enc.runs, enc.runCount * kRunBytes);
    d += enc.runCount * kRunBytes;
    if (!enc.exceptions.empty()) std::memcpy(d, enc.exceptions.data(), enc.exceptions.size());
}

Row PackedRow::unpack() const {
    Row row;
    row.reserve(cellCount());
    std::string_view text(data(), textBytes_);
    const char* ex = data() + textBytes_ + size_t(runs_) * kRunBytes;
    if (cells_ & kHasLooks) row.setLooks(getLooks(ex));
    row.setWrapped(wrapped());
    for (size_t pos = 0; pos < text.size();) {
        if (text[pos] == '\0') {
            ++pos;
            uint32_t glyph = getRaw<uint32_t>(ex);
            uint32_t colors = getRaw<uint32_t>(ex);
            Cell c = Cell::fromBits(glyph, colors);
            if (!c.extended()) {
                row.put(row.size(), c);
                continue;
            }
            Row::Extra e;
            e.rune = getRaw<int32_t>(ex);
            e.marks = uint8_t(getRaw<uint8_t>(ex));
            uint32_t len = getRaw<uint32_t>(ex);
            e.text.assign(ex, len);
            ex += len;
            row.put(row.size(), c);
            row.putExtra(row.size() - 1, c, std::move(e));
            continue;
        }
        Utf8Step s = decodeUtf8(text, pos);
        pos += s.length;
        int w = naturalWidth(uint32_t(s.rune));
        row.put(row.size(), Cell::make(uint32_t(s.rune), w, Pen{}));
        if (w == 2) row.put(row.size(), Cell::make(0, 0, Pen{}));
    }
    // Attributes, run by run.
    const char* r = data() + textBytes_;
    for (size_t k = 0; k < runs_; ++k) {
        uint16_t start = getRaw<uint16_t>(r);
        uint32_t colors = getRaw<uint32_t>(r);
        uint32_t style = uint8_t(*r++);
        size_t end = row.size();
        if (k + 1 < runs_) {
            const char* next = r;
            end = getRaw<uint16_t>(next);
        }
        for (size_t i = start; i < end && i < row.size(); ++i) {
            const Cell& c = row[i];
            row.put(i, Cell::fromBits((c.glyphBits() & ~(0x7fu << 25)) | style << 25, colors));
        }
    }
    return row;
}

void PackedRow::appendText(std::string& out) const {
    if (exceptions_ == 0) {
        out.append(data(), textBytes_);
        return;
    }
    unpack().appendAllText(out);
}

}  // namespace screen::detail
