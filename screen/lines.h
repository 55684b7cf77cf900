// The grid's lines: scrollback followed by the screen, oldest first.
//
// Storage is built for a full 10000-line history and for cheap copies:
// - rows are shared between copies and copied only when one side edits
//   them (copy-on-write), so copying a grid costs the same whatever the
//   length of its history;
// - the newest rows (the screen) sit in a small ring of expanded rows;
//   older rows move, packed, into chunks of history that copies share too;
// - adding a line at the end and dropping the oldest are constant time.
// An empty row costs no allocation at all.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "screen/row.h"

namespace screen {

namespace detail {
struct LineNode;
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

  private:
    LineNode* p_ = nullptr;
};
struct HistoryStore;
}  // namespace detail

class Lines {
  public:
    // One empty row, as in a new grid.
    Lines();
    Lines(const Lines& o);
    Lines& operator=(const Lines& o);
    Lines(Lines&& o) noexcept;
    Lines& operator=(Lines&& o) noexcept;
    ~Lines();

    int64_t size() const { return historySize() + int64_t(tail_.size()); }

    // Reading. An index outside 0..size()-1 reads as an empty row.
    Row row(int64_t i) const;  // a copy of the row
    int64_t rowSize(int64_t i) const;
    void appendText(int64_t i, std::string& out) const;
    // The expanded row at i, or nullptr when it is empty or packed.
    const Row* expanded(int64_t i) const;

    // Writing; i must be within 0..size()-1.
    Row& edit(int64_t i);
    void set(int64_t i, Row row);
    void setEmpty(int64_t i);
    // Makes line to the same row as line from (shared until edited).
    void copyLine(int64_t to, int64_t from);

    void pushBack(Row row = Row());
    void popFront();
    void popBack();
    // n empty rows.
    void reset(int64_t n);
    // How many of the last lines are kept expanded (the screen); lines
    // before them are packed when they scroll out of it.
    void setScreenRows(int64_t n);

  private:
    int64_t historySize() const;
    const detail::LineRef& slot(int64_t i) const;
    detail::LineRef& mutableSlot(int64_t i);
    void balance();
    detail::HistoryStore* ownHistory();

    void recycle(detail::LineRef r);

    detail::HistoryStore* history_ = nullptr;  // shared, copy-on-write
    std::deque<detail::LineRef> tail_;
    int64_t screenRows_ = 1;
    // A row that left the screen, kept with its storage for the next new
    // row (never shared).
    detail::LineRef spare_;
};

}  // namespace screen
