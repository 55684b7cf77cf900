// The grid's lines: history followed by the screen, oldest first.
//
// Storage is built for a full 10000-line history, with one owner and
// nothing shared:
// - the newest rows (the screen, and the few lines that last left it) sit
//   expanded in a ring of rows, each slot keeping its cells' storage for
//   the next row that comes in;
// - older rows are packed into the history in batches, one after another
//   in large blocks, in the order they scroll in, which is also the order
//   in which they are dropped: a block goes when its last line does, and
//   dropping the oldest line touches nothing of it;
// - a store that keeps no history (scrollback 0, the alternate screen)
//   drops the lines that leave the screen without packing them.
// The store is moved (the alternate screen moves the main screen's lines
// aside), never copied.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "screen/coordinates.h"
#include "screen/row.h"

namespace screen {

namespace detail {

// Rows in order, in a ring that grows by doubling. A slot keeps the
// storage of the row that left it for the next row to take.
class RowRing {
  public:
    RowRing() = default;
    RowRing(RowRing&& o) noexcept
        : slots_(std::move(o.slots_)),
          mask_(std::exchange(o.mask_, 0)),
          head_(std::exchange(o.head_, 0)),
          size_(std::exchange(o.size_, 0)) {}
    RowRing& operator=(RowRing&& o) noexcept {
        std::swap(slots_, o.slots_);
        std::swap(mask_, o.mask_);
        std::swap(head_, o.head_);
        std::swap(size_, o.size_);
        return *this;
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Row& operator[](size_t i) { return slots_[(head_ + i) & mask_]; }
    const Row& operator[](size_t i) const { return slots_[(head_ + i) & mask_]; }
    Row& front() { return (*this)[0]; }
    // A new empty row at the back.
    Row& push_back();
    void push_front(Row r);
    void pop_front();
    void pop_back();
    void clear();

  private:
    void grow();
    void release(Row& r);
    std::vector<Row> slots_;  // a power of two in size, or empty
    size_t mask_ = 0;         // its size - 1
    size_t head_ = 0;
    size_t size_ = 0;
};

class PackedRow;
struct PackedBlock;

}  // namespace detail

class Lines {
  public:
    // One empty row, as in a new grid.
    Lines();
    Lines(const Lines& o) = delete;
    Lines& operator=(const Lines& o) = delete;
    Lines(Lines&& o) noexcept;
    Lines& operator=(Lines&& o) noexcept;
    ~Lines();

    // How many lines there are; their indexes run from LineIndex{0} up to
    // end().
    int64_t size() const { return historySize() + int64_t(tail_.size()); }
    // One past the newest line: the bound of the indexes, as a line index.
    LineIndex end() const { return LineIndex{size()}; }

    // Reading. An index outside 0..size()-1 reads as an empty row.
    Row row(LineIndex i) const;  // a copy of the row
    int64_t rowSize(LineIndex i) const;
    void appendText(LineIndex i, std::string& out) const;
    // The expanded row at i, or nullptr when it is packed.
    const Row* expanded(LineIndex i) const;
    // Row i ran on into row i + 1 (Row::wrapped).
    bool wrapped(LineIndex i) const;
    // How many lines have left the front since the store was made: line i
    // is the (dropped() + i)th line the store ever held, a number that
    // trimming the history does not change.
    int64_t dropped() const { return dropped_; }
    // Line i's running number, and the line with running number n (below
    // LineIndex{0} when it is gone).
    int64_t numberOf(LineIndex i) const { return dropped_ + i.value; }
    LineIndex lineNumbered(int64_t n) const { return LineIndex{n - dropped_}; }

    // Writing; i must be within 0..size()-1.
    Row& edit(LineIndex i) {
        const int64_t at = offset(i), h = historySize();
        if (at >= h) return tail_[size_t(at - h)];
        return editHistory(at);
    }
    void set(LineIndex i, Row&& row);
    void set(LineIndex i, const Row& row);
    void setEmpty(LineIndex i);
    // Lines a and b trade rows (how scrolling moves them, uncopied).
    void swapLines(LineIndex a, LineIndex b);

    void pushBack(Row row = Row());
    void popFront();
    void popBack();
    // n empty rows.
    void reset(int64_t n);
    // How many of the last lines are the screen; lines before them are
    // packed into the history once enough of them have gathered.
    void setScreenRows(int64_t n);

  private:
    // A history line: 0 for an empty row; else a packed row in one of the
    // blocks, or, with the low bit set, an expanded row of its own (a
    // history line that was edited).
    using Entry = uintptr_t;
    int64_t historySize() const { return historyCount_; }
    // Where line i is kept: at this place in the history, or, from
    // historySize() on, in the ring after it.
    static int64_t offset(LineIndex i) { return i.value; }
    // Whether line i exists.
    bool holds(LineIndex i) const { return i >= LineIndex{0} && i < end(); }
    Row& editHistory(int64_t at);
    void dropEntry(Entry e);
    Entry pack(const Row& row);
    Row takeEntry(Entry e);
    void balance();
    void packExcess();
    void freeBlocks();

    std::deque<Entry> history_;
    int64_t historyCount_ = 0;  // its size
    // The blocks that packed rows live in, oldest first; the last one is
    // being filled.
    std::deque<detail::PackedBlock*> blocks_;
    int64_t dropped_ = 0;
    detail::RowRing tail_;
    int64_t screenRows_ = 1;
};

}  // namespace screen
