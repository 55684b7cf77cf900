#include "screen/sgr.h"

namespace screen {

namespace {

// One parameter: its value when it is a decimal number that fits, and its
// length (so that "5" and "05" can be told apart).
struct Field {
    int64_t value = 0;
    uint32_t length = 0;
    bool readable = false;
};

// Reads the field that starts at pos and moves pos to the start of the
// next one; past the last field pos is text.size() + 1. (A field starts at
// pos exactly when pos <= text.size(): a trailing ";" leaves an empty one.)
Field readField(std::string_view text, size_t& pos) {
    Field f;
    bool ok = true;
    size_t i = pos;
    for (; i < text.size() && text[i] != ';'; ++i) {
        char c = text[i];
        if (c < '0' || c > '9' || __builtin_mul_overflow(f.value, 10, &f.value) ||
            __builtin_add_overflow(f.value, c - '0', &f.value))
            ok = false;
    }
    f.length = uint32_t(i - pos);
    f.readable = ok && f.length > 0;
    pos = i + 1;
    return f;
}

bool isExactly(const Field& f, int64_t v) {
    return f.readable && f.length == 1 && f.value == v;
}

void resetPen(Pen& pen) {
    pen.fg = 0;
    pen.bg = 0;
    pen.attrs = 0;
}

// The extended colour forms after a 38 or 48; pos is the start of the
// field after it and moves past the fields the form consumes.
void extendedColor(std::string_view text, size_t& pos, uint8_t& kind, uint8_t& index) {
    const size_t n = text.size();
    size_t p = pos;
    if (p > n) return;
    Field form = readField(text, p);
    if (isExactly(form, 5) && p <= n) {
        Field v = readField(text, p);
        if (v.readable && v.value <= 255) {
            if (v.value <= 15) {
                kind = uint8_t(v.value + 1);
                index = 0;
            } else {
                kind = kColorIndexed;
                index = uint8_t(v.value);
            }
        }
        pos = p;
        return;
    }
    if (isExactly(form, 2)) {
        // Three colour fields must follow; they are consumed unread.
        for (int k = 0; k < 3; ++k) {
            if (p > n) return;
            readField(text, p);
        }
        kind = kColorDirect;
        pos = p;
    }
}

// The code table, over any source of fields: next() reads the next field
// and extended() handles the colour forms after 38 and 48.
// Works on a copy of the pen, so that its fields stay in registers.
template <typename Source>
Pen applyFields(Pen g, Source& src) {
    while (src.more()) {
        Field field = src.next();
        if (field.length == 0) {
            resetPen(g);
            continue;
        }
        if (!field.readable) continue;
        int64_t c = field.value;
        switch (c) {
            case 0:
                resetPen(g);
                break;
            case 1:
                g.attrs |= kBold;
                break;
            case 2:
                g.attrs |= kDim;
                break;
            case 3:
                g.attrs |= kItalic;
                break;
            case 4:
                g.attrs |= kUnderline;
                break;
            case 5:
            case 6:
                g.attrs |= kBlink;
                break;
            case 7:
                g.attrs |= kInverse;
                break;
            case 9:
                g.attrs |= kStrike;
                break;
            case 22:
                g.attrs &= uint16_t(~(kBold | kDim));
                break;
            case 23:
                g.attrs &= uint16_t(~kItalic);
                break;
            case 24:
                g.attrs &= uint16_t(~kUnderline);
                break;
            case 25:
                g.attrs &= uint16_t(~kBlink);
                break;
            case 27:
                g.attrs &= uint16_t(~kInverse);
                break;
            case 29:
                g.attrs &= uint16_t(~kStrike);
                break;
            case 38:
                src.extended(g.fg, g.fgIndex);
                break;
            case 39:
                g.fg = 0;
                g.fgIndex = 0;
                break;
            case 48:
                src.extended(g.bg, g.bgIndex);
                break;
            case 49:
                g.bg = 0;
                g.bgIndex = 0;
                break;
            default:
                if (c >= 30 && c <= 37) {
                    g.fg = uint8_t(c - 29);
                } else if (c >= 40 && c <= 47) {
                    g.bg = uint8_t(c - 39);
                    g.bgIndex = 0;
                } else if (c >= 90 && c <= 97) {
                    g.fg = uint8_t(c - 81);
                } else if (c >= 100 && c <= 107) {
                    g.bg = uint8_t(c - 91);
                }
                break;
        }
    }
    return g;
}

// Fields read from the parameter text as they are needed.
struct TextSource {
    std::string_view text;
    size_t pos = 0;
    bool more() const { return pos <= text.size(); }
    Field next() { return readField(text, pos); }
    void extended(uint8_t& kind, uint8_t& index) { extendedColor(text, pos, kind, index); }
};

// Fields already read by the interpreter.
struct ArraySource {
    const SgrField* fields;
    size_t count;
    size_t i = 0;
    bool more() const { return i < count; }
    Field next() {
        const SgrField& f = fields[i++];
        return Field{f.value, f.length, f.length > 0 && f.length <= 18};
    }
    bool exactly(size_t k, int64_t v) const {
        return fields[k].length == 1 && fields[k].value == v;
    }
    void extended(uint8_t& kind, uint8_t& index) {
        if (i + 1 < count && exactly(i, 5)) {
            Field v = Field{fields[i + 1].value, fields[i + 1].length,
                            fields[i + 1].length > 0 && fields[i + 1].length <= 18};
            if (v.readable && v.value <= 255) {
                if (v.value <= 15) {
                    kind = uint8_t(v.value + 1);
                    index = 0;
                } else {
                    kind = kColorIndexed;
                    index = uint8_t(v.value);
                }
            }
            i += 2;
        } else if (i + 3 < count && exactly(i, 2)) {
            kind = kColorDirect;
            i += 4;
        }
    }
};

void setPen(Grid& g, const Pen& pen) {
    g.fg = pen.fg;
    g.bg = pen.bg;
    g.fgIndex = pen.fgIndex;
    g.bgIndex = pen.bgIndex;
    g.attrs = pen.attrs;
}

}  // namespace

void applySgr(Grid& g, std::string_view params) {
    Pen pen = g.pen();
    if (params.empty()) {
        resetPen(pen);
    } else {
        TextSource src{params};
        pen = applyFields(pen, src);
    }
    setPen(g, pen);
}

Pen applySgrFields(Grid& g, const SgrField* fields, size_t count) {
    ArraySource src{fields, count};
    Pen pen = applyFields(g.pen(), src);
    setPen(g, pen);
    return pen;
}

}  // namespace screen
