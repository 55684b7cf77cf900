#include "screen/sgr.h"

#include <array>
#include <cstring>

namespace screen {

namespace {

// The parts of a PenBits.
constexpr PenBits kFg = 0xff, kBg = 0xff00, kFgIndex = 0xff0000, kBgIndex = 0xff000000;
constexpr PenBits kUl = PenBits(0xffff) << 48;  // underline colour kind and index
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
            return {clearing(styleBits(kUnderlineStyleMask)).then(setting(styleBits(kUnderline)))};
        case 5:
        case 6:
            return {setting(styleBits(kBlink))};
        case 7:
            return {setting(styleBits(kInverse))};
        case 8:
            return {setting(styleBits(kConceal))};
        case 9:
            return {setting(styleBits(kStrike))};
        case 21:  // double underline
            return {Rendition{~styleBits(kUnderlineStyleMask),
                              styleBits(kUnderline | kUnderlineDouble << kUnderlineStyleShift)}};
        case 22:
            return {clearing(styleBits(kBold | kDim))};
        case 23:
            return {clearing(styleBits(kItalic))};
        case 24:
            return {clearing(styleBits(kUnderline | kUnderlineStyleMask))};
        case 25:
            return {clearing(styleBits(kBlink))};
        case 27:
            return {clearing(styleBits(kInverse))};
        case 28:
            return {clearing(styleBits(kConceal))};
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
        case 53:
            return {setting(styleBits(kOverline))};
        case 55:
            return {clearing(styleBits(kOverline))};
        case 58:
            return {{}, 48};
        case 59:
            return {clearing(kUl)};
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

// Where the index byte of the colour whose kind byte is at shift lies.
constexpr int indexShift(int shift) {
    return shift == 48 ? 56 : shift + 16;
}

// The colour "5;index" makes, for the colour whose kind byte is at shift:
// 0..15 are palette kinds, the rest an entry of the 256-colour table.
Rendition indexedColor(int shift, uint32_t index) {
    const bool palette = index <= 15;
    const PenBits kind = palette ? PenBits(index + 1) : PenBits(kColorIndexed);
    const PenBits entry = palette ? 0 : index;
    const PenBits bytes = PenBits(0xff) << shift | PenBits(0xff) << indexShift(shift);
    return {~bytes, kind << shift | entry << indexShift(shift)};
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

// The extended colour forms as they start a field, "38;5;", "48;5;",
// "38;2;" and "48;2;", in the low five bytes of eight: the first, and
// the bits in which the others differ from it.
constexpr uint64_t kFiveBytes = 0xffffffffffull, kForeground256 = 0x3b353b3833ull;
constexpr uint64_t kOtherForms = 0x07000007ull;
static_assert((kForeground256 ^ 0x3b353b3834ull) == 0x07 &&
              (kForeground256 ^ 0x3b323b3833ull) == 0x07000000ull);

// The three fields of a direct colour from p on, each of up to three
// digits and at most 255, the first two ended by ";": the colour, and in
// last the third field (its length 0: p is left on the byte after it).
// False for anything else, which the general reader takes.
bool readDirect(const char*& p, const char* end, uint32_t& rgb, ShortField& last) {
    rgb = 0;
    for (int k = 0; k < 3; ++k) {
        if (end - p < 8) return false;
        const ShortField c = readShort(eightBytes(p));
        if (!c.ok || c.value > 255 || (k < 2 && c.end != ';')) return false;
        rgb = rgb << 8 | c.value;
        p += c.length + (k < 2 ? 1 : 0);
        last = {true, 0, c.value, c.end};
    }
    return true;
}

}  // namespace

const char* readCommonSgrFields(const char* p, const char* const end, Rendition& out) {
    // The codes' bits are gathered as then() would, without its direct
    // colour values: only the last direct colour of each kind counts.
    PenBits keep = ~PenBits(0), set = 0;
    uint32_t rgb[2] = {0, 0};
    auto add = [&](const Rendition& next) {
        keep &= next.keep;
        set = (set & next.keep) | next.set;
    };
    // Past the parameters a sequence holds, the general reader drops the
    // rest; it has the long ones.
    size_t fields = 0;
    // Every field is read from the eight bytes at its start.
    for (; end - p >= 8; ++p) {
        const uint64_t w = eightBytes(p);
        ShortField f;
        // Against "38;5;": the other three forms differ from it by 7 in
        // byte 0 ("4"), in byte 3 ("2") or in both, and nothing else does.
        const uint64_t d = (w ^ kForeground256) & kFiveBytes;
        if ((d & ~kOtherForms) == 0 && ((d + 0x01000001ull) & 0x06000006ull) == 0) {
            const int slot = int(d & 1);
            if (d >> 24) {
                // The code, its form and the three values, whole.
                p += 5;
                if (!readDirect(p, end, rgb[slot], f)) return nullptr;
                fields += 4;
                add(byteSetting(8 * slot, kColorDirect));
            } else {
                // The code, its form and the index, whole.
                if (end - p < 13) return nullptr;
                f = readShort(eightBytes(p + 5));
                if (!f.ok) return nullptr;
                fields += 2;
                if (f.length > 0 && f.value <= 255) add(indexedColor(8 * slot, f.value));
                p += 5;
            }
        } else {
            f = readShort(w);
            if (!f.ok) return nullptr;
            if (f.value < kEffects.size()) {
                const Effect& e = kEffects[f.value];
                // Other forms after 38 and 48 are the general reader's.
                if (e.colorShift >= 0) return nullptr;
                add(e.rendition);
            }
        }
        p += f.length;
        if (++fields > kMaxParams) return nullptr;
        if (f.end == 'm') {
            out = {keep, set, rgb[0], rgb[1]};
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

namespace {

// The extended colours (38, 48, 58) of a sequence, for the colour whose
// kind byte is at shift.
class ColourReader {
  public:
    ColourReader(const Sequence& s, PenBits& pen, uint32_t& rgb, int shift)
        : s_(s), pen_(pen), rgb_(rgb), shift_(shift) {}

    // Colon form: the sub-parameters [from, to) after the code.
    void subParams(size_t from, size_t to) {
        const size_t n = to - from;
        if (n == 0) return;
        const int64_t form = s_.raw(from);
        if (form == 5 && n >= 2) {
            indexed(s_.raw(from + 1));
        } else if (form == 2 && n >= 5) {
            // 38:2:colour-space:r:g:b (the space is ignored, often empty)
            direct(from + 2);
        } else if (form == 2 && n == 4) {
            direct(from + 1);  // 38:2:r:g:b
        }
    }
    // Semicolon form, the fields from i on; returns the first field after
    // the colour. The fields a form takes are consumed only when present.
    size_t fields(size_t i) {
        if (i >= s_.count) return i;
        const int64_t form = s_.raw(i);
        if (form == 5 && s_.present(i) && i + 1 < s_.count) {
            if (s_.present(i + 1)) indexed(s_.raw(i + 1));
            return i + 2;
        }
        if (form == 2 && i + 3 < s_.count) {
            direct(i + 1);
            return i + 4;
        }
        return i;
    }

  private:
    void indexed(int64_t index) {
        if (index >= 0 && index <= 255) pen_ = indexedColor(shift_, uint32_t(index)).apply(pen_);
    }
    void direct(size_t at) {
        int64_t r = s_.raw(at), gr = s_.raw(at + 1), b = s_.raw(at + 2);
        if (r > 255 || gr > 255 || b > 255) return;
        pen_ = byteSetting(shift_, kColorDirect).apply(pen_);
        rgb_ = uint32_t(r << 16 | gr << 8 | b);
    }

    const Sequence& s_;
    PenBits& pen_;
    uint32_t& rgb_;
    int shift_;
};

}  // namespace

void applySgr(Pen& penIn, const Sequence& s) {
    PenBits pen = packPen(penIn);
    uint32_t rgb[3] = {penIn.fgRgb, penIn.bgRgb, penIn.ulRgb};
    size_t i = 0;
    while (i < s.count) {
        const int64_t code = s.raw(i);
        size_t next = i + 1, subsEnd = next;
        while (subsEnd < s.count && s.isSub(subsEnd))
            ++subsEnd;
        const bool colon = subsEnd > next;
        const Effect& e = code < int64_t(kEffects.size()) ? kEffects[size_t(code)] : kEffects[107];
        if (code < int64_t(kEffects.size()) && e.colorShift >= 0) {
            const int slot = e.colorShift == 0 ? 0 : e.colorShift == 8 ? 1 : 2;
            ColourReader colour(s, pen, rgb[slot], e.colorShift);
            if (colon) {
                colour.subParams(next, subsEnd);
                next = subsEnd;
            } else {
                next = colour.fields(next);
            }
        } else if (colon) {
            // 4:n chooses the underline's style; other codes with
            // sub-parameters are not known and are skipped whole.
            if (code == 4) {
                const int64_t style = s.raw(next);
                constexpr PenBits kAll = styleBits(kUnderline | kUnderlineStyleMask);
                if (style == 0) {
                    pen &= ~kAll;
                } else if (style <= kUnderlineDashed) {
                    PenBits bits = styleBits(kUnderline);
                    if (style > 1) bits |= styleBits(uint16_t(style << kUnderlineStyleShift));
                    pen = (pen & ~kAll) | bits;
                }
            }
            next = subsEnd;
        } else if (code < int64_t(kEffects.size())) {
            pen = e.rendition.apply(pen);
        }
        i = next;
    }
    Pen p = unpackPen(pen, penIn);
    p.fgRgb = rgb[0];
    p.bgRgb = rgb[1];
    p.ulRgb = rgb[2];
    penIn = p;
}

void applySgr(Pen& pen, std::string_view params) {
    Sequence s;
    readParams(params, s);
    if (s.leader == 0 && !s.malformed) applySgr(pen, s);
}

}  // namespace screen
