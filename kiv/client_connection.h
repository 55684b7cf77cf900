// One client's connection as the daemon holds it: the socket, where the
// client is on its way to live output, the TCP channel, the bytes it sent
// that do not form a whole frame yet, and the output its socket has not
// taken. It turns received bytes into events for the daemon to apply and
// never acts on the session itself.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kiv/detach_key.h"
#include "kiv/fd.h"
#include "kiv/foreground.h"
#include "kiv/key.h"
#include "kiv/output_queue.h"
#include "kiv/protocol.h"
#include "kiv/secure_channel.h"
#include "kiv/selector.h"

namespace kiv {

// Bytes a client's output queue may hold, frame headers included. A
// terminal that falls further behind gets no more live output but a
// repaint once its socket has drained; a client without a terminal, for
// which a repaint means nothing, is dropped.
inline constexpr size_t ClientQueueLimit = 16 * 1024 * 1024;
// A repaint is framed and sealed this much at a time, as the client's
// socket drains.
inline constexpr size_t RepaintPiece = 256 * 1024;
// The most a client's socket is read at once.
inline constexpr size_t ClientReadChunk = 4096;
// The most output the daemon writes to a client's terminal itself in one
// chunk (see MsgKind::Direct). What a user waits for, an echo or a prompt,
// then skips the client's hop on its way back; a stream of output still
// goes through the client, on a processor of its own.
inline constexpr size_t DirectLimit = 4096;
// What the daemon wrote there itself, the client is told of together, this
// long after the first of it or once this much has gathered, and before any
// other frame: an echo must not wake the client just as the user's terminal
// is to show it.
inline constexpr auto ShownDelay = std::chrono::milliseconds(10);
inline constexpr size_t ShownBatch = 16 * 1024;

// Where a connection is on its way to live output.
enum class ClientStage {
    AwaitingAttach,    // a TCP connection that has not named the session yet
    AwaitingSnapshot,  // joined; no output until its first Resize brings the screen
    Live,              // gets every chunk of output and every Resize echo
};

// A client's handle: never reused within a daemon, so it stays valid (or
// finds nothing) however clients come and go.
using ClientId = uint64_t;

// One whole frame the client sent, read in place: the payload stays valid
// until the connection next reads or hands out the next event. Before its
// Attach a connection may send no frame longer than the limit it was given;
// such a frame comes as `tooLong` with its kind and no payload, and nothing
// follows it.
struct ClientEvent {
    MsgKind kind;
    std::string_view payload;
    bool tooLong = false;
};

class ClientConnection {
  public:
    using Clock = std::chrono::steady_clock;

    // `trusted`: over the Unix socket, joined at once; else over TCP, behind
    // the channel of `key` when there is one, and named by an Attach of at
    // most `preAttachLimit` bytes.
    ClientConnection(ClientId id, UniqueFd fd, bool trusted, const std::optional<Key>& key,
                     size_t preAttachLimit);
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    ClientId id() const { return id_; }
    int fd() const { return fd_.get(); }
    ClientStage stage() const { return stage_; }
    bool overTcp() const { return overTcp_; }
    bool live() const { return stage_ == ClientStage::Live && !dropped && !leaving; }
    // Over TCP with a key: the peer's whole hello has arrived; both ends
    // have proved the key. Always so without a channel.
    bool greeted() const { return !channel_ || channel_->greeted(); }
    bool established() const { return !channel_ || channel_->established(); }
    void joined() { stage_ = ClientStage::AwaitingSnapshot; }
    void goLive() { stage_ = ClientStage::Live; }

    // One read of the socket. Closed: end of stream or a failed read.
    // Raises IoError for TCP bytes that are not a kiv peer's or do not open.
    enum class Received { Bytes, Nothing, Closed };
    Received receive();
    // The next whole frame received; none while the next one is Input and
    // `holdInput` (the command lags behind: it waits here, and in the
    // socket). Raises IoError for a malformed frame.
    std::optional<ClientEvent> next(bool holdInput);
    // The next frame waiting is Input.
    bool holdsInput() const;

