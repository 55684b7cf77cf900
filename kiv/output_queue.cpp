#include "kiv/output_queue.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace kiv {

namespace {

// Pieces handed to one sendmsg; a socket buffer rarely takes more.
constexpr size_t MaxPiecesPerSend = 16;

}  // namespace

SharedBytes ownBytes(std::string bytes) {
    auto owner = std::make_shared<const std::string>(std::move(bytes));
    return {owner, *owner};
}

void OutputQueue::push(SharedBytes piece) {
    if (piece.bytes.empty()) return;
    size_ += piece.bytes.size();
    pieces_.push_back(std::move(piece));
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
