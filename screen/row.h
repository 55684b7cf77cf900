// One line of the screen: a ragged sequence of cells (only the cells that
// were written, padded or erased into it) plus a small table of the rare
// data that does not fit a cell.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "screen/cell.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace screen {

// Most combining marks a cell collects; later ones are dropped.
inline constexpr int kMaxMarks = 16;

class Row {
  public:
    Row() = default;
    Row(const Row& o);
    Row& operator=(const Row& o);
    Row(Row&& o) noexcept
        : cells_(std::move(o.cells_)),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)),
          wrapped_(std::exchange(o.wrapped_, false)),
          uniform_(std::exchange(o.uniform_, true)),
          extras_(std::move(o.extras_)),
          looks_(std::move(o.looks_)) {}
    Row& operator=(Row&& o) noexcept {
        Row moved(std::move(o));
        swap(moved);
        return *this;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Cells of storage held (see clear()).
    size_t capacity() const { return capacity_; }
    void swap(Row& o) noexcept;
    // Attributes and width of a cell; use rune()/text() for its character.
    const Cell& operator[](size_t i) const { return cells_[i]; }
    int32_t rune(size_t i) const;
    std::string text(size_t i) const;
    void appendText(size_t i, std::string& out) const;
    // Concatenation of every cell's text.
    void appendAllText(std::string& out) const;

    // The left half of a wide character at i, and its right half at i + 1.
    bool isWideLeft(size_t i) const {
        return i + 1 < size_ && cells_[i].width() == 2 && cells_[i + 1].width() == 0;
    }
    bool isWideRight(size_t i) const {
        return i > 0 && i < size_ && cells_[i].width() == 0 && cells_[i - 1].width() == 2;
    }

    // Writes a character cell at i, which must be at most size().
    void put(size_t i, int32_t rune, int width, const Pen& pen);
    // Writes a cell whose code point fits inline (Cell::fitsInline).
    void put(size_t i, Cell c) {
        if (i == size_) grow(size_ + 1);
        cells_[i] = c;
        uniform_ = false;
    }
    // Makes cell i two columns wide (the caller writes its right half).
    void widen(size_t i) {
        cells_[i].setWidth(2);
        uniform_ = false;
    }
    // Appends the encoding of a mark to the text of cell i; false when the
    // cell already holds kMaxMarks marks.
    bool addMark(size_t i, int32_t mark);

    // Appends copies of c until the row holds n cells.
    void padTo(size_t n, Cell c = Cell()) {
        if (size_ >= n) return;
        size_t from = grow(n);
        fill(from, n, c);
    }
    // Every cell is a narrow ASCII character and all look alike, as runs
    // of text in one look that putAscii() alone wrote leave a row: the
    // packer then takes its text as it stands. Every other write clears
    // it.
    bool uniform() const { return uniform_; }
    void truncate(size_t n) {
        if (size_ > n) size_ = uint32_t(n);
    }
    // The program's output ran on from this row's last column into the
    // next row (an automatic wrap, not a line feed): the two are one
    // logical line, which a terminal of another width wraps its own way.
    bool wrapped() const { return wrapped_; }
    void setWrapped(bool on) { wrapped_ = on; }

    // Empties the row, keeping its storage (tables included) for reuse.
    void clear() {
        size_ = 0;
        wrapped_ = false;
        uniform_ = true;
        if (extras_) extras_->clear();
        if (looks_) looks_->clear();
    }
    void insert(size_t at, size_t n, Cell c);
    void erase(size_t at, size_t n);
    // Sets cells [from, to) to c; the row must hold them.
    void fill(size_t from, size_t to, Cell c) {
        for (size_t i = from; i < to; ++i)
            cells_[i] = c;
        uniform_ = false;
    }
    // Before cells [from, to) are overwritten, removed or erased: a wide
    // character that the range cuts in two loses its other half too (it
    // becomes a default blank), so no half is ever left alone.
    void detachWide(size_t from, size_t to) {
        if (from >= to) return;
        if (isWideRight(from)) cells_[from - 1] = Cell();
        if (to - 1 < size_ && isWideLeft(to - 1)) cells_[to] = Cell();
    }

    // Plain-text fast path: writes bytes (printable ASCII) from column at
    // (at most size()) on, each as a cell with the given colour and style
    // bits.
    void putAscii(size_t at, const char* bytes, size_t n, Cell pen) {
        noteAscii(at, n, pen);
        if (at + n > size_) grow(at + n);
        const uint32_t glyph = pen.glyphBits() & ~Cell::kCodeMask;
        const uint32_t colors = pen.colorBits();
        Cell* out = cells_.get() + at;
        size_t i = 0;
#if defined(__SSE2__)
        // Eight cells at a time, as appendShortAscii() makes them.
        const __m128i zero = _mm_setzero_si128();
        const __m128i glyphs = _mm_set1_epi32(int(glyph)), colours = _mm_set1_epi32(int(colors));
        for (; i + 8 <= n; i += 8) {
            __m128i codes = _mm_unpacklo_epi8(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes + i)), zero);
            __m128i low = _mm_or_si128(_mm_unpacklo_epi16(codes, zero), glyphs);
            __m128i high = _mm_or_si128(_mm_unpackhi_epi16(codes, zero), glyphs);
            auto* to = reinterpret_cast<__m128i*>(out + i);
            _mm_storeu_si128(to, _mm_unpacklo_epi32(low, colours));
            _mm_storeu_si128(to + 1, _mm_unpackhi_epi32(low, colours));
            _mm_storeu_si128(to + 2, _mm_unpacklo_epi32(high, colours));
            _mm_storeu_si128(to + 3, _mm_unpackhi_epi32(high, colours));
        }
