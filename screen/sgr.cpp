#include "screen/sgr.h"

#include <array>
#include <cstring>

namespace screen {

namespace {

// The parts of a PenBits.
constexpr PenBits kFg = 0xff, kBg = 0xff00, kFgIndex = 0xff0000, kBgIndex = 0xff000000;
constexpr PenBits styleBits(uint16_t bits) {
    return PenBits(bits) << 32;
}
constexpr Rendition setting(PenBits bits) {
    return {~PenBits(0), bits};
}
constexpr Rendition clearing(PenBits bits) {
    return {~bits, 0};
}
// The byte at shift set to value.
constexpr Rendition byteSetting(int shift, uint8_t value) {
    return {~(PenBits(0xff) << shift), PenBits(value) << shift};
}

// What one code does: a rendition, or for 38 and 48 an extended colour
// read from the fields after them, for the colour whose kind byte is at
// colorShift (its index byte is 16 bits above).
struct Effect {
    Rendition rendition;
    int colorShift = -1;
};

constexpr Effect effectOf(int code) {
    switch (code) {
        case 0:
            return {kResetRendition};
        case 1:
            return {setting(styleBits(kBold))};
        case 2:
            return {setting(styleBits(kDim))};
        case 3:
            return {setting(styleBits(kItalic))};
        case 4:
            return {setting(styleBits(kUnderline))};
        case 5:
        case 6:
            return {setting(styleBits(kBlink))};
        case 7:
            return {setting(styleBits(kInverse))};
        case 9:
            return {setting(styleBits(kStrike))};
        case 22:
            return {clearing(styleBits(kBold | kDim))};
        case 23:
            return {clearing(styleBits(kItalic))};
        case 24:
            return {clearing(styleBits(kUnderline))};
        case 25:
            return {clearing(styleBits(kBlink))};
        case 27:
            return {clearing(styleBits(kInverse))};
        case 29:
            return {clearing(styleBits(kStrike))};
        case 38:
            return {{}, 0};
        case 39:
            return {clearing(kFg | kFgIndex)};
        case 48:
            return {{}, 8};
        case 49:
            return {clearing(kBg | kBgIndex)};
        default:
            break;
    }
    if (code >= 30 && code <= 37) return {byteSetting(0, uint8_t(code - 29))};
    if (code >= 40 && code <= 47)
        return {clearing(kBgIndex).then(byteSetting(8, uint8_t(code - 39)))};
    if (code >= 90 && code <= 97) return {byteSetting(0, uint8_t(code - 81))};
    if (code >= 100 && code <= 107) return {byteSetting(8, uint8_t(code - 91))};
    return {};
}

// The code table, as data: a field is applied without a jump through a
// switch (which colour output, code after code, would mispredict).
// Codes past its end do nothing.
constexpr std::array<Effect, 108> kEffects = [] {
    std::array<Effect, 108> table{};
    for (int code = 0; code < 108; ++code)
        table[size_t(code)] = effectOf(code);
    return table;
}();

// The colour "5;index" makes, for the colour whose kind byte is at shift:
// 0..15 are palette kinds, the rest an entry of the 256-colour table.
Rendition indexedColor(int shift, uint32_t index) {
    const bool palette = index <= 15;
    const PenBits kind = palette ? PenBits(index + 1) : PenBits(kColorIndexed);
    const PenBits entry = palette ? 0 : index;
    return {~((kFg | kFgIndex) << shift), (kind | entry << 16) << shift};
}

// One parameter: its value when it is a decimal number that fits, and its
// length (so that "5" and "05" can be told apart).
struct Field {
    int64_t value = 0;
    uint32_t length = 0;
    bool readable = false;
};

bool isExactly(const Field& f, int64_t v) {
    return f.readable && f.length == 1 && f.value == v;
}

// The fields of any parameter text, read in order. A field starts at pos
// exactly when pos <= text.size() (a trailing ";" leaves an empty one);
// past the last field pos is text.size() + 1.
class Fields {
  public:
    explicit Fields(std::string_view text) : text_(text) {}
    bool more() const { return pos_ <= text_.size(); }
    Field next() { return read(pos_); }
    // The extended colour forms after a 38 or 48, for the colour whose
    // kind byte is at shift: the fields they take are consumed only when
    // they make a colour.
    void extendedColor(Rendition& r, int shift);
    // False once a field held a byte other than a digit.
    bool plain() const { return plain_; }

