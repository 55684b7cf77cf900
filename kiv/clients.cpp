// The daemon's half of the protocol: per-client queues and message handling.
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "kiv/daemon.h"

namespace kiv {

namespace {

Interest clientInterest(const Session& s, bool wantWrite) {
    if (s.inputPaused) return wantWrite ? Interest::Write : Interest::None;
    return wantWrite ? Interest::ReadWrite : Interest::Read;
}

// Stops reading clients while the command lags behind their input, and
// starts again once it has caught up: no input is dropped and the queue
// stays bounded whatever clients send.
void updateInputPause(Session& s) {
    bool pause = s.ptyOut.size() > PtyInputHighWater;
    if (pause == s.inputPaused) return;
    s.inputPaused = pause;
    for (const Client& c : s.clients)
        s.sel->modify(c.fd.get(), clientInterest(s, !c.outBuf.empty()));
}

bool readyForOutput(const Client& c) {
    return c.attached && !c.awaitingSnapshot;
}

}  // namespace

bool addClient(Session& s, UniqueFd fd, bool trusted) {
    int raw = fd.get();
    if (!s.sel->add(raw, clientInterest(s, false))) return false;
    Client client;
    client.fd = std::move(fd);
    client.attached = trusted;
    client.awaitingSnapshot = trusted;
    s.clients.push_back(std::move(client));
    return true;
}

void setInterest(Session& s, int fd, bool wantWrite) {
    s.sel->modify(fd, clientInterest(s, wantWrite));
}

int clientIndex(const Session& s, int fd) {
    for (size_t i = 0; i < s.clients.size(); ++i)
        if (s.clients[i].fd.get() == fd) return static_cast<int>(i);
    return -1;
}

bool takeClientFrame(Session& s, int index, MsgKind& kind, std::string& payload) {
    return takeFrame(s.clients[index].inBuf, kind, payload);
}

void removeClient(Session& s, int fd) {
    std::erase_if(s.clients, [fd](Client& c) {
        if (c.fd.get() != fd) return false;
        c.fd.release();  // the caller owns closing
        return true;
    });
}

void dropClient(Session& s, int fd) {
    if (clientIndex(s, fd) < 0) return;
    s.sel->remove(fd);
    ::close(fd);
    removeClient(s, fd);
    forgetWatcher(s, fd);
}

void flushPty(Session& s) {
    int master = s.pty.masterFd();
    while (!s.ptyOut.empty()) {
        ssize_t n = ::write(master, s.ptyOut.data(), s.ptyOut.size());
        if (n > 0) {
            s.ptyOut.consume(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            s.sel->modify(master, Interest::ReadWrite);
            updateInputPause(s);
            return;
        }
        // The command's side is gone (EIO): nobody will ever read this input,
        // and the next read of the master ends the session.
        s.ptyOut.clear();
        break;
    }
    s.sel->modify(master, Interest::Read);
    updateInputPause(s);
}

bool flushClient(Session& s, int index) {
    Client& c = s.clients[index];
    while (!c.outBuf.empty()) {
        ssize_t n = ::write(c.fd.get(), c.outBuf.data(), c.outBuf.size());
        if (n > 0) {
            c.outBuf.consume(n);
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            setInterest(s, c.fd.get(), !c.outBuf.empty());
            return true;
        }
        return false;
    }
    setInterest(s, c.fd.get(), false);
    return true;
}

bool queueClient(Session& s, int index, MsgKind kind, std::string_view payload) {
    std::string frame = frameBytes(kind, payload);
    Client& c = s.clients[index];
    if (c.outBuf.size() + frame.size() > ClientQueueLimit) return false;
    c.outBuf.append(frame);
    return flushClient(s, index);
}

void broadcast(Session& s, MsgKind kind, std::string_view payload) {
    for (size_t i = 0; i < s.clients.size();) {
        if (!readyForOutput(s.clients[i])) {
            ++i;
            continue;
        }
        if (!queueClient(s, static_cast<int>(i), kind, payload)) {
            dropClient(s, s.clients[i].fd.get());  // the next client moves into i
            continue;
        }
        ++i;
    }
}

void queueSnapshot(Session& s, int index) {
    std::string text = s.term->snapshot(SnapshotHistoryBudget);
    if (text.empty()) return;
    if (!queueClient(s, index, MsgKind::Output, text)) dropClient(s, s.clients[index].fd.get());
}

bool handleClientMsg(Session& s, int index, MsgKind kind, const std::string& payload) {
    if (!s.clients[index].attached) return true;
    switch (kind) {
        case MsgKind::Resize: {
            if (payload.size() < 4) return true;
            auto byte = [&](size_t i) { return static_cast<unsigned char>(payload[i]); };
            int cols = byte(0) << 8 | byte(1);
            int rows = byte(2) << 8 | byte(3);
            s.pty.setSize(cols, rows);
            s.term->resize(cols, rows);
            if (s.clients[index].awaitingSnapshot) {
                s.clients[index].awaitingSnapshot = false;
                queueSnapshot(s, index);
            }
            broadcast(s, MsgKind::Resize, payload);
            return true;
        }
        case MsgKind::Detach:
            return false;
        case MsgKind::Input:
            if (!payload.empty()) passInput(s, s.clients[index].fd.get(), payload);
            return true;
        default:
            return true;
    }
}

bool feedClient(Session& s, Logger& log, int fd, std::string_view bytes) {
    int index = clientIndex(s, fd);
    if (index < 0) return false;
    s.clients[index].inBuf.append(bytes);
    MsgKind kind;
    std::string payload;
    for (;;) {
        // Handling a message can drop clients and move the others.
        index = clientIndex(s, fd);
        if (index < 0) return false;
        if (!takeClientFrame(s, index, kind, payload)) return true;
        Client& c = s.clients[index];
        if (kind == MsgKind::Attach && !c.attached) {
            if (payload != s.name) {
                queueClient(s, index, MsgKind::Error, "no such session");
                return false;
            }
            c.attached = true;
            if (!queueClient(s, index, MsgKind::AttachOk, "")) return false;
            s.clients[index].awaitingSnapshot = true;
            log.info("client attached fd=" + std::to_string(fd) + " (tcp)");
            continue;
        }
        if (!handleClientMsg(s, index, kind, payload)) return false;
    }
}

}  // namespace kiv
