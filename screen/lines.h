// The grid's lines: scrollback followed by the screen, oldest first.
//
// Storage is built for a full 10000-line history:
// - the newest rows (the screen) sit in a small ring of expanded rows;
//   older rows move, packed, into chunks of history;
// - scrolling a region moves rows from line to line without copying them
//   (copyLine): for a moment two lines may hold the same row, which is
//   copied only if one of them is edited before the other is overwritten;
// - adding a line at the end and dropping the oldest are constant time.
// An empty row costs no allocation at all. The store has one owner: it is
// moved (the alternate screen moves the main screen's lines aside), never
// copied, so the history itself is never shared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "screen/row.h"

namespace screen {

namespace detail {
// A row counts the lines that hold it (see copyLine). The counts are plain
// integers: a grid lives on one thread.
struct LineNode {
    uint32_t refs = 1;
    bool packed = false;
    // A packed row's place in its block, in 4-byte units (see lines.cpp).
    uint16_t blockOffset = 0;
};
struct RowNode : LineNode {
    Row row;
};
class LineRef {
  public:
    LineRef() = default;
    explicit LineRef(LineNode* p) : p_(p) {}
    LineRef(const LineRef& o);
    LineRef(LineRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    LineRef& operator=(LineRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~LineRef();
    LineNode* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // An expanded row that nobody else shares: editable in place.
    Row* ownRow() const {
        return p_ && !p_->packed && p_->refs == 1 ? &static_cast<RowNode*>(p_)->row : nullptr;
    }

  private:
    LineNode* p_ = nullptr;
};

// The screen's rows: a ring that grows by doubling.
class Ring {
  public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    LineRef& operator[](size_t i) { return slots_[(head_ + i) & (slots_.size() - 1)]; }
    const LineRef& operator[](size_t i) const { return slots_[(head_ + i) & (slots_.size() - 1)]; }
    LineRef& front() { return (*this)[0]; }
    void push_back(LineRef r);
    void push_front(LineRef r);
    LineRef pop_front();
    void pop_back();
    void clear();
    void resize(size_t n);  // n empty rows

  private:
    void grow();
    std::vector<LineRef> slots_;  // a power of two in size, or empty
    size_t head_ = 0;
    size_t size_ = 0;
};
struct HistoryStore;
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

    int64_t size() const { return historyCount_ + int64_t(tail_.size()); }

    // Reading. An index outside 0..size()-1 reads as an empty row.
    Row row(int64_t i) const;  // a copy of the row
    int64_t rowSize(int64_t i) const;
    void appendText(int64_t i, std::string& out) const;
    // The expanded row at i, or nullptr when it is empty or packed.
    const Row* expanded(int64_t i) const;
    // Row i ran on into row i + 1 (Row::wrapped).
    bool wrapped(int64_t i) const;
    // How many lines have left the front since the store was made: line i
    // is the (dropped() + i)th line the store ever held, a number that
    // trimming the history does not change.
    int64_t dropped() const { return dropped_; }

    // Writing; i must be within 0..size()-1.
    Row& edit(int64_t i) {
        if (i >= historyCount_) {
            if (Row* r = tail_[size_t(i - historyCount_)].ownRow()) return *r;
        }
        return editShared(i);
    }
    void set(int64_t i, Row row);
    void setEmpty(int64_t i);
    // Makes line to the same row as line from (shared until edited).
    void copyLine(int64_t to, int64_t from);

    void pushBack(Row row = Row());
    void popFront();
    void popBack();
    // popFront() and pushBack(row) at once; the line that goes is not
    // packed for the history, its storage serves the new one.
    void rotate(Row row);
    // n empty rows.
    void reset(int64_t n);
    // How many of the last lines are kept expanded (the screen); lines
    // before them are packed when they scroll out of it.
    void setScreenRows(int64_t n);

  private:
    int64_t historySize() const { return historyCount_; }
    Row& editShared(int64_t i);
    const detail::LineRef& slot(int64_t i) const;
    detail::LineRef& mutableSlot(int64_t i);
    void balance();
    detail::HistoryStore* ownHistory();

    void recycle(detail::LineRef r);

    detail::HistoryStore* history_ = nullptr;  // owned; made when the first row goes in
    int64_t historyCount_ = 0;                 // rows in history_
    int64_t dropped_ = 0;
    detail::Ring tail_;
    int64_t screenRows_ = 1;
    // A row that left the screen, kept with its storage for the next new
    // row (never shared).
    detail::LineRef spare_;
    // The block that rows are being packed into (never shared).
    detail::PackedBlock* block_ = nullptr;
};

}  // namespace screen
