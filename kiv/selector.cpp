#include "kiv/selector.h"

#include <sys/epoll.h>

#include "kiv/errors.h"

namespace kiv {

namespace {

uint32_t epollBits(Interest interest) {
    switch (interest) {
        case Interest::None:
            return 0;
        case Interest::Read:
            return EPOLLIN;
        case Interest::ReadWrite:
            return EPOLLIN | EPOLLOUT;
        case Interest::Write:
            return EPOLLOUT;
    }
    return 0;
}

}  // namespace

bool Selector::control(int op, int fd, Interest interest) {
    epoll_event ev{};
    ev.events = epollBits(interest);
    ev.data.fd = fd;
    ++controlCalls_;
    return epoll_ctl(epoll_.get(), op, fd, &ev) == 0;
}

Selector::Selector() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    if (!epoll_) throw SystemError("epoll_create1 failed");
}

bool Selector::add(int fd, Interest interest) {
    if (!control(EPOLL_CTL_ADD, fd, interest)) return false;
    interest_[fd] = interest;
    return true;
}

bool Selector::modify(int fd, Interest interest) {
    auto known = interest_.find(fd);
    if (known == interest_.end()) return false;
    if (known->second == interest) return true;
    if (!control(EPOLL_CTL_MOD, fd, interest)) return false;
    known->second = interest;
    return true;
}

void Selector::remove(int fd) {
    if (interest_.erase(fd) == 0) return;
    ++controlCalls_;
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

std::span<const ReadyEvent> Selector::wait(int timeoutMs, const sigset_t* mask) {
    epoll_event events[MaxEvents];
    int n = epoll_pwait(epoll_.get(), events, MaxEvents, timeoutMs, mask);
    if (n <= 0) return {};  // timeout or interrupted: a pass without events
    for (int i = 0; i < n; ++i) {
        uint32_t bits = events[i].events;
        ready_[i] = {events[i].data.fd, (bits & EPOLLIN) != 0, (bits & EPOLLOUT) != 0,
                     (bits & (EPOLLERR | EPOLLHUP)) != 0};
    }
    return {ready_, static_cast<size_t>(n)};
}

}  // namespace kiv