#endif
        for (; i < n; ++i)
            out[i] = Cell::fromBits(glyph | static_cast<unsigned char>(bytes[i]), colors);
    }
    // The same for a run of at most eight bytes appended to the row, with
    // eight bytes readable at bytes: words in their own colours are such
    // runs, and the cells are made eight at a time (those past the run lie
    // past the row's end) rather than with a loop whose end would be
    // mispredicted word by word.
    void appendShortAscii(const char* bytes, size_t n, Cell pen) {
        const uint32_t glyph = pen.glyphBits() & ~Cell::kCodeMask;
        const uint32_t colors = pen.colorBits();
        // Words in their own looks: uniform rows seldom come this way.
        uniform_ = false;
        if (size_ + 8 > capacity_) reallocate(size_ + 8 > 2 * size_ ? size_ + 8 : 2 * size_);
        Cell* out = cells_.get() + size_;
        size_ += uint32_t(n);
#if defined(__SSE2__)
        static_assert(sizeof(Cell) == 8);
        const __m128i zero = _mm_setzero_si128();
        const __m128i glyphs = _mm_set1_epi32(int(glyph)), colours = _mm_set1_epi32(int(colors));
        __m128i codes =
            _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes)), zero);
        __m128i low = _mm_or_si128(_mm_unpacklo_epi16(codes, zero), glyphs);
        __m128i high = _mm_or_si128(_mm_unpackhi_epi16(codes, zero), glyphs);
        // A cell is its glyph word, then its colour word.
        auto* to = reinterpret_cast<__m128i*>(out);
        _mm_storeu_si128(to, _mm_unpacklo_epi32(low, colours));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi32(low, colours));
        _mm_storeu_si128(to + 2, _mm_unpacklo_epi32(high, colours));
        _mm_storeu_si128(to + 3, _mm_unpackhi_epi32(high, colours));
#else
        for (size_t i = 0; i < n; ++i)
            out[i] = Cell::fromBits(glyph | static_cast<unsigned char>(bytes[i]), colors);
#endif
    }

    bool operator==(const Row& o) const;

    // The full look of cell i.
    Pen pen(size_t i) const {
        const Cell& c = cells_[i];
        return c.styled() ? (*looks_)[c.lookId()] : c.pen();
    }
    // The cell that writing code at width in pen makes in this row: its
    // colours inline, or a rare look entered in the row's table.
    Cell penCell(const Pen& pen, uint32_t code = 0, int width = 1) {
        if (!pen.rare()) return Cell::make(code, width, pen);
        return rareCell(pen, code, width);
    }
    // The blank that erasing in pen makes here: the pen's background only.
    Cell eraseCell(const Pen& pen) {
        if (pen.bg == kColorDefault) return Cell();
        if (pen.bg != kColorDirect) return Cell::eraseBlank(pen);
        Pen blank;
        blank.bg = kColorDirect;
        blank.bgRgb = pen.bgRgb;
        return rareCell(blank, 32, 1);
    }
    // The table of rare looks (possibly holding entries no cell uses), for
    // the packer, and its restoration by the unpacker; none when empty.
    const std::vector<Pen>* looks() const {
        return looks_ && !looks_->empty() ? looks_.get() : nullptr;
    }
    void setLooks(std::vector<Pen> looks) {
        looks_ = std::make_unique<std::vector<Pen>>(std::move(looks));
    }

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

    // The cells in order, for the packer.
    const Cell* data() const {
        return cells_.get();
    }
    // Room for n cells, so that building a row of a known length does not
    // reallocate.
    void reserve(size_t n);

  private:
    // Before cells [at, at + n) are written as ASCII in pen's look.
    void noteAscii(size_t at, size_t n, Cell pen) {
        const bool narrow = pen.width() == 1 && !pen.extended();
        if (at == 0 && n >= size_)
            uniform_ = narrow;
        else
            uniform_ = uniform_ && narrow && pen.sameLook(cells_[0]);
    }
    struct FreeCells {
        void operator()(Cell* p) const { ::operator delete(p); }
    };
    // Makes the row n cells long (n at least size()) and returns the old
    // size: the cells from there on are the caller's to write.
    size_t grow(size_t n) {
        size_t old = size_;
        if (n > capacity_) reallocate(n > 2 * old ? n : 2 * old);
        size_ = uint32_t(n);
        return old;
    }
    void reallocate(size_t capacity);
    uint32_t addExtra(Extra e);
    void collectExtras();
    // penCell() of a rare pen: its entry in the table.
    Cell rareCell(const Pen& pen, uint32_t code, int width);
    // The entry of a normalized look, as its three words (its bytes in
    // memory order), added if missing.
    uint32_t lookId(uint64_t w0, uint64_t w1, uint64_t w2);
    void collectLooks();

    // Cells [0, size_) of room for capacity_; a cell is trivially
    // copyable, so the storage is plain memory. Rows are bounded well
    // within 32 bits.
    std::unique_ptr<Cell[], FreeCells> cells_;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
    bool wrapped_ = false;
    bool uniform_ = true;
    std::unique_ptr<std::vector<Extra>> extras_;
    std::unique_ptr<std::vector<Pen>> looks_;
};

}  // namespace screen
