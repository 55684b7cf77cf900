// Select graphic rendition: the parameters of CSI ... m set the pen.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "screen/cell.h"
#include "screen/sequence.h"

namespace screen {

// The pen as one value, which is how graphic rendition works on it: the
// colour bytes in the low 32 bits in the order a cell keeps them (fg, bg,
// fgIndex, bgIndex from the lowest byte up), the style bits above, then
// the underline colour's kind and index. Direct colour values and the
// hyperlink stay out of it, in the pen.
using PenBits = uint64_t;

// A Pen's first eight bytes are its PenBits (on a little-endian machine),
// so packing and unpacking are copies.
static_assert(offsetof(Pen, attrs) == 4 && offsetof(Pen, ul) == 6 && offsetof(Pen, ulIndex) == 7 &&
              offsetof(Pen, fgRgb) == 8);
static_assert(std::endian::native == std::endian::little);
inline PenBits packPen(const Pen& pen) {
    PenBits bits;
    std::memcpy(&bits, &pen, sizeof bits);
    return bits;
}
// The pen's PenBits part set to bits.
inline void setPenBits(Pen& pen, PenBits bits) {
    std::memcpy(static_cast<void*>(&pen), &bits, sizeof bits);
}
inline Pen unpackPen(PenBits bits) {
    Pen p;
    setPenBits(p, bits);
    return p;
}
// The same with the direct colours and hyperlink of rest.
inline Pen unpackPen(PenBits bits, const Pen& rest) {
    Pen p = rest;
    setPenBits(p, bits);
    return p;
}
// Whether a pen with these bits is rare (see Pen::rare), its hyperlink
// aside.
inline bool rareBits(PenBits bits) {
    return uint8_t(bits) == kColorDirect || uint8_t(bits >> 8) == kColorDirect ||
           ((bits >> 32) & (kRareStyles | 0xffff0000u)) != 0;
}
// The cell template of a pen that is not rare: its colours and the
// common styles.
inline Cell commonPenCell(PenBits bits) {
    return Cell::make(0, 1, unpackPen(bits));
}

// What a parameter text does to any pen: each code keeps some of its bits
// and sets others, and so does a whole text. The value of a direct colour
// rides beside the bits; it counts where the rendition sets that colour's
// kind to direct.
struct Rendition {
    PenBits keep = ~PenBits(0);
    PenBits set = 0;
    uint32_t fgRgb = 0, bgRgb = 0;

    PenBits apply(PenBits pen) const { return (pen & keep) | set; }
    // The same on a whole pen, direct colour values included.
    void apply(Pen& pen) const {
        setPenBits(pen, apply(packPen(pen)));
        applyDirect(pen);
    }
    // Only the direct colour values it chooses.
    void applyDirect(Pen& pen) const {
        if ((keep & 0xff) == 0 && uint8_t(set) == kColorDirect) pen.fgRgb = fgRgb;
        if ((keep & 0xff00) == 0 && uint8_t(set >> 8) == kColorDirect) pen.bgRgb = bgRgb;
    }
    // This rendition, then next.
    constexpr Rendition then(Rendition next) const {
        return {keep & next.keep, (set & next.keep) | next.set,
                (next.keep & 0xff) == 0 ? next.fgRgb : fgRgb,
                (next.keep & 0xff00) == 0 ? next.bgRgb : bgRgb};
    }
};

// The reset: default colours and no style. (The colour indexes stay
// behind; nothing reads them unless an indexed colour is chosen again.)
inline constexpr Rendition kResetRendition{0xffff0000, 0};

// The rendition of a parameter text (digits and ";"). A text with other
// bytes does nothing, as such a sequence is not an ordinary one.
Rendition renditionOf(std::string_view params);

// The pen after a parameter text.
inline PenBits applySgr(PenBits pen, std::string_view params) {
    // A lone reset, "" or "0", is the commonest sequence of all.
    if (params.empty() || (params.size() == 1 && params[0] == '0'))
        return kResetRendition.apply(pen);
    return renditionOf(params).apply(pen);
}

// readCommonSgr() past a lone reset.
const char* readCommonSgrFields(const char* p, const char* end, Rendition& r);

// For the interpreter, the commonest graphic renditions read straight from
// the bytes after "ESC [" at p, in a buffer that ends at end: parameters
// of fields of up to three digits, colours only as 38;5;n, 48;5;n,
// 38;2;r;g;b and 48;2;r;g;b, and the final byte "m". Each field is read
// from the eight bytes at its start, which must lie before end. Returns
// where that "m" is and sets r, or returns nullptr for any other sequence
// (or one too near end), which then goes the general way.
inline const char* readCommonSgr(const char* p, const char* end, Rendition& r) {
    if (end - p < 2) return nullptr;
    // A lone reset, "ESC [ m" or "ESC [ 0 m", is the commonest of all.
    if (p[0] == 'm' || (p[0] == '0' && p[1] == 'm')) {
        r = kResetRendition;
        return p[0] == 'm' ? p : p + 1;
    }
    if ((p[0] < '0' || p[0] > '9') && p[0] != ';') return nullptr;
    return readCommonSgrFields(p, end, r);
}

// readCommonSgr() through a memo of the sequences already read, by their
// exact bytes up to the "m": programs repeat a few sequences over and over
// (a highlighter's palette, a prompt's colours), and finding one again
// costs a fraction of reading it.
class SgrMemo {
  public:
    const char* read(const char* p, const char* end, Rendition& r) {
        // A lone reset is quicker to read than to look up; a key needs
        // sixteen bytes.
        if (end - p < 16 || p[0] == 'm' || (p[0] == '0' && p[1] == 'm'))
            return readCommonSgr(p, end, r);
        return readThrough(p, end, r);
    }

  private:
    const char* readThrough(const char* p, const char* end, Rendition& r);

    // A key holds the bytes up to and including the first "m" of the
    // sixteen at the sequence's start, zeros after it; a key that is all
    // zeros stands for no sequence.
    struct Entry {
        uint64_t low = 0, high = 0;
        Rendition rendition;
    };
    std::array<Entry, 256> entries_{};
};

// The reader of graphic rendition that the text lane takes from the table
// of control functions (function_table.h): readCommonSgr() through a memo,
// one per thread, so that terminals fed on different threads never share
// it; what it holds depends on nothing but the bytes it has seen.
inline constinit thread_local SgrMemo laneSgrMemo;
inline const char* readSgrForLane(const char* p, const char* end, Rendition& r) {
    return laneSgrMemo.read(p, end, r);
}

// Graphic rendition on a pen, every form: colon sub-parameters
// (38:2::r:g:b, 38:2:r:g:b, 38:5:n, 4:0 to 4:5), direct colours for the
// text, background and underline (58), unknown codes skipped.
void applySgr(Pen& pen, const Sequence& s);
// The same from the parameter text.
void applySgr(Pen& pen, std::string_view params);

}  // namespace screen
