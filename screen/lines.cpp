#include "screen/lines.h"

#include <algorithm>
#include <new>
#include <utility>

#include "screen/packed_row.h"

namespace screen {

namespace detail {

// Rows longer than this give their storage back when they leave a slot,
// so that one very wide line does not keep its cells for good.
constexpr size_t kKeptCells = 1024;

void RowRing::release(Row& r) {
    if (r.capacity() > kKeptCells)
        r = Row();
    else
        r.clear();
}

void RowRing::grow() {
    std::vector<Row> bigger(std::max<size_t>(16, slots_.size() * 2));
    for (size_t i = 0; i < size_; ++i)
        bigger[i] = std::move((*this)[i]);
    slots_ = std::move(bigger);
    mask_ = slots_.size() - 1;
    head_ = 0;
}

Row& RowRing::push_back() {
    if (size_ == slots_.size()) grow();
    return (*this)[size_++];
}

void RowRing::push_front(Row r) {
    if (size_ == slots_.size()) grow();
    head_ = (head_ - 1) & mask_;
    slots_[head_] = std::move(r);
    ++size_;
}

void RowRing::pop_front() {
    release(slots_[head_]);
    head_ = (head_ + 1) & mask_;
    --size_;
}

void RowRing::pop_back() {
    release((*this)[--size_]);
}

void RowRing::clear() {
    while (size_ > 0)
        pop_back();
    head_ = 0;
}

// Packed rows are placed one after another in blocks, in the order their
// lines scroll into the history. A block knows the running number (see
// Lines::dropped()) past the newest line packed into it: once the front of
// the store has passed it, every line of the block is gone. This saves an
// allocation per line (rows differ in size, so freed ones would seldom be
// reused as they are) and the allocator's overhead per row.
struct PackedBlock {
    int64_t end = 0;
    uint32_t used = 0;  // bytes taken from the start of data()
    uint32_t capacity;
    explicit PackedBlock(uint32_t bytes) : capacity(bytes) {}
    char* data() { return reinterpret_cast<char*>(this + 1); }
};

namespace {

constexpr size_t kBlockBytes = 16 * 1024;
constexpr size_t kPackedAlign = alignof(PackedRow);
static_assert(sizeof(PackedBlock) % kPackedAlign == 0);
static_assert(alignof(PackedBlock) % kPackedAlign == 0);

// Lines that have left the screen wait expanded until this many have
// gathered, and are then packed together: packing one line the moment it
// leaves the screen costs more, and a store whose history is smaller than
// this never packs at all.
constexpr size_t kBatchRows = 32;

void freeBlock(PackedBlock* b) {
    b->~PackedBlock();
    ::operator delete(b);
}

const PackedRow* packedOf(uintptr_t e) {
    return reinterpret_cast<const PackedRow*>(e);
}
Row* expandedOf(uintptr_t e) {
    return reinterpret_cast<Row*>(e & ~uintptr_t(1));
}
bool isExpanded(uintptr_t e) {
    return e & 1;
}
uintptr_t entryOf(Row* r) {
    return reinterpret_cast<uintptr_t>(r) | 1;
}

}  // namespace

}  // namespace detail

using detail::expandedOf;
using detail::isExpanded;
using detail::packedOf;

Lines::Lines() {
    tail_.push_back();
}

Lines::Lines(Lines&& o) noexcept
    : history_(std::move(o.history_)),
      historyCount_(std::exchange(o.historyCount_, 0)),
      blocks_(std::move(o.blocks_)),
      dropped_(o.dropped_),
      tail_(std::move(o.tail_)),
      screenRows_(o.screenRows_) {
    o.history_.clear();
    o.blocks_.clear();
}

Lines& Lines::operator=(Lines&& o) noexcept {
    std::swap(history_, o.history_);
    std::swap(historyCount_, o.historyCount_);
    std::swap(blocks_, o.blocks_);
    std::swap(dropped_, o.dropped_);
    std::swap(tail_, o.tail_);
    std::swap(screenRows_, o.screenRows_);
    return *this;
}

Lines::~Lines() {
    for (Entry e : history_)
        dropEntry(e);
    for (detail::PackedBlock* b : blocks_)
        detail::freeBlock(b);
}

void Lines::dropEntry(Entry e) {
    if (isExpanded(e)) delete expandedOf(e);
}

Row Lines::takeEntry(Entry e) {
    if (e == 0) return Row();
    if (isExpanded(e)) {
        Row r = std::move(*expandedOf(e));
        delete expandedOf(e);
        return r;
    }
    return packedOf(e)->unpack();
}

Lines::Entry Lines::pack(const Row& row) {
    if (row.empty()) return 0;
    static thread_local detail::PackedRow::Encoding enc;
    if (!detail::PackedRow::encode(row, enc)) return detail::entryOf(new Row(row));
    const size_t size = (sizeof(detail::PackedRow) + enc.bytes() + detail::kPackedAlign - 1) &
                        ~(detail::kPackedAlign - 1);
    detail::PackedBlock* b = blocks_.empty() ? nullptr : blocks_.back();
    if (!b || b->used + size > b->capacity) {
        const size_t bytes = std::max(detail::kBlockBytes, size);
        b = new (::operator new(sizeof(detail::PackedBlock) + bytes))
            detail::PackedBlock(uint32_t(bytes));
        blocks_.push_back(b);
    }
    auto* p = new (b->data() + b->used) detail::PackedRow;
    p->store(enc);
    b->used += uint32_t(size);
    b->end = dropped_ + historySize() + 1;
    return reinterpret_cast<Entry>(p);
}

void Lines::freeBlocks() {
    while (!blocks_.empty() && blocks_.front()->end <= dropped_) {
        detail::freeBlock(blocks_.front());
        blocks_.pop_front();
    }
}

Row Lines::row(LineIndex i) const {
    if (!holds(i)) return Row();
    const int64_t at = offset(i), h = historySize();
    if (at >= h) return tail_[size_t(at - h)];
    const Entry e = history_[size_t(at)];
    if (e == 0) return Row();
    if (isExpanded(e)) return *expandedOf(e);
    return packedOf(e)->unpack();
}

int64_t Lines::rowSize(LineIndex i) const {
    if (!holds(i)) return 0;
    const int64_t at = offset(i), h = historySize();
    if (at >= h) return int64_t(tail_[size_t(at - h)].size());
    const Entry e = history_[size_t(at)];
    if (e == 0) return 0;
    if (isExpanded(e)) return int64_t(expandedOf(e)->size());
    return int64_t(packedOf(e)->cellCount());
}

void Lines::appendText(LineIndex i, std::string& out) const {
    if (!holds(i)) return;
    const int64_t at = offset(i), h = historySize();
    if (at >= h) return tail_[size_t(at - h)].appendAllText(out);
    const Entry e = history_[size_t(at)];
    if (e == 0) return;
    if (isExpanded(e))
        expandedOf(e)->appendAllText(out);
    else
        packedOf(e)->appendText(out);
}

bool Lines::wrapped(LineIndex i) const {
    if (!holds(i)) return false;
    const int64_t at = offset(i), h = historySize();
    if (at >= h) return tail_[size_t(at - h)].wrapped();
    const Entry e = history_[size_t(at)];
    if (e == 0) return false;
    return isExpanded(e) ? expandedOf(e)->wrapped() : packedOf(e)->wrapped();
}

const Row* Lines::expanded(LineIndex i) const {
    if (!holds(i)) return nullptr;
    const int64_t at = offset(i), h = historySize();
    if (at >= h) return &tail_[size_t(at - h)];
    const Entry e = history_[size_t(at)];
    return isExpanded(e) ? expandedOf(e) : nullptr;
}

// A history line that is written to gets a row of its own; its packed
// form stays in its block until the block goes.
Row& Lines::editHistory(int64_t at) {
    Entry& e = history_[size_t(at)];
    if (!isExpanded(e)) e = detail::entryOf(new Row(e ? packedOf(e)->unpack() : Row()));
    return *expandedOf(e);
}

void Lines::set(LineIndex i, Row&& row) {
    const int64_t at = offset(i), h = historySize();
    if (at >= h) {
        Row& slot = tail_[size_t(at - h)];
        if (row.empty())
            slot.clear();
        else
            slot.swap(row);
        return;
    }
    Entry& e = history_[size_t(at)];
    dropEntry(e);
    e = row.empty() ? 0 : detail::entryOf(new Row(std::move(row)));
}

void Lines::set(LineIndex i, const Row& row) {
    const int64_t at = offset(i), h = historySize();
    if (at >= h) {
        tail_[size_t(at - h)] = row;
        return;
    }
    set(i, Row(row));
}

void Lines::setEmpty(LineIndex i) {
    const int64_t at = offset(i), h = historySize();
    if (at >= h) return tail_[size_t(at - h)].clear();
    Entry& e = history_[size_t(at)];
    dropEntry(e);
    e = 0;
}

void Lines::swapLines(LineIndex a, LineIndex b) {
    if (a == b) return;
    const int64_t atA = offset(a), atB = offset(b), h = historySize();
    if (atA >= h && atB >= h) return tail_[size_t(atA - h)].swap(tail_[size_t(atB - h)]);
    // A packed row stays with the line it was packed for (its block lives
    // as long as that line): history lines trade copies.
    Row ra = row(a), rb = row(b);
    set(a, std::move(rb));
    set(b, std::move(ra));
}

void Lines::pushBack(Row row) {
    Row& slot = tail_.push_back();
    if (!row.empty()) slot.swap(row);
    packExcess();
}

void Lines::popFront() {
    if (size() > 0) ++dropped_;
    if (!history_.empty()) {
        dropEntry(history_.front());
        history_.pop_front();
        --historyCount_;
        freeBlocks();
    } else if (!tail_.empty()) {
        tail_.pop_front();
    }
}

void Lines::popBack() {
    if (!tail_.empty()) {
        tail_.pop_back();
        balance();
    } else if (!history_.empty()) {
        dropEntry(history_.back());
        history_.pop_back();
        --historyCount_;
    }
}

void Lines::reset(int64_t n) {
    dropped_ += size();
    for (Entry e : history_)
        dropEntry(e);
    history_.clear();
    historyCount_ = 0;
    for (detail::PackedBlock* b : blocks_)
        detail::freeBlock(b);
    blocks_.clear();
    tail_.clear();
    for (int64_t k = 0; k < n; ++k)
        tail_.push_back();
}

void Lines::setScreenRows(int64_t n) {
    screenRows_ = n < 1 ? 1 : n;
    balance();
    packExcess();
}

// The screen's rows are always expanded: when the screen grows, rows come
// back from the history.
void Lines::balance() {
    while (int64_t(tail_.size()) < screenRows_ && !history_.empty()) {
        Entry e = history_.back();
        history_.pop_back();
        --historyCount_;
        tail_.push_front(takeEntry(e));
    }
}

// Once a batch of lines has left the screen, they go packed into the
// history together.
void Lines::packExcess() {
    if (int64_t(tail_.size()) <= screenRows_ + int64_t(detail::kBatchRows)) return;
    while (int64_t(tail_.size()) > screenRows_) {
        // The next row has sat untouched since the screen left it: fetch
        // its cells while this one is packed.
        if (tail_.size() > 1) {
            const Row& next = tail_[1];
            const char* p = reinterpret_cast<const char*>(next.data());
            for (size_t off = 0; off < next.size() * sizeof(Cell); off += 64)
                __builtin_prefetch(p + off);
        }
        const Entry e = pack(tail_.front());
        history_.push_back(e);
        ++historyCount_;
        tail_.pop_front();
    }
}

}  // namespace screen
