#include "kiv/output_queue.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace kiv {

namespace {

// Pieces handed to one sendmsg; a socket buffer rarely takes more.
constexpr size_t MaxPiecesPerSend = 16;
// The size of the queue's own buffers for small pieces.
constexpr size_t OwnBufferSize = 16 * 1024;

}  // namespace

SharedBytes ownBytes(std::string bytes) {
    auto owner = std::make_shared<const std::string>(std::move(bytes));
    return {owner, *owner, owner->size()};
}

void OutputQueue::push(SharedBytes piece) {
    if (piece.bytes.empty()) return;
    size_ += piece.bytes.size();
    if (piece.bytes.size() * 2 < piece.capacity) return appendOwn(piece.bytes);
    pieces_.push_back(std::move(piece));
}

void OutputQueue::appendOwn(std::string_view bytes) {
    bool fits = !pieces_.empty() && ownTail_ && pieces_.back().owner == ownTail_ &&
                ownTail_->size() + bytes.size() <= ownTail_->capacity();
    if (fits) {
        // Within its capacity the buffer does not move: the piece's view
        // only grows at its end.
        ownTail_->append(bytes);
        std::string_view& back = pieces_.back().bytes;
        back = std::string_view(back.data(), back.size() + bytes.size());
        return;
    }
    // One nobody holds a share of any more is used again.
    if (!ownTail_ || ownTail_.use_count() > 1 || ownTail_->capacity() < bytes.size()) {
        ownTail_ = std::make_shared<std::string>();
        ownTail_->reserve(std::max(OwnBufferSize, bytes.size()));
    }
    ownTail_->assign(bytes);
    pieces_.push_back({ownTail_, *ownTail_, ownTail_->capacity()});
}

bool OutputQueue::send(int fd, SharedBytes piece) {
    if (!empty()) {
        push(std::move(piece));
        return true;
    }
    std::string_view& rest = piece.bytes;
    size_t whole = rest.size();
    while (!rest.empty()) {
        ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n > 0) {
            rest.remove_prefix(static_cast<size_t>(n));
            sent_ += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            frontStarted_ = rest.size() < whole;
            push(std::move(piece));
            break;
        } else {
            return false;
        }
    }
    return true;
}

bool OutputQueue::writeTo(int fd) {
    while (!pieces_.empty()) {
        iovec iov[MaxPiecesPerSend];
        size_t count = std::min(pieces_.size(), MaxPiecesPerSend);
        for (size_t i = 0; i < count; ++i)
            iov[i] = {const_cast<char*>(pieces_[i].bytes.data()), pieces_[i].bytes.size()};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        if (n <= 0) return false;
        size_ -= static_cast<size_t>(n);
        sent_ += static_cast<size_t>(n);
        for (auto left = static_cast<size_t>(n); left > 0;) {
            std::string_view& front = pieces_.front().bytes;
            if (left < front.size()) {
                front.remove_prefix(left);
                frontStarted_ = true;
                break;
            }
            left -= front.size();
            pieces_.pop_front();
            frontStarted_ = false;
        }
    }
    return true;
}

void OutputQueue::clear() {
    pieces_.clear();
    size_ = 0;
    frontStarted_ = false;
}

void OutputQueue::dropUnstarted() {
    size_t keep = frontStarted_ && !pieces_.empty() ? 1 : 0;
    while (pieces_.size() > keep) {
        size_ -= pieces_.back().bytes.size();
        pieces_.pop_back();
    }
}

}  // namespace kiv