    // Sends a frame, or queues what the socket does not take. False when
    // the client is gone or would fall more than ClientQueueLimit behind.
    bool sendFrame(MsgKind kind, std::string_view payload);
    // A frame made once for every client: shared as it is over the Unix
    // socket, sealed into the client's own copy over TCP.
    bool sendShared(const SharedBytes& frame);
    // The screen's repaint, which may be larger than the queue's bound (a
    // huge grid full of combining marks): it goes out in pieces as the
    // socket drains, neither costing the client its connection nor sitting
    // sealed in memory at once. Output meanwhile waits behind it, counted
    // against the bound.
    bool sendRepaint(std::string text);
    // What the client is (an interactive terminal until its Role says
    // otherwise) and its own window, from its Resize.
    const ClientRole& role() const { return role_; }
    void setRole(const ClientRole& role) { role_ = role; }
    std::optional<WindowSize> window;
    // Its window takes part in the session's size.
    bool sizesSession() const { return role_.terminal && !role_.readOnly && window.has_value(); }
    // Its terminal shows the session's output as the command wrote it: its
    // window is the session's size and no repaint is owed.
    bool mirrors(WindowSize session) const {
        return role_.terminal && !owed_ && window && window->cols == session.cols &&
               window->rows == session.rows;
    }

    // A repaint replaces what the terminal was sent and what it was not:
    // live output stops until the repaint goes, and output queued over the
    // Unix socket that has not begun to go out is forgotten (over TCP the
    // channel needs every record it sealed).
    void oweRepaint();
    bool owesRepaint() const { return owed_; }
    // Owed, and nothing older waits in the queue.
    bool repaintReady() const { return owed_ && queued() == 0; }
    // Told to go by the daemon: output not begun over the Unix socket is
    // forgotten and the message goes last. False when it is already gone
    // or nothing waits any more.
    bool leave(MsgKind kind);
    // Bytes the socket has taken in all.
    uint64_t progress() const { return out_.sent(); }

    // The user's terminal, which the client hands over when asked: the
    // daemon then writes small chunks of output there itself whenever the
    // client has put everything it was sent on that terminal already, so
    // that nothing overtakes what the client still writes. The client is
    // sent those chunks as Shown, to keep its own account of the terminal.
    //
    // Its keyboard too, when the Role offers it: the daemon then reads the
    // keys there itself (see readKeys) while the client's process is in
    // front on that terminal.
    void askForTerminal();
    // The Direct frame: the terminal came with it, or nothing is kept.
    // `offer` is the client's detach key when it hands its keyboard too; a
    // keyboard that is not taken is handed back at once (Keys). False when
    // the client is gone.
    bool takeTerminal(std::string_view offer, bool inputHeld);
    // While input is held back (the command lags behind it), the keyboard
    // goes back to the client, which holds what is typed meanwhile and
    // still sees its detach key behind a paste; it is asked for again once
    // input flows. False when the client is gone.
    bool pauseKeyboard();
    bool resumeKeyboard();
    // Reads the keys typed on the keyboard it was handed into `buffer`,
    // and gives them in `keys` (none when there were none, or when the
    // keyboard was handed back: the detach key, keys that are no longer
    // the client's, a hang-up). False when the client is gone.
    bool readKeys(std::span<char> buffer, std::string_view& keys);
    bool readsKeyboard() const { return keyboard_; }
    // The terminal the daemon holds, -1 when none: the keyboard while it
    // reads it.
    int terminalFd() const { return userTerminal_.get(); }
    // The client's report: everything the socket took before `position` is
    // on its terminal.
    void written(uint64_t position);
    // Tells the client what the daemon showed on its terminal and has not
    // told it yet (see ShownDelay); false when the client is gone.
    bool tellShown();
    bool showsUntold() const { return !shown_.empty(); }

