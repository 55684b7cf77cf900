#include "kiv/client_connection.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kiv/endpoints.h"
#include "kiv/errors.h"

namespace kiv {

namespace {

// A buffer that held a large frame gives its memory back as soon as the
// frame is consumed: sixteen clients that each sent 16 MiB once must not
// keep it.
constexpr size_t LargeFrame = 65536;

}  // namespace

ClientConnection::ClientConnection(ClientId id, UniqueFd fd, bool trusted,
                                   const std::optional<Key>& key, size_t preAttachLimit)
    : id_(id),
      fd_(std::move(fd)),
      stage_(trusted ? ClientStage::AwaitingSnapshot : ClientStage::AwaitingAttach),
      overTcp_(!trusted),
      preAttachLimit_(preAttachLimit) {
    if (!trusted && key) channel_ = std::make_unique<SecureChannel>(ChannelRole::Daemon, *key);
}

ClientConnection::Received ClientConnection::receive() {
    compact();
    ssize_t n = overTcp_ ? ::read(fd_.get(), chunk_.data(), chunk_.size()) : receiveUnix();
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Received::Nothing;
    if (n <= 0) return Received::Closed;
    std::string_view bytes(chunk_.data(), static_cast<size_t>(n));
    if (channel_) {
        // Handshake answers go out as they are; only what opens from whole
        // records reaches the frames.
        std::string reply;
        channel_->receive(bytes, in_, reply);
        if (!reply.empty() && !out_.send(fd_.get(), ownBytes(std::move(reply))))
            return Received::Closed;
        source_ = in_;
    } else if (in_.empty()) {
        source_ = bytes;  // the usual case: whole frames, read where they lie
    } else {
        in_.append(bytes);
        source_ = in_;
    }
    return Received::Bytes;
}

// Over the Unix socket a descriptor may come with the bytes: the user's
// terminal, ahead of its Direct frame. Any other is closed.
ssize_t ClientConnection::receiveUnix() {
    iovec iov{chunk_.data(), chunk_.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd_.get(), &msg, MSG_CMSG_CLOEXEC);
    if (n < 0) return n;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        for (size_t at = 0; CMSG_LEN(at + sizeof(int)) <= c->cmsg_len; at += sizeof(int)) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + at, sizeof fd);
            UniqueFd received(fd);
            if (askedForTerminal_ && !handed_ && !userTerminal_) handed_ = std::move(received);
        }
    }
    return n;
}

// What is not handled yet moves to the front of `in_`, out of the read
// buffer that the next read overwrites.
void ClientConnection::compact() {
    if (source_.data() == in_.data()) {
        in_.erase(0, used_);
        if (in_.capacity() > LargeFrame && in_.size() < in_.capacity() / 4) in_.shrink_to_fit();
    } else {
        in_.assign(source_.substr(std::min(used_, source_.size())));
    }
    source_ = in_;
    used_ = 0;
}

std::optional<ClientEvent> ClientConnection::next(bool holdInput) {
    if (refused_) return std::nullopt;
    if (used_ > LargeFrame) compact();
    std::string_view rest = source_.substr(used_);
    if (stage_ == ClientStage::AwaitingAttach && rest.size() >= HeaderSize) {
        // Before Attach a stranger may hold no more than the one Attach
        // that could succeed: a longer frame is refused at its header.
        unsigned char header[HeaderSize];
        std::copy_n(rest.data(), HeaderSize, header);
        FrameHeader h = decodeHeader(header);
        if (h.length > preAttachLimit_) {
            refused_ = true;
            return ClientEvent{h.kind, {}, true};
        }
    }
    MsgKind kind;
    std::string_view payload;
    if ((holdInput && holdsInput()) || !takeFrame(source_, used_, kind, payload)) {
        compact();
        return std::nullopt;
    }
    return ClientEvent{kind, payload};
}

bool ClientConnection::holdsInput() const {
    return source_.size() - used_ >= 2 &&
           static_cast<MsgKind>(source_[used_ + 1]) == MsgKind::Input;
}

