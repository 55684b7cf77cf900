#include "kiv/client_connection.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "kiv/endpoints.h"

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
    ssize_t n = ::read(fd_.get(), chunk_.data(), chunk_.size());
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
    return sendBytes(ownBytes(frameBytes(kind, payload)));
}

bool ClientConnection::sendShared(const SharedBytes& frame) {
    size_t waiting = repainting() ? afterSize_ : out_.size();
    if (owed_ || (role_.terminal && waiting + frame.bytes.size() > ClientQueueLimit)) {
        missedOutput = true;
        oweRepaint();  // the repaint shows it
        return true;
    }
    return sendBytes(frame);
}

bool ClientConnection::sendRepaint(std::string text) {
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
    leaving = true;
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
