#include "screen/lines.h"

#include <algorithm>
#include <deque>
#include <new>
#include <utility>
#include <vector>

#include "screen/packed_row.h"

namespace screen {

namespace detail {

// The packed row's bytes follow the node.
struct PackedNode : LineNode {
    PackedRow row;
};
static_assert(sizeof(PackedNode) == sizeof(LineNode) + sizeof(PackedRow));

// Packed rows are placed one after another in blocks, in the order their
// lines scroll into the history, which is also the order in which they are
// dropped: a block goes when its last row does. This saves an allocation
// per line feed (rows differ in size, so freed ones are seldom reused
// as they are) and the allocator's overhead per row.
struct PackedBlock {
    // Its packed rows, plus one while a line store fills it.
    uint32_t live = 1;
    uint32_t used = 0;  // bytes taken from the start of data()
    uint32_t capacity;
    explicit PackedBlock(uint32_t bytes) : capacity(bytes) {}
    char* data() { return reinterpret_cast<char*>(this + 1); }
};
static_assert(sizeof(PackedBlock) % alignof(PackedNode) == 0);

constexpr size_t kBlockBytes = 16 * 1024;
constexpr size_t kPackedAlign = alignof(PackedNode);
// Offsets are kept in 16 bits of kPackedAlign units; a row too large for
// a block gets one of its own, where it starts at offset 0.
static_assert(kBlockBytes / kPackedAlign <= 0xffff);

namespace {

void releaseBlock(PackedBlock* b) {
    if (--b->live != 0) return;
    b->~PackedBlock();
    ::operator delete(b);
}

// Room for size bytes (a multiple of kPackedAlign) in the block being
// filled, which moves to a new block when full; offset is where the room
// starts.
char* allocatePacked(PackedBlock*& block, size_t size, uint16_t& offset) {
    // A block whose rows are all gone is filled again from the start.
    if (block && block->live == 1) block->used = 0;
    if (!block || block->used + size > block->capacity) {
        if (block) releaseBlock(block);
        size_t bytes = std::max(kBlockBytes, size);
        block = new (::operator new(sizeof(PackedBlock) + bytes)) PackedBlock(uint32_t(bytes));
    }
    char* p = block->data() + block->used;
    offset = uint16_t(block->used / kPackedAlign);
    block->used += uint32_t(size);
    ++block->live;
    return p;
}

void releaseNode(LineNode* p) {
    if (--p->refs != 0) return;
    if (p->packed) {
        auto* n = static_cast<PackedNode*>(p);
        auto* block = reinterpret_cast<PackedBlock*>(reinterpret_cast<char*>(n) -
                                                     size_t(n->blockOffset) * kPackedAlign) -
                      1;
        n->~PackedNode();
        releaseBlock(block);
    } else {
        delete static_cast<RowNode*>(p);
    }
}
}  // namespace

LineRef::LineRef(const LineRef& o) : p_(o.p_) {
    if (p_) ++p_->refs;
}
LineRef::~LineRef() {
    if (p_) releaseNode(p_);
}

void Ring::grow() {
    std::vector<LineRef> bigger(std::max<size_t>(16, slots_.size() * 2));
    for (size_t i = 0; i < size_; ++i)
        bigger[i] = std::move((*this)[i]);
    slots_ = std::move(bigger);
    head_ = 0;
}

void Ring::push_back(LineRef r) {
    if (size_ == slots_.size()) grow();
    (*this)[size_++] = std::move(r);
}

void Ring::push_front(LineRef r) {
    if (size_ == slots_.size()) grow();
    head_ = (head_ - 1) & (slots_.size() - 1);
    slots_[head_] = std::move(r);
    ++size_;
}

LineRef Ring::pop_front() {
    LineRef r = std::move(slots_[head_]);
    head_ = (head_ + 1) & (slots_.size() - 1);
    --size_;
    return r;
}

void Ring::pop_back() {
    (*this)[--size_] = LineRef();
}

void Ring::clear() {
    for (size_t i = 0; i < size_; ++i)
        (*this)[i] = LineRef();
    head_ = 0;
    size_ = 0;
}

void Ring::resize(size_t n) {
    while (size_ > n)
        pop_back();
    while (size_ < n)
        push_back(LineRef());
}

constexpr size_t kChunkRows = 256;

struct Chunk {
    uint32_t refs = 1;
    std::vector<LineRef> lines;
};

struct HistoryStore {
    uint32_t refs = 1;
    std::deque<Chunk*> chunks;
    size_t first = 0;  // rows already dropped from the first chunk
    size_t size = 0;

