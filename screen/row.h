// One line of the screen: a ragged sequence of cells (only the cells that
// were written, padded or erased into it) plus a small table of the rare
// data that does not fit a cell.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "screen/cell.h"

namespace screen {

// Most combining marks a cell collects; later ones are dropped.
inline constexpr int kMaxMarks = 16;

class Row {
  public:
    Row() = default;
    Row(const Row& o);
    Row& operator=(const Row& o);
    Row(Row&&) noexcept = default;
    Row& operator=(Row&&) noexcept = default;

    size_t size() const { return cells_.size(); }
    bool empty() const { return cells_.empty(); }
    // Attributes and width of a cell; use rune()/text() for its character.
    const Cell& operator[](size_t i) const { return cells_[i]; }
    int32_t rune(size_t i) const;
    std::string text(size_t i) const;
    void appendText(size_t i, std::string& out) const;
    // Concatenation of every cell's text.
    void appendAllText(std::string& out) const;

    // The left half of a wide character at i, and its right half at i + 1.
    bool isWideLeft(size_t i) const {
        return i + 1 < cells_.size() && cells_[i].width() == 2 && cells_[i + 1].width() == 0;
    }
    bool isWideRight(size_t i) const {
        return i > 0 && i < cells_.size() && cells_[i].width() == 0 && cells_[i - 1].width() == 2;
    }

    // Writes a character cell at i, which must be at most size().
    void put(size_t i, int32_t rune, int width, const Pen& pen);
    // Writes a cell whose code point fits inline (Cell::fitsInline).
    void put(size_t i, Cell c) {
        if (i == cells_.size())
            cells_.push_back(c);
        else
            cells_[i] = c;
    }
    // Appends the encoding of a mark to the text of cell i; false when the
    // cell already holds kMaxMarks marks.
    bool addMark(size_t i, int32_t mark);

    // Appends copies of c until the row holds n cells.
    void padTo(size_t n, Cell c = Cell()) {
        if (cells_.size() < n) cells_.resize(n, c);
    }
    void truncate(size_t n) {
        if (cells_.size() > n) cells_.resize(n);
    }
    // Empties the row (keeping its storage for reuse).
    void clear() {
        cells_.clear();
        extras_.reset();
    }
    void insert(size_t at, size_t n, Cell c) {
        cells_.insert(cells_.begin() + ptrdiff_t(at), n, c);
    }
    void erase(size_t at, size_t n) {
        cells_.erase(cells_.begin() + ptrdiff_t(at), cells_.begin() + ptrdiff_t(at + n));
    }
    // Sets cells [from, to) to c; the row must hold them.
    void fill(size_t from, size_t to, Cell c) {
        for (size_t i = from; i < to; ++i)
            cells_[i] = c;
    }
    // Before cells [from, to) are overwritten, removed or erased: a wide
    // character that the range cuts in two loses its other half too (it
    // becomes a default blank), so no half is ever left alone.
    void detachWide(size_t from, size_t to) {
        if (from >= to) return;
        if (isWideRight(from)) cells_[from - 1] = Cell();
        if (to - 1 < cells_.size() && isWideLeft(to - 1)) cells_[to] = Cell();
    }

    // Plain-text fast path: writes bytes (printable ASCII) from column at
    // on, each as a cell with the given colour and style bits.
    void putAscii(size_t at, const char* bytes, size_t n, Cell pen);

    bool operator==(const Row& o) const;

    // The rare data of an extended cell: code point, marks, full text.
    struct Extra {
        int32_t rune;
        uint8_t marks;
        std::string text;
    };
    const Extra* extra(size_t i) const {
        return cells_[i].extended() ? &(*extras_)[cells_[i].code()] : nullptr;
    }
    // Writes cell i (at most size()) as an extended cell with base's
    // attributes and width.
    void putExtra(size_t i, Cell base, Extra e);

    // Direct access for the packer.
    const std::vector<Cell>& cells() const { return cells_; }
    std::vector<Cell>& cells() { return cells_; }

  private:
    uint32_t addExtra(Extra e);
    void collectExtras();

    std::vector<Cell> cells_;
    std::unique_ptr<std::vector<Extra>> extras_;
};

}  // namespace screen
