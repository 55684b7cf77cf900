// What one client's socket has not taken yet. A chunk of output is framed
// once and the same bytes are queued for every client that gets them:
// pieces hold a share of their buffer, never a copy, and go out together
// in one sendmsg.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace kiv {

// Bytes that stay put while anyone holds a share of them, within an
// allocation of `capacity` bytes.
struct SharedBytes {
    std::shared_ptr<const void> owner;
    std::string_view bytes;
    size_t capacity = 0;
};

// A share of bytes the queue makes its own (a copy, for what is one
// client's alone).
SharedBytes ownBytes(std::string bytes);

class OutputQueue {
  public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Queues `piece` behind what waits, or sends it at once when nothing
    // waits, keeping only the share of the tail the socket did not take.
    // False when the connection has failed.
    bool send(int fd, SharedBytes piece);
    void push(SharedBytes piece);
    // Sends what the socket takes, oldest first, until it would block.
    // False when the connection has failed (nothing more can be sent).
    bool writeTo(int fd);
    void clear();
    // Forgets what has not begun to go out; a piece the socket took part
    // of stays, so that the peer still receives whole frames.
    void dropUnstarted();
    // Bytes the socket has taken in all: progress, for a client that may
    // have stopped reading.
    uint64_t sent() const { return sent_; }

  private:
    void appendOwn(std::string_view bytes);

    std::deque<SharedBytes> pieces_;
    size_t size_ = 0;
    // The queue's own buffer at the back, where small pieces are copied: a
    // share of a large buffer must not be held for a few bytes of it (a
    // slow client's queue of echoed keys would pin megabytes each).
    std::shared_ptr<std::string> ownTail_;
    uint64_t sent_ = 0;
    bool frontStarted_ = false;  // the socket took part of the first piece
};

}  // namespace kiv