SharedBytes ClientConnection::sealed(SharedBytes frame) {
    if (!channel_) return frame;
    std::string out;
    channel_->seal(frame.bytes, out);
    return ownBytes(std::move(out));
}

// Frames count against the bound from the moment they are queued; during a
// repaint the repaint itself does not.
bool ClientConnection::sendBytes(SharedBytes frame) {
    if (repainting()) {
        if (afterSize_ + frame.bytes.size() > ClientQueueLimit) return false;
        afterSize_ += frame.bytes.size();
        afterRepaint_.push_back(std::move(frame));
        return true;
    }
    if (out_.size() + frame.bytes.size() > ClientQueueLimit) return false;
    return out_.send(fd_.get(), sealed(std::move(frame)));
}

bool ClientConnection::sendFrame(MsgKind kind, std::string_view payload) {
    if (kind == MsgKind::Output) direct_ = false;
    return tellShown() && sendBytes(ownBytes(frameBytes(kind, payload)));
}

bool ClientConnection::tellShown() {
    if (shown_.empty()) return true;
    std::string told;
    told.swap(shown_);
    return sendBytes(ownBytes(frameBytes(MsgKind::Shown, told)));
}

bool ClientConnection::sendShared(const SharedBytes& frame) {
    size_t waiting = repainting() ? afterSize_ : out_.size();
    if (owed_ || (role_.terminal && waiting + frame.bytes.size() > ClientQueueLimit)) {
        missedOutput = true;
        oweRepaint();  // the repaint shows it
        return true;
    }
    std::string_view output = frame.bytes.substr(HeaderSize);
    if (direct_) {
        size_t shown = showDirectly(output);
        shown_.append(output.substr(0, shown));
        if (shown == output.size()) return shown_.size() < ShownBatch || tellShown();
        if (shown > 0)
            return sendFrame(MsgKind::Output, output.substr(shown)) &&
                   sendFrame(MsgKind::Written, "");
    }
    direct_ = false;
    if (!tellShown() || !sendBytes(frame)) return false;
    // A small chunk asks to be told once it is shown: from then on the
    // daemon may show the next one itself.
    return !userTerminal_ || output.size() > DirectLimit || sendFrame(MsgKind::Written, "");
}

// How much of `output` the user's terminal took from the daemon. Whatever
// it did not take goes through the client, and so does all output after
// it until the client has shown that.
size_t ClientConnection::showDirectly(std::string_view output) {
    direct_ = false;
    if (output.size() > DirectLimit || queued() != 0) return 0;
    // A client that is not in front, or has not read all it was sent (it
    // may have been stopped), may have its user's shell back in front:
    // nothing is written behind its back.
    if (front_ && !front_->inFront()) return 0;
    int unread = 0;
    if (ioctl(fd_.get(), SIOCOUTQ, &unread) != 0 || unread != 0) return 0;
    ssize_t n;
    do {
        n = ::write(userTerminal_.get(), output.data(), output.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN) terminalFailed_ = true;  // gone: the client relays all
        return 0;
    }
    direct_ = static_cast<size_t>(n) == output.size();
    return static_cast<size_t>(n);
}

void ClientConnection::askForTerminal() {
    if (overTcp_ || askedForTerminal_ || !role_.terminal) return;
    askedForTerminal_ = true;
    askedForKeys_ = role_.handsKeyboard && pid > 0;
    sendFrame(MsgKind::Direct, askedForKeys_ ? DirectKeys : "");
}

