#include "screen/row.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

#include "screen/utf8.h"

namespace screen {

Row::Row(const Row& o) {
    reserve(o.size_);
    if (o.size_ > 0) std::memcpy(cells_.get(), o.cells_.get(), o.size_ * sizeof(Cell));
    size_ = o.size_;
    wrapped_ = o.wrapped_;
    uniform_ = o.uniform_;
    if (o.extras_ && !o.extras_->empty()) extras_ = std::make_unique<std::vector<Extra>>(*o.extras_);
    if (o.looks_ && !o.looks_->empty()) looks_ = std::make_unique<std::vector<Pen>>(*o.looks_);
}

Row& Row::operator=(const Row& o) {
    if (this == &o) return *this;
    // Into the storage the row has, when it is large enough.
    reserve(o.size_);
    if (o.size_ > 0) std::memcpy(cells_.get(), o.cells_.get(), o.size_ * sizeof(Cell));
    size_ = o.size_;
    wrapped_ = o.wrapped_;
    uniform_ = o.uniform_;
    if (o.extras_ && !o.extras_->empty()) {
        if (extras_)
            *extras_ = *o.extras_;
        else
            extras_ = std::make_unique<std::vector<Extra>>(*o.extras_);
    } else if (extras_) {
        extras_->clear();
    }
    if (o.looks_ && !o.looks_->empty()) {
        if (looks_)
            *looks_ = *o.looks_;
        else
            looks_ = std::make_unique<std::vector<Pen>>(*o.looks_);
    } else if (looks_) {
        looks_->clear();
    }
    return *this;
}

void Row::swap(Row& o) noexcept {
    std::swap(cells_, o.cells_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
    std::swap(wrapped_, o.wrapped_);
    std::swap(uniform_, o.uniform_);
    std::swap(extras_, o.extras_);
    std::swap(looks_, o.looks_);
}

void Row::reserve(size_t n) {
    if (n > capacity_) reallocate(n);
}

void Row::reallocate(size_t capacity) {
    std::unique_ptr<Cell[], FreeCells> bigger(
        static_cast<Cell*>(::operator new(capacity * sizeof(Cell))));
    if (size_ > 0) std::memcpy(bigger.get(), cells_.get(), size_ * sizeof(Cell));
    cells_ = std::move(bigger);
    capacity_ = uint32_t(capacity);
}

void Row::insert(size_t at, size_t n, Cell c) {
    size_t old = grow(size_ + n);
    std::memmove(cells_.get() + at + n, cells_.get() + at, (old - at) * sizeof(Cell));
    fill(at, at + n, c);  // no longer uniform
}

void Row::erase(size_t at, size_t n) {
    std::memmove(cells_.get() + at, cells_.get() + at + n, (size_ - at - n) * sizeof(Cell));
    size_ -= uint32_t(n);
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
    for (size_t i = 0; i < size_; ++i)
        appendText(i, out);
}

void Row::put(size_t i, int32_t rune, int width, const Pen& pen) {
    if (Cell::fitsInline(rune)) {
        put(i, penCell(pen, uint32_t(rune), width));
        return;
    }
    Cell c = penCell(pen, 0, width);
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
    uniform_ = false;
    return true;
}

uint32_t Row::addExtra(Extra e) {
    if (!extras_) extras_ = std::make_unique<std::vector<Extra>>();
    // Overwritten cells leave their entries behind; drop them once they
    // could outnumber the cells.
    if (extras_->size() >= size_ + 8) collectExtras();
    extras_->push_back(std::move(e));
    return uint32_t(extras_->size() - 1);
}

void Row::collectExtras() {
    std::vector<Extra> kept;
    for (size_t i = 0; i < size_; ++i) {
        Cell& c = cells_[i];
        if (!c.extended()) continue;
        kept.push_back(std::move((*extras_)[c.code()]));
        c.setExtended(uint32_t(kept.size() - 1));
    }
    *extras_ = std::move(kept);
}

Cell Row::rareCell(const Pen& pen, uint32_t code, int width) {
    // The look's words are put together in registers: a look just built
    // field by field, read back whole from memory, would stall the load.
    static_assert(sizeof(Pen) == 24 && std::has_unique_object_representations_v<Pen> &&
                  std::endian::native == std::endian::little);
    static_assert(offsetof(Pen, attrs) == 4 && offsetof(Pen, ul) == 6 &&
                  offsetof(Pen, fgRgb) == 8 && offsetof(Pen, ulRgb) == 16 &&
                  offsetof(Pen, link) == 20);
    const Pen p = normalized(pen);
    const uint32_t id = lookId(
        uint64_t(p.fg) | uint64_t(p.bg) << 8 | uint64_t(p.fgIndex) << 16 |
            uint64_t(p.bgIndex) << 24 | uint64_t(p.attrs) << 32 | uint64_t(p.ul) << 48 |
            uint64_t(p.ulIndex) << 56,
        uint64_t(p.fgRgb) | uint64_t(p.bgRgb) << 32, uint64_t(p.ulRgb) | uint64_t(p.link) << 32);
    return Cell::withLook(code, width, id, pen.attrs);
}

uint32_t Row::lookId(uint64_t w0, uint64_t w1, uint64_t w2) {
    if (!looks_) looks_ = std::make_unique<std::vector<Pen>>();
    std::vector<Pen>& t = *looks_;
    // Rows hold few looks; the newest is the likeliest. A look is three
    // words without padding: compared as such, not field by field.
    for (size_t k = t.size(); k-- > 0;) {
        uint64_t have[3];
        std::memcpy(have, &t[k], sizeof have);
        if (((have[0] ^ w0) | (have[1] ^ w1) | (have[2] ^ w2)) == 0) return uint32_t(k);
    }
    // Overwritten cells leave their entries behind; drop them once they
    // could outnumber the cells.
    if (t.size() >= size_ + 8) collectLooks();
    const uint64_t words[3] = {w0, w1, w2};
    std::memcpy(&t.emplace_back(), words, sizeof words);
    return uint32_t(t.size() - 1);
}

void Row::collectLooks() {
    std::vector<Pen>& t = *looks_;
    std::vector<uint32_t> renumbered(t.size(), UINT32_MAX);
    std::vector<Pen> kept;
    for (size_t i = 0; i < size_; ++i) {
        Cell& c = cells_[i];
        if (!c.styled()) continue;
        uint32_t& to = renumbered[c.lookId()];
        if (to == UINT32_MAX) {
            to = uint32_t(kept.size());
            kept.push_back(t[c.lookId()]);
        }
        c = Cell::fromBits(c.glyphBits(), kColorLook | to << 8);
    }
    t = std::move(kept);
}

bool Row::operator==(const Row& o) const {
    if (size_ != o.size_) return false;
    for (size_t i = 0; i < size_; ++i) {
        if (pen(i) != o.pen(i) || ((cells_[i].glyphBits() ^ o.cells_[i].glyphBits()) >> 25) != 0 ||
            cells_[i].width() != o.cells_[i].width() || rune(i) != o.rune(i) ||
            text(i) != o.text(i))
            return false;
    }
    return true;
}

}  // namespace screen
