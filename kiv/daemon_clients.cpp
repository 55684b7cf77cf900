// The daemon's half of the protocol: each client's queues, its messages, and
// the input that goes from the clients to the command.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "kiv/daemon.h"
#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/session_details.h"
#include "kiv/session_files.h"

namespace kiv {

namespace {

// The longest frame a connection may send before its Attach when the
// session's name is shorter: the messages it may send meanwhile (ignored)
// are small.
constexpr size_t PreAttachFrame = 4096;

bool readyForOutput(const Client& c) {
    return c.stage == ClientStage::Live && !c.dropped;
}

// A buffer that held a large frame gives its memory back as soon as the
// frame is consumed: sixteen clients that each sent 16 MiB once must not
// keep it.
constexpr size_t LargeFrame = 65536;

void shrinkConsumed(std::string& buffer) {
    if (buffer.capacity() > LargeFrame && buffer.size() < buffer.capacity() / 4)
        buffer.shrink_to_fit();
}

// The header of the frame at `offset`, when it is all there.
std::optional<FrameHeader> headerAt(const std::string& buffer, size_t offset) {
    if (buffer.size() - offset < HeaderSize) return std::nullopt;
    unsigned char header[HeaderSize];
    std::copy_n(buffer.data() + offset, HeaderSize, header);
    return decodeHeader(header);
}

// Whole frames onto the wire queue, sealed over TCP.
void appendSealed(Client& c, std::string_view frames) {
    if (frames.empty()) return;
    if (!c.channel) {
        c.outBuf.append(frames);
        return;
    }
    std::string sealed;
    c.channel->seal(frames, sealed);
    c.outBuf.append(sealed);
}

}  // namespace

WindowSize fitGrid(WindowSize wanted) {
    int64_t cols = std::min<int64_t>(wanted.cols, MaxGridSide);
    int64_t rows = std::min<int64_t>(wanted.rows, MaxGridSide);
    if (cols * rows > MaxCells) rows = std::max<int64_t>(1, MaxCells / std::max<int64_t>(cols, 1));
    return {static_cast<int>(cols), static_cast<int>(rows)};
}

ClientId Daemon::adoptClient(UniqueFd fd, bool trusted) {
    setNonBlocking(fd.get());
    // A socket the selector refuses is closed at once (UniqueFd does it).
    if (!sel_.add(fd.get(), Interest::Read)) return 0;
    ClientId id = ++lastId_;
    int raw = fd.get();
    Client& c = clients_[id];
    c.fd = std::move(fd);
    c.stage = trusted ? ClientStage::AwaitingSnapshot : ClientStage::AwaitingAttach;
    c.overTcp = !trusted;
    c.attachDeadline = std::chrono::steady_clock::now() + AttachTimeout;
    if (!trusted && key_) c.channel = std::make_unique<SecureChannel>(ChannelRole::Daemon, *key_);
    clientByFd_[raw] = id;
    return id;
}

const Client* Daemon::client(ClientId id) const {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : &it->second;
}

Client* Daemon::find(ClientId id) {
    auto it = clients_.find(id);
    return it == clients_.end() || it->second.dropped ? nullptr : &it->second;
}

Client* Daemon::findByFd(int fd) {
    auto it = clientByFd_.find(fd);
    return it == clientByFd_.end() ? nullptr : find(it->second);
}

void Daemon::serviceClient(ClientId id, const ReadyEvent& ev) {
    Client* c = find(id);
    if (!c) return;  // dropped earlier in this batch
    bool failed = ev.writable && !flushClient(*c);
    if (failed || !(ev.readable || ev.error)) {
        if (failed) dropClient(*c);
        return;
    }
    if (!ev.readable && inputPaused_ && holdsInput(*c)) {
        // Hung up with its Input held: what it sent is still in the socket
        // and is read once the command catches up.
        sel_.remove(c->fd.get());
        c->asleep = true;
        return;
    }
    char buf[ReadChunk];
    ssize_t n = ::read(c->fd.get(), buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return dropClient(*c);
    try {
        if (!feedClient(id, std::string_view(buf, n))) dropClient(*c);
    } catch (const IoError& e) {
        if (c->channel) logRefusal(*c, e.what());
        dropClient(*c);
    }
}

void Daemon::logRefusal(const Client& c, const char* reason) {
    auto now = std::chrono::steady_clock::now();
    if (now < nextRefusalLog_) return;
    nextRefusalLog_ = now + std::chrono::seconds(10);
    log_.info("tcp client dropped fd=" + std::to_string(c.fd.get()) + ": " + reason);
}

// Handles every whole frame in the client's bytes, in order; none after a
// frame that ends the client.
bool Daemon::feedClient(ClientId id, std::string_view bytes) {
    Client* c = find(id);
    if (!c) return false;
    if (c->channel) {
        // Handshake answers go out as they are; only what opens from whole
        // records reaches the frames below. Raises IoError for a peer
        // without the key and for any record that does not open.
        std::string reply;
        c->channel->receive(bytes, c->inBuf, reply);
        if (!reply.empty()) {
            c->outBuf.append(reply);
            if (!flushClient(*c)) return false;
        }
    } else {
        c->inBuf.append(bytes);
    }
    size_t used = 0;
    bool keep = true;
    while (keep) {
        if (c->stage == ClientStage::AwaitingAttach) {
            // Before Attach a stranger may hold no more than the one Attach
            // that could succeed: a longer frame is refused at its header.
            std::optional<FrameHeader> header = headerAt(c->inBuf, used);
            if (header && header->length > std::max(session_.name.size(), PreAttachFrame)) {
                if (header->kind == MsgKind::Attach)
                    queueClient(*c, MsgKind::Error, "no such session");
                keep = false;
                break;
            }
        }
        // While the command lags behind, Input waits in the buffer (and the
        // socket): the messages before it are handled, the rest later.
        if (inputPaused_ && c->inBuf.size() - used >= 2 &&
            static_cast<MsgKind>(c->inBuf[used + 1]) == MsgKind::Input)
            break;
        MsgKind kind;
        std::string payload;  // its own each time: a large one is not kept
        if (!takeFrame(c->inBuf, used, kind, payload)) break;
        if (used > LargeFrame) {
            c->inBuf.erase(0, used);
            used = 0;
            shrinkConsumed(c->inBuf);
        }
        if (kind == MsgKind::Attach && c->stage == ClientStage::AwaitingAttach) {
            keep = acceptAttach(*c, payload);
        } else {
            keep = handleMessage(id, kind, payload) && !c->dropped;
        }
    }
    c->inBuf.erase(0, used);
    shrinkConsumed(c->inBuf);
    if (keep) updateInterest(*c);
    return keep;
}

// A TCP connection that names this session joins it; any other name gets
// "no such session" and the connection ends.
bool Daemon::acceptAttach(Client& c, const std::string& name) {
    if (name != session_.name) {
        logRefusal("tcp attach refused: no session " + printableName(name.substr(0, 256)) +
                   " here");
        queueClient(c, MsgKind::Error, "no such session");
        return false;
    }
    c.stage = ClientStage::AwaitingSnapshot;
    return queueClient(c, MsgKind::AttachOk, "");
}

bool Daemon::holdsInput(const Client& c) const {
    return c.inBuf.size() >= 2 && static_cast<MsgKind>(c.inBuf[1]) == MsgKind::Input;
}

// The command has caught up: the Input that waited goes on, client by
// client in order of connection, until the mark is reached again.
void Daemon::resumeHeldInput() {
    heldInputWaits_ = false;
    for (auto& [id, c] : clients_) {
        if (inputPaused_) break;
        if (c.dropped) continue;
        try {
            if (holdsInput(c) && !feedClient(id, "")) dropClient(c);
        } catch (const IoError&) {
            dropClient(c);
        }
        updateInterest(c);
    }
}

bool Daemon::handleMessage(ClientId id, MsgKind kind, const std::string& payload) {
    Client& c = *find(id);
    if (c.stage == ClientStage::AwaitingAttach) return true;  // only Attach counts yet
    switch (kind) {
        case MsgKind::Resize:
            handleResize(id, payload);
            return true;
        case MsgKind::Detach:
            // The client says how it left: the detach key, a signal, the
            // end of its input.
            c.wayOut = "detached" + (payload.empty() ? std::string() :
                                     " (" + printableName(payload.substr(0, 64)) + ")");
            return false;
        case MsgKind::Details:
            return queueClient(c, MsgKind::Details, details());
        case MsgKind::Input:
            // Other terminals' replies to a query already answered stay out.
            if (!payload.empty()) toCommand(replies_.pass(id, payload, ReplyClock::now()));
            return true;
        default:
            return true;
    }
}

// Every Resize from any client sets the one shared terminal size; the
// sender's first one also brings it the screen.
void Daemon::handleResize(ClientId id, const std::string& payload) {
    std::optional<WindowSize> wanted = readResize(payload);
    if (!wanted) return;
    WindowSize size = fitGrid(*wanted);
    session_.size = size;
    session_.term->resize(size.cols, size.rows);
    // The command is told exactly what the grid took.
    if (session_.running)
        session_.pty.setSize(static_cast<int>(session_.term->cols()),
                             static_cast<int>(session_.term->rows()));
    Client& c = *find(id);
    bool seesEnd = false;
    if (c.stage == ClientStage::AwaitingSnapshot) {
        c.stage = ClientStage::Live;
        // One line per attach: connections that only ask (`kiv ls`, the
        // checks of a starting client) never get this far.
        log_.info("client " + std::to_string(id) + " attached (" + (c.overTcp ? "tcp" : "unix") +
                  ", " + std::to_string(wanted->cols) + "x" + std::to_string(wanted->rows) +
                  (c.insideOf.empty() ? "" : ", inside " + printableName(c.insideOf)) + ")");
        queueSnapshot(id);
        seesEnd = end_.has_value();
    }
    bool cut = size.cols != wanted->cols || size.rows != wanted->rows;
    broadcast(MsgKind::Resize, cut ? resizePayload(size) : payload);
    // An ended session: its last screen, then how it ended, and it has
    // been seen.
    Client* joined = find(id);
    if (!seesEnd || !joined) return;
    stopListening();
    over_ = true;
    if (!queueClient(*joined, MsgKind::Ended, endPayload(*end_))) dropClient(*joined);
}

// The answer to `kiv ls` on a terminal.
std::string Daemon::details() const {
    SessionDetails d;
    d.pid = getpid();
    d.clients = std::count_if(clients_.begin(), clients_.end(),
                              [](const auto& entry) { return readyForOutput(entry.second); });
    d.ageSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::steady_clock::now() - session_.started)
                       .count();
    d.cols = session_.size.cols;
    d.rows = session_.size.rows;
    d.command = session_.command;
    for (const auto& [id, c] : clients_)
        if (readyForOutput(c) && !c.insideOf.empty() &&
            std::find(d.shownInside.begin(), d.shownInside.end(), c.insideOf) ==
                d.shownInside.end())
            d.shownInside.push_back(c.insideOf);
    if (end_) d.end = endAsOfNow(*end_);
    return encodeDetails(d);
}

// The repaint may be larger than the client's queue: it is framed, and
// sealed, a piece at a time as the socket takes the pieces before.
void Daemon::queueSnapshot(ClientId id) {
    std::string text = session_.term->snapshot(SnapshotHistoryBudget);
    Client* c = find(id);
    if (!c) return;
    c->repaint = std::move(text);
    c->repaintAt = 0;
    if (!flushClient(*c)) dropClient(*c);
}

void Daemon::refillFromRepaint(Client& c) {
    while (c.repainting() && c.outBuf.size() < RepaintPiece) {
        std::string_view piece = std::string_view(c.repaint).substr(c.repaintAt, RepaintPiece);
        c.repaintAt += piece.size();
        appendSealed(c, frameBytes(MsgKind::Output, piece));
    }
    if (c.repainting()) return;
    std::string().swap(c.repaint);
    c.repaintAt = 0;
    appendSealed(c, c.afterRepaint);
    std::string().swap(c.afterRepaint);
}

// Frames count against the bound from the moment they are queued; during a
// repaint the repaint itself does not.
bool Daemon::queueClient(Client& c, MsgKind kind, std::string_view payload) {
    std::string frame = frameBytes(kind, payload);
    if (c.repainting()) {
        if (c.afterRepaint.size() + frame.size() > ClientQueueLimit) return false;
        c.afterRepaint += frame;
        return true;
    }
    if (c.outBuf.size() + frame.size() > ClientQueueLimit) return false;
    appendSealed(c, frame);
    return flushClient(c);
}

bool Daemon::flushClient(Client& c) {
    for (;;) {
        refillFromRepaint(c);
        if (c.outBuf.empty()) break;
        ssize_t n = ::send(c.fd.get(), c.outBuf.data(), c.outBuf.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.outBuf.consume(n);
            continue;
        }
        if (n < 0 && errno == EAGAIN) break;
        return false;
    }
    updateInterest(c);
    return true;
}

// Output never waits for a slow client: each gets a copy in its own queue,
// and one that has fallen too far behind is dropped.
void Daemon::broadcast(MsgKind kind, std::string_view payload) {
    for (auto& [id, c] : clients_) {
        if (readyForOutput(c) && !queueClient(c, kind, payload)) {
            if (c.wayOut.empty()) c.wayOut = "dropped (too far behind the output)";
            dropClient(c);
        }
    }
}

// The descriptor leaves the selector at once but stays open until the
// sweep, so its number cannot come back as another client's in the same
// batch of events.
void Daemon::dropClient(Client& c) {
    if (c.dropped) return;
    c.dropped = true;
    sel_.remove(c.fd.get());
}

void Daemon::sweepClients() {
    std::string owed;  // what a client kept back, answers nobody else will give
    std::erase_if(clients_, [&](auto& entry) {
        if (!entry.second.dropped) return false;
        if (entry.second.stage == ClientStage::Live)
            log_.info("client " + std::to_string(entry.first) + " " +
                      (entry.second.wayOut.empty() ? "left (connection closed)"
                                                   : entry.second.wayOut));
        clientByFd_.erase(entry.second.fd.get());
        owed += replies_.leave(entry.first, ReplyClock::now());
        return true;
    });
    toCommand(owed);
}

void Daemon::updateInterest(Client& c) {
    if (c.dropped) return;
    bool held = inputPaused_ && holdsInput(c);
    if (c.asleep) {
        if (held) return;
        c.asleep = false;
        sel_.add(c.fd.get(), Interest::None);
    }
    bool wantWrite = !c.outBuf.empty();
    Interest interest = held ? (wantWrite ? Interest::Write : Interest::None)
                             : (wantWrite ? Interest::ReadWrite : Interest::Read);
    sel_.modify(c.fd.get(), interest);
}

void Daemon::flushPty() {
    int master = session_.pty.masterFd();
    ByteQueue& pending = session_.ptyOut;
    bool blocked = false;
    while (!pending.empty()) {
        ssize_t n = session_.pty.write(pending.data(), pending.size());
        if (n > 0) {
            pending.consume(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            blocked = true;
            break;
        } else {
            // The command's side is gone (EIO): nobody will ever read this
            // input, and the next read of the master ends the session.
            pending.clear();
        }
    }
    sel_.modify(master, blocked ? Interest::ReadWrite : Interest::Read);
    updateInputPause();
}

// Holds clients' Input while the command lags behind it, and lets it go on
// once the command has caught up: no input is dropped, the queue stays
// bounded whatever clients send, and Resize, Detach and a new client's
// first messages are still read meanwhile.
void Daemon::updateInputPause() {
    bool pause = session_.ptyOut.size() > PtyInputHighWater;
    if (pause == inputPaused_) return;
    inputPaused_ = pause;
    if (!pause) heldInputWaits_ = true;
    for (auto& [id, c] : clients_)
        updateInterest(c);
}

}  // namespace kiv
