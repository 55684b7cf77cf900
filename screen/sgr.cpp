#include "screen/sgr.h"

#include <array>
#include <cstring>

namespace screen {

namespace {

// One parameter: its value when it is a decimal number that fits, and its
// length (so that "5" and "05" can be told apart).
struct Field {
    int64_t value = 0;
    uint32_t length = 0;
    bool readable = false;
};

// The fields of a parameter text, read in order. A field starts at pos
// exactly when pos <= text.size() (a trailing ";" leaves an empty one);
// past the last field pos is text.size() + 1.
class Fields {
  public:
    explicit Fields(std::string_view text) : text_(text) {}
    bool more() const { return pos_ <= text_.size(); }
    Field next() { return read(pos_); }
    // The extended colour forms after a 38 or 48, for the colour whose
    // kind byte is at the given shift (its index byte is 16 bits above):
    // the fields they take are consumed only when they make a colour.
    void extendedColor(PenBits& pen, int shift);
    // False once a field held a byte other than a digit.
    bool plain() const { return plain_; }

  private:
    Field read(size_t& pos);

    std::string_view text_;
    size_t pos_ = 0;
    bool plain_ = true;
};

// Up to four bytes of text from pos on, the first in the lowest byte; bytes
// past the text's end are 0.
uint32_t fourBytes(std::string_view text, size_t pos) {
    const size_t left = text.size() - pos;
    uint32_t w = 0;
    if (left >= 4) {
        std::memcpy(&w, text.data() + pos, 4);
    } else if (left > 0 && text.size() >= 4) {
        // The last four bytes, shifted so that pos comes first.
        std::memcpy(&w, text.data() + text.size() - 4, 4);
        w >>= 8 * (4 - left);
    } else {
        for (size_t i = 0; i < left; ++i)
            w |= uint32_t(static_cast<unsigned char>(text[pos + i])) << (8 * i);
    }
    return w;
}

// Reads the field that starts at pos (at most text_.size()) and moves pos
// to the start of the next one.
[[gnu::always_inline]] inline Field Fields::read(size_t& pos) {
    // Nearly every field is up to three digits: read from four bytes at
    // once, without a loop whose end would be mispredicted field by field.
    const uint32_t w = fourBytes(text_, pos);
    const uint32_t t = w - 0x30303030u;
    // The high bit of each byte that is not a digit (borrows and carries
    // only reach bytes after the first such byte).
    const uint32_t other = (t | (t + 0x76767676u)) & 0x80808080u;
    const uint32_t length = other ? uint32_t(__builtin_ctz(other)) >> 3 : 4;
    const size_t next = pos + length;
    if (length < 4 && (next == text_.size() || ((w >> (8 * length)) & 0xff) == ';')) {
        // The digits, right-aligned in three bytes a, b, c (shifted out of
        // the top of 32 bits and back): the value is 100a + 10b + c,
        // combined pairwise.
        const uint32_t x = uint32_t(uint64_t(t) << (32 - 8 * length)) >> 8;
        const uint32_t pairs = x * 10 + (x >> 8);
        pos = next + 1;
        return Field{int64_t((pairs & 0xff) * 10 + (x >> 16)), length, length > 0};
    }
    // Longer numbers: up to 18 digits always fit, so they are read without
    // overflow checks (a longer run wraps and is read again).
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

bool isExactly(const Field& f, int64_t v) {
    return f.readable && f.length == 1 && f.value == v;
}

void setByte(PenBits& pen, int shift, uint8_t value) {
    pen = (pen & ~(PenBits(0xff) << shift)) | PenBits(value) << shift;
}

[[gnu::always_inline]] inline void Fields::extendedColor(PenBits& pen, int shift) {
    const size_t n = text_.size();
    size_t p = pos_;
    if (p > n) return;
    Field form = read(p);
    if (isExactly(form, 5) && p <= n) {
        Field v = read(p);
        if (v.readable && v.value <= 255) {
            if (v.value <= 15) {
                setByte(pen, shift, uint8_t(v.value + 1));
                setByte(pen, shift + 16, 0);
            } else {
                setByte(pen, shift, kColorIndexed);
                setByte(pen, shift + 16, uint8_t(v.value));
            }
        }
        pos_ = p;
        return;
    }
    if (isExactly(form, 2)) {
        // Three colour fields must follow; they are consumed unread.
        for (int k = 0; k < 3; ++k) {
            if (p > n) return;
            read(p);
        }
        setByte(pen, shift, kColorDirect);
        pos_ = p;
    }
}

// The parts of a PenBits.
constexpr PenBits kFg = 0xff, kBg = 0xff00, kFgIndex = 0xff0000, kBgIndex = 0xff000000;
constexpr PenBits styleBits(uint16_t bits) {
    return PenBits(bits) << 32;
}

// What one code does to the pen: it keeps the bits of keep and sets those
// of set; 38 and 48 instead read an extended colour from the fields after
// them, for the colour whose kind byte is at colorShift.
struct Effect {
    PenBits keep = ~PenBits(0);
    PenBits set = 0;
    int colorShift = -1;
};

constexpr Effect effectOf(int code) {
    switch (code) {
        case 0:
            return {~(kFg | kBg | styleBits(0xffff)), 0};
        case 1:
            return {~PenBits(0), styleBits(kBold)};
        case 2:
            return {~PenBits(0), styleBits(kDim)};
        case 3:
            return {~PenBits(0), styleBits(kItalic)};
        case 4:
            return {~PenBits(0), styleBits(kUnderline)};
        case 5:
        case 6:
            return {~PenBits(0), styleBits(kBlink)};
        case 7:
            return {~PenBits(0), styleBits(kInverse)};
        case 9:
            return {~PenBits(0), styleBits(kStrike)};
        case 22:
            return {~styleBits(kBold | kDim), 0};
        case 23:
            return {~styleBits(kItalic), 0};
        case 24:
            return {~styleBits(kUnderline), 0};
        case 25:
            return {~styleBits(kBlink), 0};
        case 27:
            return {~styleBits(kInverse), 0};
        case 29:
            return {~styleBits(kStrike), 0};
        case 38:
            return {~PenBits(0), 0, 0};
        case 39:
            return {~(kFg | kFgIndex), 0};
        case 48:
            return {~PenBits(0), 0, 8};
        case 49:
            return {~(kBg | kBgIndex), 0};
        default:
            break;
    }
    if (code >= 30 && code <= 37) return {~kFg, PenBits(code - 29)};
    if (code >= 40 && code <= 47) return {~(kBg | kBgIndex), PenBits(code - 39) << 8};
    if (code >= 90 && code <= 97) return {~kFg, PenBits(code - 81)};
    if (code >= 100 && code <= 107) return {~kBg, PenBits(code - 91) << 8};
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

}  // namespace

PenBits applySgrFields(PenBits pen, std::string_view params) {
    Fields src(params);
    PenBits changed = pen;
    while (src.more()) {
        Field field = src.next();
        // An empty field counts as 0; one that is not a number is skipped.
        if (field.length > 0 && !field.readable) continue;
        if (uint64_t(field.value) >= kEffects.size()) continue;
        const Effect& e = kEffects[size_t(field.value)];
        if (e.colorShift >= 0)
            src.extendedColor(changed, e.colorShift);
        else
            changed = (changed & e.keep) | e.set;
    }
    // Other parameter bytes make a sequence that is ignored whole.
    return src.plain() ? changed : pen;
}

void applySgr(Grid& g, std::string_view params) {
    Pen pen = unpackPen(applySgr(packPen(g.pen()), params));
    g.fg = pen.fg;
    g.bg = pen.bg;
    g.fgIndex = pen.fgIndex;
    g.bgIndex = pen.bgIndex;
    g.attrs = pen.attrs;
}

}  // namespace screen
