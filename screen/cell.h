// One character position of the screen, packed into 8 bytes so that a
// 10000-line history of many sessions stays small.
#pragma once

#include <cstdint>

namespace screen {

// Style bits of the pen. The first seven are kept in every cell; the
// rest, like direct colours, make a cell's look rare (see Cell::styled).
enum : uint16_t {
    kBold = 0x01,
    kDim = 0x02,
    kItalic = 0x04,
    kUnderline = 0x08,
    kBlink = 0x10,
    kInverse = 0x20,
    kStrike = 0x40,
    kAllStyles = 0x7f,
    kConceal = 0x80,
    kOverline = 0x100,
    // With kUnderline: the underline's style, 0 (single, as 1), 2 double,
    // 3 curly, 4 dotted, 5 dashed.
    kUnderlineStyleMask = 0x0e00,
    kRareStyles = 0x0f80,
};
inline constexpr int kUnderlineStyleShift = 9;
enum UnderlineStyle : uint8_t {
    kUnderlineSingle = 1,
    kUnderlineDouble = 2,
    kUnderlineCurly = 3,
    kUnderlineDotted = 4,
    kUnderlineDashed = 5,
};

// Colour kinds of fg, bg and the underline colour: 0 default, 1..8
// palette, 9..16 bright palette, 17 an entry of the 256-colour table
// (index kept beside it), 18 direct colour (its value kept as 0xRRGGBB).
// kColorLook never names a colour: in a cell's fg byte it marks a rare
// look kept by the row.
enum : uint8_t { kColorDefault = 0, kColorIndexed = 17, kColorDirect = 18, kColorLook = 0xff };

// The colours and style that written cells take.
struct Pen {
    uint8_t fg = 0;
    uint8_t bg = 0;
    uint8_t fgIndex = 0;
    uint8_t bgIndex = 0;
    uint16_t attrs = 0;
    uint8_t ul = 0;  // underline colour kind; 0 is the text's colour
    uint8_t ulIndex = 0;
    uint32_t fgRgb = 0;  // the direct colours, when the kind is kColorDirect
    uint32_t bgRgb = 0;
    uint32_t ulRgb = 0;
    uint32_t link = 0;  // hyperlink: an id of the grid's link table, 0 none
    bool operator==(const Pen&) const = default;

    // Whether cells in this pen need the row's table of looks: anything
    // beyond palette and indexed colours and the seven common styles.
    bool rare() const {
        return fg == kColorDirect || bg == kColorDirect || (attrs & kRareStyles) != 0 || ul != 0 ||
               link != 0;
    }
    int underlineStyle() const {
        if (!(attrs & kUnderline)) return 0;
        int s = (attrs & kUnderlineStyleMask) >> kUnderlineStyleShift;
        return s == 0 ? kUnderlineSingle : s;
    }
};

// The same look with the fields that do not count (an index or a direct
// value of a colour of another kind) cleared, so that equal looks compare
// equal.
constexpr Pen normalized(Pen p) {
    if (p.fg != kColorIndexed) p.fgIndex = 0;
    if (p.bg != kColorIndexed) p.bgIndex = 0;
    if (p.ul != kColorIndexed) p.ulIndex = 0;
    if (p.fg != kColorDirect) p.fgRgb = 0;
    if (p.bg != kColorDirect) p.bgRgb = 0;
    if (p.ul != kColorDirect) p.ulRgb = 0;
    if (!(p.attrs & kUnderline)) p.attrs &= uint16_t(~kUnderlineStyleMask);
    return p;
}

// A cell keeps its code point in 22 bits; a code point that does not fit,
// or a cell that collected combining marks, is "extended": the code field
// then indexes the owning row's table of rare data (Row resolves it).
class Cell {
  public:
    static constexpr uint32_t kCodeBits = 22;
    static constexpr uint32_t kCodeMask = (1u << kCodeBits) - 1;

    // A default blank: a space of width 1 with every attribute 0.
    constexpr Cell() : glyph_(32 | (1u << kWidthShift)), colors_(0) {}

