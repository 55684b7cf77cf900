#include "screen/row.h"

#include <algorithm>
#include <compare>
#include <iterator>

#include "screen/utf8.h"

namespace screen {

Row::Row(const Row& o) : cells_(o.cells_) {
    if (o.extras_) extras_ = std::make_unique<std::vector<Extra>>(*o.extras_);
}

Row& Row::operator=(const Row& o) {
    if (this != &o) *this = Row(o);
    return *this;
}

int32_t Row::rune(size_t i) const {
    const Cell& c = cells_[i];
    return c.extended() ? (*extras_)[c.code()].rune : int32_t(c.code());
}

void Row::appendText(size_t i, std::string& out) const {
    const Cell& c = cells_[i];
    if (c.extended()) {
        out += (*extras_)[c.code()].text;
    } else if (c.code() < 0x80) {
        if (c.code() != 0 || c.width() != 0) out += char(c.code());
    } else {
        appendUtf8(out, int32_t(c.code()));
    }
}

std::string Row::text(size_t i) const {
    std::string s;
    appendText(i, s);
    return s;
}

void Row::appendAllText(std::string& out) const {
    for (size_t i = 0; i < cells_.size(); ++i)
        appendText(i, out);
}

void Row::put(size_t i, int32_t rune, int width, const Pen& pen) {
    if (Cell::fitsInline(rune)) {
        put(i, Cell::make(uint32_t(rune), width, pen));
        return;
    }
    Cell c = Cell::make(0, width, pen);
    c.setExtended(addExtra(Extra{rune, 0, encodeUtf8(rune)}));
    put(i, c);
}

void Row::putExtra(size_t i, Cell base, Extra e) {
    base.setExtended(addExtra(std::move(e)));
    put(i, base);
}

bool Row::addMark(size_t i, int32_t mark) {
    Cell& c = cells_[i];
    if (c.extended()) {
        Extra& e = (*extras_)[c.code()];
        if (e.marks >= kMaxMarks) return false;
        ++e.marks;
        appendUtf8(e.text, mark);
        return true;
    }
    Extra e{int32_t(c.code()), 1, text(i)};
    appendUtf8(e.text, mark);
    uint32_t slot = addExtra(std::move(e));
    cells_[i].setExtended(slot);
    return true;
}

uint32_t Row::addExtra(Extra e) {
    if (!extras_) extras_ = std::make_unique<std::vector<Extra>>();
    // Overwritten cells leave their entries behind; drop them once they
    // could outnumber the cells.
    if (extras_->size() >= cells_.size() + 8) collectExtras();
    extras_->push_back(std::move(e));
    return uint32_t(extras_->size() - 1);
}

void Row::collectExtras() {
    std::vector<Extra> kept;
    for (Cell& c : cells_) {
        if (!c.extended()) continue;
        kept.push_back(std::move((*extras_)[c.code()]));
        c.setExtended(uint32_t(kept.size() - 1));
    }
    *extras_ = std::move(kept);
}

namespace {

// Cells made from ASCII bytes on the fly, so that appending them to a row
// writes each cell once.
class AsciiCells {
  public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = Cell;
    using difference_type = std::ptrdiff_t;
    using pointer = const Cell*;
    using reference = Cell;

    AsciiCells(const char* p, uint32_t glyph, uint32_t colors)
        : p_(p), glyph_(glyph), colors_(colors) {}
    Cell operator*() const {
        return Cell::fromBits(glyph_ | static_cast<unsigned char>(*p_), colors_);
    }
    Cell operator[](difference_type i) const { return *(*this + i); }
    AsciiCells& operator++() {
        ++p_;
        return *this;
    }
    AsciiCells operator++(int) {
        AsciiCells old = *this;
        ++p_;
        return old;
    }
    AsciiCells& operator--() {
        --p_;
        return *this;
    }
    AsciiCells operator--(int) {
        AsciiCells old = *this;
        --p_;
        return old;
    }
    AsciiCells& operator+=(difference_type n) {
        p_ += n;
        return *this;
    }
    AsciiCells& operator-=(difference_type n) {
        p_ -= n;
        return *this;
    }
    AsciiCells operator+(difference_type n) const { return AsciiCells(p_ + n, glyph_, colors_); }
    AsciiCells operator-(difference_type n) const { return AsciiCells(p_ - n, glyph_, colors_); }
    difference_type operator-(const AsciiCells& o) const { return p_ - o.p_; }
    bool operator==(const AsciiCells& o) const { return p_ == o.p_; }
    auto operator<=>(const AsciiCells& o) const { return p_ <=> o.p_; }

  private:
    const char* p_;
    uint32_t glyph_, colors_;
};

}  // namespace

void Row::putAscii(size_t at, const char* bytes, size_t n, Cell pen) {
    const uint32_t glyph = pen.glyphBits() & ~Cell::kCodeMask;
    const uint32_t colors = pen.colorBits();
    // Overwrite what exists, append the rest.
    size_t overlap = at < cells_.size() ? std::min(n, cells_.size() - at) : 0;
    Cell* out = cells_.data() + at;
    for (size_t i = 0; i < overlap; ++i)
        out[i] = Cell::fromBits(glyph | static_cast<unsigned char>(bytes[i]), colors);
    if (overlap == n) return;
    cells_.insert(cells_.end(), AsciiCells(bytes + overlap, glyph, colors),
                  AsciiCells(bytes + n, glyph, colors));
}

bool Row::operator==(const Row& o) const {
    if (cells_.size() != o.cells_.size()) return false;
    for (size_t i = 0; i < cells_.size(); ++i) {
        if (!cells_[i].sameLook(o.cells_[i]) || cells_[i].width() != o.cells_[i].width() ||
            rune(i) != o.rune(i) || text(i) != o.text(i))
            return false;
    }
    return true;
}

}  // namespace screen