    HistoryStore() = default;
    HistoryStore(const HistoryStore& o) : chunks(o.chunks), first(o.first), size(o.size) {
        for (Chunk* c : chunks)
            ++c->refs;
    }
    ~HistoryStore() {
        for (Chunk* c : chunks)
            releaseChunk(c);
    }
    static void releaseChunk(Chunk* c) {
        if (--c->refs == 0) delete c;
    }
    const LineRef& at(size_t i) const {
        size_t k = first + i;
        return chunks[k / kChunkRows]->lines[k % kChunkRows];
    }
    // The chunk holding row i, unshared.
    LineRef& mutableAt(size_t i) {
        size_t k = first + i;
        return own(k / kChunkRows)->lines[k % kChunkRows];
    }
    Chunk* own(size_t c) {
        Chunk*& chunk = chunks[c];
        if (chunk->refs > 1) {
            auto* copy = new Chunk{1, chunk->lines};
            copy->lines.reserve(kChunkRows);
            releaseChunk(chunk);
            chunk = copy;
        }
        return chunk;
    }
    void pushBack(LineRef r) {
        if (chunks.empty() || chunks.back()->lines.size() == kChunkRows) {
            chunks.push_back(new Chunk);
            chunks.back()->lines.reserve(kChunkRows);
        }
        own(chunks.size() - 1)->lines.push_back(std::move(r));
        ++size;
    }
    void popFront() {
        // The dropped row is released now when nobody else sees the chunk,
        // else together with the chunk.
        Chunk* front = chunks.front();
        if (front->refs == 1) front->lines[first] = LineRef();
        --size;
        ++first;
        if (size == 0) {
            // The last row is gone (so this is the only chunk): keep the
            // chunk for the next row when nobody else sees it.
            if (front->refs == 1) {
                front->lines.clear();
            } else {
                releaseChunk(front);
                chunks.clear();
            }
            first = 0;
        } else if (first == kChunkRows) {
            releaseChunk(front);
            chunks.pop_front();
            first = 0;
        }
        // The next row to drop has sat untouched since it scrolled in; fetch
        // its header while the next line is written.
        if (size > 0) __builtin_prefetch(at(0).get());
    }
    LineRef popBack() {
        Chunk* c = own(chunks.size() - 1);
        LineRef r = std::move(c->lines.back());
        c->lines.pop_back();
        --size;
        if (c->lines.size() == (chunks.size() == 1 ? first : 0)) {
            releaseChunk(c);
            chunks.pop_back();
            if (chunks.empty()) first = 0;
        }
        return r;
    }
};

namespace {

LineRef makeRowNode(Row row) {
    auto* n = new RowNode;
    n->row = std::move(row);
    return LineRef(n);
}

// Packs a row for the history into block; an empty row stays empty (no
// allocation).
LineRef packLine(const LineRef& r, PackedBlock*& block) {
    if (!r || r.get()->packed) return r;
    const Row& row = static_cast<RowNode*>(r.get())->row;
    if (row.empty()) return LineRef();
    static thread_local PackedRow::Encoding enc;
    if (!PackedRow::encode(row, enc)) return r;
    size_t size = (sizeof(PackedNode) + enc.bytes() + kPackedAlign - 1) & ~(kPackedAlign - 1);
    uint16_t offset;
    auto* n = new (allocatePacked(block, size, offset)) PackedNode;
    n->packed = true;
    n->blockOffset = offset;
    n->row.store(enc);
    return LineRef(n);
}

}  // namespace

}  // namespace detail

using detail::LineRef;

Lines::Lines() {
    tail_.push_back(LineRef());
}

Lines::Lines(Lines&& o) noexcept
    : history_(std::exchange(o.history_, nullptr)),
      historyCount_(std::exchange(o.historyCount_, 0)),
      tail_(std::move(o.tail_)),
      screenRows_(o.screenRows_),
      spare_(std::move(o.spare_)),
      block_(std::exchange(o.block_, nullptr)) {}

Lines& Lines::operator=(Lines&& o) noexcept {
    std::swap(history_, o.history_);
    std::swap(historyCount_, o.historyCount_);
    std::swap(tail_, o.tail_);
    std::swap(screenRows_, o.screenRows_);
    std::swap(spare_, o.spare_);
    std::swap(block_, o.block_);
    return *this;
}

Lines::~Lines() {
    if (history_ && --history_->refs == 0) delete history_;
    if (block_) detail::releaseBlock(block_);
}

detail::HistoryStore* Lines::ownHistory() {
    if (!history_) {
        history_ = new detail::HistoryStore;
    } else if (history_->refs > 1) {
        auto* copy = new detail::HistoryStore(*history_);
        --history_->refs;
        history_ = copy;
    }
    return history_;
}

const LineRef& Lines::slot(int64_t i) const {
    int64_t h = historySize();
    if (i < h) return history_->at(size_t(i));
    return tail_[size_t(i - h)];
}

LineRef& Lines::mutableSlot(int64_t i) {
    int64_t h = historySize();
    if (i >= h) return tail_[size_t(i - h)];
    return ownHistory()->mutableAt(size_t(i));
}

Row Lines::row(int64_t i) const {
    if (i < 0 || i >= size()) return Row();
    const LineRef& r = slot(i);
    if (!r) return Row();
    if (r.get()->packed) return static_cast<detail::PackedNode*>(r.get())->row.unpack();
    return static_cast<detail::RowNode*>(r.get())->row;
}

int64_t Lines::rowSize(int64_t i) const {
    if (i < 0 || i >= size()) return 0;
    const LineRef& r = slot(i);
    if (!r) return 0;
    if (r.get()->packed) return int64_t(static_cast<detail::PackedNode*>(r.get())->row.cellCount());
    return int64_t(static_cast<detail::RowNode*>(r.get())->row.size());
}

void Lines::appendText(int64_t i, std::string& out) const {
    if (i < 0 || i >= size()) return;
    const LineRef& r = slot(i);
    if (!r) return;
    if (r.get()->packed)
        static_cast<detail::PackedNode*>(r.get())->row.appendText(out);
    else
        static_cast<detail::RowNode*>(r.get())->row.appendAllText(out);
}

const Row* Lines::expanded(int64_t i) const {
    if (i < 0 || i >= size()) return nullptr;
    const LineRef& r = slot(i);
    if (!r || r.get()->packed) return nullptr;
    return &static_cast<detail::RowNode*>(r.get())->row;
}

Row& Lines::editShared(int64_t i) {
    LineRef& r = mutableSlot(i);
    if (!r) {
        r = spare_ ? std::move(spare_) : detail::makeRowNode(Row());
    } else if (r.get()->packed) {
        r = detail::makeRowNode(static_cast<detail::PackedNode*>(r.get())->row.unpack());
    } else if (r.get()->refs > 1) {
        r = detail::makeRowNode(static_cast<detail::RowNode*>(r.get())->row);
    }
    return static_cast<detail::RowNode*>(r.get())->row;
}

void Lines::set(int64_t i, Row row) {
    if (row.empty())
        setEmpty(i);
    else
        mutableSlot(i) = detail::makeRowNode(std::move(row));
}

void Lines::setEmpty(int64_t i) {
    LineRef& r = mutableSlot(i);
    if (r) r = LineRef();
}

void Lines::copyLine(int64_t to, int64_t from) {
    if (to == from) return;
    LineRef r = slot(from);
    mutableSlot(to) = std::move(r);
}

void Lines::pushBack(Row row) {
    tail_.push_back(row.empty() ? LineRef() : detail::makeRowNode(std::move(row)));
    balance();
}

void Lines::popFront() {
    if (historySize() > 0) {
        ownHistory()->popFront();
        --historyCount_;
    } else if (!tail_.empty()) {
        tail_.pop_front();
    }
}

void Lines::popBack() {
    if (!tail_.empty()) {
        tail_.pop_back();
        balance();
    } else if (historySize() > 0) {
        ownHistory()->popBack();
        --historyCount_;
    }
}

void Lines::reset(int64_t n) {
    if (history_ && --history_->refs == 0) delete history_;
    history_ = nullptr;
    historyCount_ = 0;
    tail_.clear();
    tail_.resize(size_t(n));
}

void Lines::setScreenRows(int64_t n) {
    screenRows_ = n < 1 ? 1 : n;
    balance();
}

void Lines::recycle(LineRef r) {
    if (spare_ || !r || r.get()->packed || r.get()->refs != 1) return;
    static_cast<detail::RowNode*>(r.get())->row.clear();
    spare_ = std::move(r);
}

// Keeps exactly the last screenRows_ lines (or all, when fewer) expanded in
// the tail: older ones move packed into the history, and when the screen
// grows, rows come back from the history.
void Lines::balance() {
    while (int64_t(tail_.size()) > screenRows_) {
        LineRef front = tail_.pop_front();
        ownHistory()->pushBack(detail::packLine(front, block_));
        ++historyCount_;
        recycle(std::move(front));
        // The next row to pack has sat untouched since it left the cursor;
        // fetch it while the next line is written.
        if (!tail_.empty() && tail_.front() && !tail_.front().get()->packed) {
            const Row& next = static_cast<detail::RowNode*>(tail_.front().get())->row;
            const char* p = reinterpret_cast<const char*>(next.data());
            for (size_t off = 0; off < next.size() * sizeof(Cell); off += 64)
                __builtin_prefetch(p + off);
        }
    }
    while (int64_t(tail_.size()) < screenRows_ && historySize() > 0) {
        tail_.push_front(ownHistory()->popBack());
        --historyCount_;
    }
}

}  // namespace screen