    // A cell with a code point that fits the code field (see fitsInline).
    static constexpr Cell make(uint32_t code, int width, Pen pen) {
        Cell c;
        c.glyph_ = code | (uint32_t(width) << kWidthShift) |
                   (uint32_t(pen.attrs & kAllStyles) << kAttrShift);
        c.colors_ = colorBits(pen);
        return c;
    }
    // A cell whose look is entry id of its row's table of looks.
    static constexpr Cell withLook(uint32_t code, int width, uint32_t id, uint16_t attrs) {
        Cell c;
        c.glyph_ =
            code | (uint32_t(width) << kWidthShift) | (uint32_t(attrs & kAllStyles) << kAttrShift);
        c.colors_ = kColorLook | id << 8;
        return c;
    }
    // The blank that erasing paints: the pen's background and nothing else
    // (for a palette or indexed background; Row::eraseCell() takes any).
    static constexpr Cell eraseBlank(Pen pen) {
        Cell c;
        c.colors_ = uint32_t(pen.bg) << 8 | uint32_t(pen.bgIndex) << 24;
        return c;
    }
    static constexpr bool fitsInline(int64_t rune) { return rune >= 0 && rune <= kCodeMask; }

    uint32_t code() const { return glyph_ & kCodeMask; }
    int width() const { return (glyph_ >> kWidthShift) & 3; }
    bool extended() const { return (glyph_ >> kExtShift) & 1; }
    // A rare look, kept in the row's table of looks (Row::pen() reads
    // it); fg() to bgIndex() and pen() describe only cells that are not.
    bool styled() const { return (colors_ & 0xff) == kColorLook; }
    uint32_t lookId() const { return colors_ >> 8; }
    uint8_t fg() const { return colors_ & 0xff; }
    uint8_t bg() const { return (colors_ >> 8) & 0xff; }
    uint8_t fgIndex() const { return (colors_ >> 16) & 0xff; }
    uint8_t bgIndex() const { return colors_ >> 24; }
    uint16_t attrs() const { return (glyph_ >> kAttrShift) & kAllStyles; }
    Pen pen() const { return Pen{fg(), bg(), fgIndex(), bgIndex(), attrs()}; }

    // Same colours and style (what rendering compares).
    bool sameLook(const Cell& o) const {
        return colors_ == o.colors_ && ((glyph_ ^ o.glyph_) >> kAttrShift) == 0;
    }
    bool operator==(const Cell&) const = default;

    // Used by Row only.
    void setExtended(uint32_t slot) {
        glyph_ = (glyph_ & ~(kCodeMask | (1u << kExtShift))) | slot | (1u << kExtShift);
    }
    // The right half of this cell made wide: no character, the same look.
    Cell rightHalf() const {
        return fromBits(glyph_ & (uint32_t(kAllStyles) << kAttrShift), colors_);
    }
    void setWidth(int width) {
        glyph_ = (glyph_ & ~(3u << kWidthShift)) | uint32_t(width) << kWidthShift;
    }
    void setCode(uint32_t code) { glyph_ = (glyph_ & ~(kCodeMask | (1u << kExtShift))) | code; }
    uint32_t glyphBits() const { return glyph_; }
    uint32_t colorBits() const { return colors_; }
    static constexpr Cell fromBits(uint32_t glyph, uint32_t colors) {
        Cell c;
        c.glyph_ = glyph;
        c.colors_ = colors;
        return c;
    }
    static constexpr uint32_t colorBits(Pen pen) {
        return uint32_t(pen.fg) | uint32_t(pen.bg) << 8 | uint32_t(pen.fgIndex) << 16 |
               uint32_t(pen.bgIndex) << 24;
    }

  private:
    static constexpr uint32_t kWidthShift = 22;
    static constexpr uint32_t kExtShift = 24;
    static constexpr uint32_t kAttrShift = 25;

    uint32_t glyph_;   // code 0..21, width 22..23, extended 24, style 25..31
    uint32_t colors_;  // fg, bg, fgIndex, bgIndex, one byte each
};

static_assert(sizeof(Cell) <= 8, "the common cell must stay within 8 bytes");

}  // namespace screen