  private:
    Field read(size_t& pos);

    std::string_view text_;
    size_t pos_ = 0;
    bool plain_ = true;
};

// Reads the field that starts at pos (at most text_.size()) and moves pos
// to the start of the next one.
Field Fields::read(size_t& pos) {
    // Up to 18 digits always fit, so they are read without overflow checks
    // (a longer run wraps and is read again).
    const char* const start = text_.data() + pos;
    const char* const end = text_.data() + text_.size();
    const char* s = start;
    uint64_t quick = 0;
    for (unsigned digit; s != end && (digit = unsigned(static_cast<unsigned char>(*s)) - '0') <= 9;
         ++s)
        quick = quick * 10 + digit;
    const size_t digits = size_t(s - start);
    if (digits <= 18 && (s == end || *s == ';')) {
        pos += digits + 1;
        return Field{int64_t(quick), uint32_t(digits), digits > 0};
    }
    // Other bytes, or a number too long to read.
    Field f;
    bool ok = true;
    size_t i = pos;
    for (; i < text_.size() && text_[i] != ';'; ++i) {
        char c = text_[i];
        if (c < '0' || c > '9') {
            ok = false;
            plain_ = false;
        } else if (__builtin_mul_overflow(f.value, 10, &f.value) ||
                   __builtin_add_overflow(f.value, c - '0', &f.value)) {
            ok = false;
        }
    }
    f.length = uint32_t(i - pos);
    f.readable = ok && f.length > 0;
    pos = i + 1;
    return f;
}

void Fields::extendedColor(Rendition& r, int shift) {
    const size_t n = text_.size();
    size_t p = pos_;
    if (p > n) return;
    Field form = read(p);
    if (isExactly(form, 5) && p <= n) {
        Field v = read(p);
        if (v.readable && v.value <= 255) r = r.then(indexedColor(shift, uint32_t(v.value)));
        pos_ = p;
        return;
    }
    if (isExactly(form, 2)) {
        // Three colour fields must follow; they are consumed unread.
        for (int k = 0; k < 3; ++k) {
            if (p > n) return;
            read(p);
        }
        r = r.then(byteSetting(shift, kColorDirect));
        pos_ = p;
    }
}

}  // namespace

Rendition renditionOf(std::string_view params) {
    Fields src(params);
    Rendition r;
    while (src.more()) {
        Field field = src.next();
        // An empty field counts as 0; one that is not a number is skipped.
        if (field.length > 0 && !field.readable) continue;
        if (uint64_t(field.value) >= kEffects.size()) continue;
        const Effect& e = kEffects[size_t(field.value)];
        if (e.colorShift >= 0)
            src.extendedColor(r, e.colorShift);
        else
            r = r.then(e.rendition);
    }
    // Other parameter bytes make a sequence that is ignored whole.
    return src.plain() ? r : Rendition{};
}

namespace {

// A field of up to three digits, as the quick reader sees it.
struct ShortField {
    bool ok;  // false: not such a field
    uint32_t length;
    uint32_t value;
    char end;  // the byte after it
};

uint64_t eightBytes(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Reads a field of up to three digits from w, the eight bytes at its start.
[[gnu::always_inline]] inline ShortField readShort(uint64_t w) {
    const uint64_t t = w - 0x3030303030303030ull;
    // The high bit of each byte that is not a digit (borrows and carries
    // only reach bytes after the first such byte); eight digits count as
    // more than three.
    const uint64_t other = (t | (t + 0x7676767676767676ull)) & 0x8080808080808080ull;
    const uint32_t length = uint32_t(__builtin_ctzll(other | (1ull << 63))) >> 3;
    if (length > 3) return {false, 0, 0, 0};
    // The digits, right-aligned in three bytes a, b, c (shifted out of the
    // top of 32 bits and back): the value is 100a + 10b + c, combined
    // pairwise.
    const uint32_t x = uint32_t(uint64_t(uint32_t(t)) << (32 - 8 * length)) >> 8;
    return {true, length, ((x * 10 + (x >> 8)) & 0xff) * 10 + (x >> 16), char(w >> (8 * length))};
}

// The 256-colour forms as they start a field, "38;5;" and "48;5;", in the
// low five bytes of eight.
constexpr uint64_t kFiveBytes = 0xffffffffffull;
constexpr uint64_t kForeground256 = 0x3b353b3833ull, kBackground256 = 0x3b353b3834ull;

}  // namespace

const char* readCommonSgrFields(const char* p, const char* const end, Rendition& out) {
    Rendition r;
    // Every field is read from the eight bytes at its start.
    for (; end - p >= 8; ++p) {
        const uint64_t w = eightBytes(p);
        ShortField f;
        if ((w & kFiveBytes) == kForeground256 || (w & kFiveBytes) == kBackground256) {
            // The code, its form and the index, whole.
            if (end - p < 13) return nullptr;
            f = readShort(eightBytes(p + 5));
            if (!f.ok) return nullptr;
            if (f.length > 0 && f.value <= 255)
                r = r.then(indexedColor(p[0] == '3' ? 0 : 8, f.value));
            p += 5;
        } else {
            f = readShort(w);
            if (!f.ok) return nullptr;
            if (f.value < kEffects.size()) {
                const Effect& e = kEffects[f.value];
                // Other forms after 38 and 48 are the general reader's.
                if (e.colorShift >= 0) return nullptr;
                r = r.then(e.rendition);
            }
        }
        p += f.length;
        if (f.end == 'm') {
            out = r;
            return p;
        }
        if (f.end != ';') return nullptr;
    }
    return nullptr;
}

const char* SgrMemo::readThrough(const char* p, const char* end, Rendition& r) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    // The high bit of the lowest byte that is "m" (higher bytes may be
    // marked wrongly by a borrow, never lower ones).
    auto firstM = [](uint64_t w) {
        const uint64_t x = w ^ (0x6d * kOnes);
        return (x - kOnes) & ~x & kHighs;
    };
    uint64_t low = eightBytes(p), high = eightBytes(p + 8);
    size_t m;  // where the first "m" is
    if (uint64_t marks = firstM(low)) {
        m = size_t(__builtin_ctzll(marks)) / 8;
        high = 0;
    } else if (uint64_t marks = firstM(high)) {
        m = 8 + size_t(__builtin_ctzll(marks)) / 8;
    } else {
        return readCommonSgr(p, end, r);
    }
    // Only the bytes up to the "m" belong to the key.
    if (m < 7) low &= (uint64_t(1) << (8 * m + 8)) - 1;
    if (m >= 8 && m < 15) high &= (uint64_t(1) << (8 * (m - 8) + 8)) - 1;

    const uint64_t hash = (low ^ high * 0x9e3779b97f4a7c15ull) * 0xbf58476d1ce4e5b9ull;
    Entry& e = entries_[size_t(hash >> 56)];
    if (e.low == low && e.high == high) {
        r = e.rendition;
        return p + m;
    }
    const char* final = readCommonSgr(p, end, r);
    // A sequence the common reader takes holds nothing but digits and ";"
    // before its "m", so that is the first one.
    if (final == p + m) e = {low, high, r};
    return final;
}

void applySgr(Grid& g, std::string_view params) {
    g.pen = unpackPen(applySgr(packPen(g.pen), params));
}

}  // namespace screen
