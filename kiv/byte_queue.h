// A FIFO of bytes that is written out from the front in pieces. Consuming
// moves an offset instead of shifting the rest, so draining a large queue in
// small writes stays linear.
#pragma once

#include <string>
#include <string_view>

namespace kiv {

class ByteQueue {
  public:
    size_t size() const { return data_.size() - head_; }
    bool empty() const { return size() == 0; }
    const char* data() const { return data_.data() + head_; }

    void append(std::string_view bytes) {
        if (head_ > 0 && head_ >= data_.size() / 2) compact();
        data_.append(bytes);
    }

    void consume(size_t n) {
        head_ += n;
        if (head_ >= data_.size()) clear();
    }

    void clear() {
        data_.clear();
        head_ = 0;
        // Give back the memory of a burst; a queue may have held megabytes.
        if (data_.capacity() > 65536) data_.shrink_to_fit();
    }

  private:
    void compact() {
        data_.erase(0, head_);
        head_ = 0;
    }

    std::string data_;
    size_t head_ = 0;
};

}  // namespace kiv