    // Sends what waits until the socket would block; false when gone.
    bool flush();
    // Bytes still to go out in all.
    size_t queued() const { return out_.size() + repaint_.size() - repaintAt_ + afterSize_; }
    bool wantsWrite() const { return queued() != 0; }

    // The daemon's bookkeeping: closed and forgotten once the batch of
    // events is done; out of the selector while asleep (hung up with its
    // Input held: a hang-up is reported at every wait); the interest it
    // last asked the selector for.
    bool dropped = false;
    // Detached by another client: nothing more but what is queued (the
    // Detach last), and gone once that has gone.
    bool leaving = false;
    uint64_t activeAt = 0;  // when it last attached, typed or resized, as the daemon counts
    Clock::time_point repaintedAt{};
    // While it takes nothing at all, how much it had taken when watched.
    bool stallWatched = false;
    uint64_t stallMark = 0;
    bool asleep = false;
    bool shownTimer = false;  // a Shown timer is set for it
    bool keyboardWatched = false;  // its keyboard is in the selector
    pid_t pid = 0;                 // its process, over the Unix socket
    // The session the client's process runs inside ("" when none or over
    // TCP), as `kiv attach` asks to refuse an attach that closes a loop.
    std::string insideOf;
    // How it left, for the log, once known ("detached (detach key)", ...).
    std::string wayOut;
    Interest interest = Interest::Read;
    Clock::time_point attachDeadline;
    std::string peer;  // the source address over TCP, as bytes
    // The user's terminal, as its Terminal message named it (empty: none).
    std::string terminal;
    // The history its terminal holds for certain: up to this running number
    // once it has been sent the screen; beyond, only while it has missed no
    // live output (a repaint replaced some).
    int64_t historyHeld = 0;
    bool missedOutput = false;

  private:
    ssize_t receiveUnix();
    size_t showDirectly(std::string_view output);
    bool takeKeyboard(std::string_view detachKey);
    bool handBackKeys(std::string_view keys);
    bool sendBytes(SharedBytes bytes);
    SharedBytes sealed(SharedBytes frame);
    bool repainting() const { return repaintAt_ < repaint_.size(); }
    void refillFromRepaint();
    void forgetPending();
    void compact();

    ClientId id_;
    UniqueFd fd_;
    ClientStage stage_;
    bool overTcp_;
    ClientRole role_;
    bool owed_ = false;
    size_t preAttachLimit_;
    // Over TCP, every byte in and out goes through it; its handshake comes
    // before anything else the client may send.
    std::unique_ptr<SecureChannel> channel_;
    OutputQueue out_;      // whole frames on the wire, sealed over TCP
    std::string repaint_;  // the screen's text not yet framed
    size_t repaintAt_ = 0;
    std::deque<SharedBytes> afterRepaint_;  // frames for after it, not yet sealed
    size_t afterSize_ = 0;
    // Frames are read where they lie: in the last read when nothing was
    // left over before it, else in `in_`. `used_` bytes of it are handled.
    std::array<char, ClientReadChunk> chunk_;
    std::string in_;
    std::string_view source_;
    size_t used_ = 0;
    bool refused_ = false;  // a frame too long before Attach: nothing more is read
    // The handover: asked for, the descriptor that came before its frame,
    // the daemon's own opening of the terminal, and whether output may go
    // there now.
    bool askedForTerminal_ = false;
    bool askedForKeys_ = false;
    UniqueFd handed_;
    UniqueFd userTerminal_;
    bool terminalFailed_ = false;  // a write failed: output goes through the client
    bool direct_ = false;
    // Once the client has offered its keyboard: whether it is in front
    // there (nothing is read or written there while it is not); whether
    // the daemon reads the keys now, and the key that detaches the client,
    // handed back to it to act on.
    std::optional<Foreground> front_;
    bool keyboard_ = false;
    DetachKey detachKey_;
    bool askAgain_ = false;  // handed back while input was held
    std::string shown_;  // written there, not told yet
};

}  // namespace kiv
