// A small level-triggered readiness selector over epoll, one per process.
#pragma once

#include <signal.h>

#include <span>
#include <unordered_map>

#include "kiv/fd.h"

namespace kiv {

enum class Interest { None, Read, ReadWrite, Write };

struct ReadyEvent {
    int fd;
    bool readable;
    bool writable;
    bool error;  // EPOLLERR or EPOLLHUP
};

class Selector {
  public:
    static constexpr int MaxEvents = 64;

    Selector();  // raises SystemError "epoll_create1 failed"

    // Each returns false when the kernel refuses (e.g. a regular file).
    // The selector remembers each descriptor's interest, so a modify that
    // changes nothing costs no system call: the daemon sets interests after
    // every write, and most of them are what they were.
    bool add(int fd, Interest interest);
    bool modify(int fd, Interest interest);
    // Forgetting a descriptor the selector does not know is no error.
    void remove(int fd);

    // Waits up to `timeoutMs` (-1: no limit) for at most MaxEvents events.
    // With `mask`, that signal mask is in force during the wait only, so a
    // signal blocked elsewhere can arrive exactly there and no sooner. An
    // interrupted wait returns no events. The events stay valid until the
    // next wait.
    std::span<const ReadyEvent> wait(int timeoutMs, const sigset_t* mask = nullptr);

    // How many epoll_ctl calls were made, for tests of the above.
    long controlCalls() const { return controlCalls_; }

  private:
    bool control(int op, int fd, Interest interest);

    UniqueFd epoll_;
    std::unordered_map<int, Interest> interest_;
    long controlCalls_ = 0;
    ReadyEvent ready_[MaxEvents];
};

}  // namespace kiv