// The daemon reads and writes through an opening of its own, so that its
// non-blocking mode never reaches the user's shell, which shares the
// client's. Only a terminal is taken.
bool ClientConnection::takeTerminal(std::string_view offer, bool inputHeld) {
    UniqueFd handed = std::move(handed_);
    if (handed && !userTerminal_ && isatty(handed.get())) {
        std::string path = "/proc/self/fd/" + std::to_string(handed.get());
        UniqueFd own(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (own && isatty(own.get())) userTerminal_ = std::move(own);
    }
    if (offer.empty() || keyboard_) return true;
    // The client reads no keys until told: a keyboard not taken goes back
    // at once.
    if (askedForKeys_ && userTerminal_ && takeKeyboard(offer)) return !inputHeld || pauseKeyboard();
    return handBackKeys("");
}

bool ClientConnection::pauseKeyboard() {
    if (!keyboard_) return true;
    askAgain_ = true;
    return handBackKeys("");
}

bool ClientConnection::resumeKeyboard() {
    if (!askAgain_ || !live()) return true;
    askAgain_ = false;
    return sendFrame(MsgKind::Direct, DirectKeys);
}

bool ClientConnection::takeKeyboard(std::string_view detachKey) {
    struct stat terminal {};
    if (fstat(userTerminal_.get(), &terminal) != 0) return false;
    try {
        detachKey_ = parseDetachKey(detachKey);
    } catch (const UsageError&) {
        return false;
    }
    front_.emplace(pid, terminal.st_rdev);
    if (!front_->readable()) {
        front_.reset();  // nothing to ask: output goes as it did, keys stay the client's
        return false;
    }
    keyboard_ = front_->runsInFront();
    return keyboard_;
}

// Keys typed while the client is not in front (stopped, its shell back)
// are not read at all: they are the shell's. The detach key goes back for
// the client to leave by, as it would have read it itself.
bool ClientConnection::readKeys(std::span<char> buffer, std::string_view& keys) {
    keys = {};
    if (!keyboard_) return true;
    if (!front_->runsInFront()) return handBackKeys("");
    ssize_t n = ::read(userTerminal_.get(), buffer.data(), buffer.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) return handBackKeys("");  // hung up: the client finds that out itself
    std::string_view typed(buffer.data(), static_cast<size_t>(n));
    if (isDetachKey(detachKey_, typed)) return handBackKeys(typed);
    keys = typed;
    return true;
}

bool ClientConnection::handBackKeys(std::string_view keys) {
    keyboard_ = false;
    return sendFrame(MsgKind::Keys, keys);
}

void ClientConnection::written(uint64_t position) {
    direct_ = userTerminal_ && !terminalFailed_ && live() && !owed_ && queued() == 0 &&
              position == out_.sent();
}

bool ClientConnection::sendRepaint(std::string text) {
    direct_ = false;
    if (!tellShown()) return false;
    owed_ = false;
    repaint_ = std::move(text);
    repaintAt_ = 0;
    return flush();
}

void ClientConnection::refillFromRepaint() {
    while (repainting() && out_.size() < RepaintPiece) {
        std::string_view piece = std::string_view(repaint_).substr(repaintAt_, RepaintPiece);
        repaintAt_ += piece.size();
        out_.push(sealed(ownBytes(frameBytes(MsgKind::Output, piece))));
    }
    if (repainting() || repaint_.empty()) return;
    std::string().swap(repaint_);
    repaintAt_ = 0;
    for (SharedBytes& frame : afterRepaint_)
        out_.push(sealed(std::move(frame)));
    afterRepaint_.clear();
    afterSize_ = 0;
}

// What waits unsealed, and the repaint not yet framed, go at once; over
// the Unix socket, so do the frames the socket has not begun to take.
void ClientConnection::forgetPending() {
    direct_ = false;
    if (queued() > 0) missedOutput = true;
    std::string().swap(repaint_);
    repaintAt_ = 0;
    afterRepaint_.clear();
    afterSize_ = 0;
    if (!channel_) out_.dropUnstarted();
}

void ClientConnection::oweRepaint() {
    owed_ = true;
    forgetPending();
}

bool ClientConnection::leave(MsgKind kind) {
    leaving = true;  // nothing more goes to its terminal: it restores it once told
    forgetPending();
    return sendFrame(kind, "") && wantsWrite();
}

bool ClientConnection::flush() {
    for (;;) {
        refillFromRepaint();
        if (out_.empty()) return true;
        if (!out_.writeTo(fd_.get())) return false;
        if (!out_.empty()) return true;  // the socket is full
    }
}

}  // namespace kiv
