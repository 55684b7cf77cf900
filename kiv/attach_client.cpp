#include "kiv/attach_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>

#include "kiv/byte_queue.h"
#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/key_file.h"
#include "kiv/protocol.h"
#include "kiv/selector.h"
#include "kiv/session_files.h"
#include "kiv/tcp.h"
#include "kiv/terminal_identity.h"
#include "kiv/terminal_restore.h"
#include "kiv/whole_write.h"

namespace kiv {

namespace {

constexpr int InputChunk = 4096;
constexpr int SessionChunk = 65536;
constexpr int PollingIntervalMs = 100;
// Output frames gathered into one write to the terminal.
constexpr size_t MaxOutputPieces = 64;

// Read and write ends; -1 while no client runs.
int winchPipe[2] = {-1, -1};
// Set by SIGTERM or SIGHUP: the client leaves the way a detach does, with
// the terminal put back, instead of dying in raw mode.
volatile sig_atomic_t leaveRequested = 0;

void onLeave(int signal) {
    leaveRequested = signal;
    onWinch(0);  // wakes the loop
}

// Set by SIGCONT: the client was stopped from outside, and the shell that
// had the terminal meanwhile left it in its own modes, with its own output.
volatile sig_atomic_t continued = 0;

void onContinue(int) {
    continued = 1;
    onWinch(0);
}

// Puts the terminal back however the client ends.
class RawMode {
  public:
    RawMode() {
        saved_ = tcgetattr(0, &attrs_) == 0;
        if (!saved_) return;
        raw_ = attrs_;
        raw_.c_iflag &= ~(ICRNL | IXON);
        raw_.c_oflag &= ~OPOST;
        raw_.c_lflag &= ~(ISIG | ICANON | ECHO | IEXTEN);
        raw_.c_cc[VMIN] = 1;
        raw_.c_cc[VTIME] = 0;
        apply();
    }
    // Again, after a stop: a shell puts its own modes back when it takes
    // the terminal.
    void apply() {
        if (saved_) tcsetattr(0, TCSADRAIN, &raw_);
    }
    ~RawMode() {
        if (saved_) tcsetattr(0, TCSADRAIN, &attrs_);
    }
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;

  private:
    termios attrs_{};
    termios raw_{};
    bool saved_ = false;
};

// The window-change pipe and the signal handlers, undone in reverse order.
class WinchWatch {
  public:
    WinchWatch() {
        if (pipe2(winchPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            winchPipe[0] = winchPipe[1] = -1;
            throw SystemError("pipe failed");
        }
        leaveRequested = 0;
        continued = 0;
        previous_ = std::signal(SIGWINCH, onWinch);
        previousCont_ = std::signal(SIGCONT, onContinue);
        previousTerm_ = std::signal(SIGTERM, onLeave);
        previousHup_ = std::signal(SIGHUP, onLeave);
    }
    ~WinchWatch() {
        std::signal(SIGHUP, previousHup_);
        std::signal(SIGTERM, previousTerm_);
        std::signal(SIGCONT, previousCont_);
        std::signal(SIGWINCH, previous_);
        for (int& fd : winchPipe) {
            ::close(fd);
            fd = -1;
        }
    }
    WinchWatch(const WinchWatch&) = delete;
    WinchWatch& operator=(const WinchWatch&) = delete;

    int readEnd() const { return winchPipe[0]; }

  private:
    sighandler_t previous_ = SIG_DFL;
    sighandler_t previousCont_ = SIG_DFL;
    sighandler_t previousTerm_ = SIG_DFL;
    sighandler_t previousHup_ = SIG_DFL;
};

// The session's Unix socket, else, with a listen address, the session
// found over TCP (then with the channel that protects it). The key is read
// only for TCP: a missing or unsafe key file fails with its own message.
TcpSession connectSession(const std::string& session, const Config& config) {
    try {
        return {connectUnix(socketPath(session)), nullptr, {}};
    } catch (const SystemError&) {
        if (config.listen.empty()) throw;
    }
    ListenAddr addr;
    try {
        addr = parseListen(config.listen);
    } catch (const UsageError& e) {
        throw SystemError("connect failed: session not found on socket or tcp");
    }
    Key key = readKeyFile(keyFilePath());
    return findTcpSession(addr, addr.port, session, key);
}

// The window size of standard output; nothing when either side is zero.
std::optional<WindowSize> terminalSize() {
    winsize ws{};
    if (ioctl(1, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0 || ws.ws_col == 0) return std::nullopt;
    return WindowSize{ws.ws_col, ws.ws_row};
}

// The keys come from the terminal the output goes to, and this process is
// in front there: the daemon may read them for it.
bool keyboardIsTerminal() {
    struct stat in {}, out {};
    return fstat(0, &in) == 0 && fstat(1, &out) == 0 && S_ISCHR(in.st_mode) &&
           in.st_rdev == out.st_rdev && tcgetpgrp(0) == getpgrp();
}

// The client's loop. The socket never blocks it: what the socket cannot
// take yet waits in a bounded queue, and while that queue is full the
// keyboard is not read, but the session's output still is, so the screen
// stays live and nothing piles up in the daemon. The terminal never loses
// output either: one left in non-blocking mode by another program may take
// less than it is given, and the rest waits in a bounded queue while the
// session is read no further (the daemon holds or drops a slow client).
class Attached {
  public:
    // Over TCP every byte goes through `channel`, and `received` holds the
    // plain bytes that came with the daemon's AttachOk.
    Attached(int sock, int winch, DetachKey detachKey, const ClientRole& role, RawMode& raw,
             TerminalRestore& terminal, SecureChannel* channel, std::string received)
        : sock_(sock),
          winch_(winch),
          detachKey_(detachKey),
          role_(role),
          raw_(raw),
          terminal_(terminal),
          channel_(channel) {
        append(received);
        setNonBlocking(sock_);
    }

    void run(WindowSize firstSize, const std::string& terminal) {
        socketWatched_ = sel_.add(sock_, Interest::Read);
        sel_.add(winch_, Interest::Read);
        // A regular file or /dev/null cannot be polled: read it in turns.
        polling_ = !sel_.add(0, Interest::Read);
        // What this client is comes first, then who the terminal is (it
        // decides how much history it is sent). The daemon sends a
        // terminal the screen only in answer to its size, so one always goes.
        queue(MsgKind::Role, rolePayload(role_));
        if (role_.terminal) {
            if (!terminal.empty()) queue(MsgKind::Terminal, terminal);
            queue(MsgKind::Resize, resizePayload(firstSize));
        }
        while (running_) {
            // At the end of input, what was read still goes out before the
            // client leaves.
            if (inputEnded_ && sendQueue_.empty() && !end_) {
                detach("end of input");
                break;
            }
            bool reading = !keyboardHanded_ && !inputEnded_ && !end_ &&
                           sendQueue_.size() < SendQueueLimit;
            if (!polling_) sel_.modify(0, reading ? Interest::Read : Interest::None);
            watchSocket();
            int timeoutMs = polling_ ? PollingIntervalMs : -1;
            if (end_) {
                auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    closeDeadline_ - std::chrono::steady_clock::now());
                if (left.count() <= 0) break;
                timeoutMs = static_cast<int>(left.count());
            }
            std::span<const ReadyEvent> events = sel_.wait(timeoutMs);
            // Told to leave, the client reads no more keys: those typed after
            // the signal are the outer shell's, not the session's.
            if (leaveRequested) {
                detach(leaveRequested == SIGHUP ? "terminal hung up" : "terminated");
                break;
            }
            for (const ReadyEvent& ev : events) {
                if (ev.fd == 0) {
                    readInput();
                } else if (ev.fd == winch_) {
                    drainWinch();
                } else if (ev.fd == 1 && termWatched_) {
                    flushTerminal();
                } else if (ev.fd == sock_) {
                    if (ev.writable) flush();
                    if (ev.readable || ev.error) readSession();
                }
                if (!running_) break;
            }
            if (polling_ && running_ && reading) pollInput();
        }
        // The session's last output reaches the terminal before the client
        // leaves, however slowly the terminal takes it.
        if (termWatched_) sel_.remove(1);
        if (writeWhole(1, std::string_view(termOut_.data(), termOut_.size()))) termOut_.clear();
        if (handed_ && detached_ && !released_ && !end_) awaitRelease();
    }

  private:
    // Bytes of frames the socket has not taken yet before the keyboard
    // waits: room for a large paste, little enough to stay responsive.
    static constexpr size_t SendQueueLimit = 1024 * 1024;
    // How long the client waits for the daemon to close the connection
    // once the session has ended.
    static constexpr auto CloseWait = std::chrono::seconds(1);
    // Session output the terminal has not taken yet before the session is
    // read no further.
    static constexpr size_t TerminalQueueLimit = 1024 * 1024;

    // The session is read only while the terminal keeps up. While it is
    // not, the socket leaves the selector unless frames wait to go out: a
    // hang-up is reported at every wait, and must wait its turn too.
    void watchSocket() {
        bool reading = termOut_.size() < TerminalQueueLimit;
        Interest wanted = reading ? (sendQueue_.empty() ? Interest::Read : Interest::ReadWrite)
                                  : (sendQueue_.empty() ? Interest::None : Interest::Write);
        if (wanted == Interest::None) {
            if (socketWatched_) sel_.remove(sock_);
            socketWatched_ = false;
        } else if (socketWatched_) {
            sel_.modify(sock_, wanted);
        } else {
            socketWatched_ = sel_.add(sock_, wanted);
        }
    }

    // Writes what the terminal takes now; the rest waits for it to be
    // writable again. A terminal that cannot be watched (a regular file)
    // never says EAGAIN, so waiting for it in place costs nothing.
    void flushTerminal() {
        while (!termOut_.empty()) {
            ssize_t n = ::write(1, termOut_.data(), termOut_.size());
            if (n > 0) {
                termOut_.consume(static_cast<size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (termWatched_ || (termWatched_ = sel_.add(1, Interest::Write))) return;
                if (!waitWritable(1)) termOut_.clear();
            } else {
                termOut_.clear();  // the terminal has gone: nobody will see it
            }
        }
        if (termWatched_) sel_.remove(1);
        termWatched_ = false;
        if (writtenAt_) {
            queue(MsgKind::Written, positionPayload(*writtenAt_));
            writtenAt_.reset();
        }
    }

    void queue(MsgKind kind, std::string_view payload) {
        sendFrame(frameBytes(kind, payload));
    }

    // A whole frame: sent at once when nothing waits before it, only the
    // part the socket did not take is queued.
    void sendFrame(std::string_view frame) {
        std::string sealed;
        if (channel_) {
            channel_->seal(frame, sealed);
            frame = sealed;
        }
        while (sendQueue_.empty() && !frame.empty()) {
            ssize_t n = ::send(sock_, frame.data(), frame.size(), MSG_NOSIGNAL);
            if (n > 0) {
                frame.remove_prefix(static_cast<size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                break;
            } else {
                return;  // the daemon has gone: see flush()
            }
        }
        sendQueue_.append(frame);
        flush();
    }

    void flush() {
        while (!sendQueue_.empty()) {
            ssize_t n = ::send(sock_, sendQueue_.data(), sendQueue_.size(), MSG_NOSIGNAL);
            if (n > 0) {
                sendQueue_.consume(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                return;
            } else {
                // The daemon has gone: what is typed now is lost, and the
                // end of the connection shows on the next read.
                sendQueue_.clear();
                return;
            }
        }
    }

    // The detach key leaves at once, whatever input still waits: the
    // Detach goes out if the socket takes it, and closing the connection
    // tells the daemon the same otherwise. The daemon logs `why`.
    void detach(const char* why) {
        queue(MsgKind::Detach, why);
        running_ = false;
        detached_ = true;
    }

    // Keys are read behind room for the frame's header: the frame is sent
    // from where they were read.
    void readInput() {
        char frame[HeaderSize + InputChunk];
        ssize_t n = ::read(0, frame + HeaderSize, InputChunk);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            inputEnded_ = true;
            detached_ = true;
        } else if (isDetachKey(detachKey_, std::string_view(frame + HeaderSize, n))) {
            detach("detach key");
        } else if (!role_.readOnly) {
            writeHeader(frame, MsgKind::Input, static_cast<size_t>(n));
            sendFrame(std::string_view(frame, HeaderSize + n));
        }
    }

    // Keys the daemon read on the client's keyboard and handed back.
    void typed(std::string_view keys) {
        if (isDetachKey(detachKey_, keys)) {
            detach("detach key");
        } else if (!role_.readOnly) {
            queue(MsgKind::Input, keys);
        }
    }

    void pollInput() {
        int flags = fcntl(0, F_GETFL);
        fcntl(0, F_SETFL, flags | O_NONBLOCK);
        char buf[InputChunk];
        ssize_t n = ::read(0, buf, sizeof buf);
        fcntl(0, F_SETFL, flags);
        if (n > 0) {
            if (!role_.readOnly) queue(MsgKind::Input, std::string_view(buf, n));
        } else if (n == 0) {
            inputEnded_ = true;
            detached_ = true;
        }
    }

    void drainWinch() {
        char buf[64];
        while (::read(winch_, buf, sizeof buf) > 0) {
        }
        // Continued, the client takes its terminal back as it was: raw, the
        // session's screen on it (the window may have changed too, unseen),
        // and the keyboard the daemon read before.
        bool woke = continued;
        continued = 0;
        if (woke) raw_.apply();
        if (!role_.terminal) return;
        terminal_.resized();
        if (std::optional<WindowSize> size = terminalSize())
            queue(MsgKind::Resize, woke ? repaintPayload(*size) : resizePayload(*size));
        if (!woke) return;
        continuedLately_ = true;
        if (keyboardAsked_ && !keyboardHanded_ && keyboardIsTerminal()) handKeyboard();
    }

    // Received bytes go after the ones not handled yet, in one buffer
    // that keeps its size.
    char* space(size_t wanted) {
        if (in_.size() < have_ + wanted) in_.resize(have_ + wanted);
        return in_.data() + have_;
    }
    void append(std::string_view bytes) {
        std::memcpy(space(bytes.size()), bytes.data(), bytes.size());
        have_ += bytes.size();
    }

    // Reads what the socket holds and handles every whole message in it,
    // where it lies. The output of all of them goes to the terminal in one
    // write, straight from the receive buffer: fewer system calls on the
    // path of every byte the session prints, and a frame that arrives in
    // pieces never blocks the keyboard.
    void readSession() {
        try {
            if (channel_) {
                char buf[SessionChunk];
                ssize_t n = ::recv(sock_, buf, sizeof buf, 0);
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
                if (n <= 0) return void(running_ = false);
                std::string plain, reply;  // no reply once the channel is established
                channel_->receive(std::string_view(buf, n), plain, reply);
                append(plain);
            } else {
                ssize_t n = ::recv(sock_, space(SessionChunk), SessionChunk, 0);
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
                if (n <= 0) return void(running_ = false);
                have_ += static_cast<size_t>(n);
            }
        } catch (const IoError&) {
            // A record that does not open ends the connection as its end does.
            running_ = false;
            return;
        }
        std::string_view received(in_.data(), have_);
        size_t used = 0;
        iovec pieces[MaxOutputPieces];
        size_t count = 0;
        MsgKind kind;
        std::string_view payload;
        try {
            while (!end_ && takeFrame(received, used, kind, payload)) {
                if (kind == MsgKind::Output && !payload.empty()) {
                    terminal_.shown(payload);
                    midLine_ = payload.back() != '\n';
                    if (count == MaxOutputPieces) {
                        show(pieces, count);
                        count = 0;
                    }
                    pieces[count++] = {const_cast<char*>(payload.data()), payload.size()};
                } else if (kind == MsgKind::Ended) {
                    // The last message: whatever it says, the session is over.
                    end_ = decodeEnd(payload).value_or(SessionEnd{SessionEnd::How::Killed});
                    // Said back, an ended session that waited for a client
                    // knows it has been seen and goes; the client leaves
                    // when it has (the connection closes), so that no
                    // listing finds the session afterwards.
                    queue(MsgKind::Ended, "");
                    closeDeadline_ = std::chrono::steady_clock::now() + CloseWait;
                } else if (kind == MsgKind::Detach) {
                    // Another client attached with -D: this one leaves as
                    // a detach does. The daemon wrote its last to the
                    // terminal before it said so.
                    running_ = false;
                    detached_ = true;
                    released_ = true;
                    break;
                } else if (kind == MsgKind::Shown && !payload.empty()) {
                    terminal_.shown(payload);
                    midLine_ = payload.back() != '\n';
                } else if (kind == MsgKind::Written) {
                    show(pieces, count);
                    count = 0;
                    reportWritten(streamAt_ + used);
                } else if (kind == MsgKind::Direct) {
                    handTerminal(payload == DirectKeys);
                } else if (kind == MsgKind::Keys) {
                    keyboardHanded_ = false;
                    if (!payload.empty()) {
                        typed(payload);
                    } else if (continuedLately_ && keyboardIsTerminal()) {
                        // Given back while the client was stopped, and read
                        // only now that it runs in front again.
                        handKeyboard();
                    }
                }
            }
        } catch (const IoError&) {
            // A bad frame ends the connection as its end does.
            running_ = false;
        }
        show(pieces, count);
        consume(used);
    }

    // The first `used` received bytes are handled.
    void consume(size_t used) {
        streamAt_ += used;
        have_ -= used;
        std::memmove(in_.data(), in_.data() + used, have_);
        // A buffer grown for a large frame gives its memory back.
        if (in_.size() > 4 * SessionChunk && have_ < SessionChunk) {
            in_.resize(SessionChunk);
            in_.shrink_to_fit();
        }
    }

    // Output to the terminal: written at once when nothing waits before it,
    // and only what the terminal does not take is kept.
    void show(iovec* pieces, size_t count) {
        size_t first = 0;
        while (termOut_.empty() && first < count) {
            ssize_t n = ::writev(1, pieces + first, static_cast<int>(count - first));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;  // EAGAIN, or a failure flushTerminal() sorts out
            for (auto left = static_cast<size_t>(n); left > 0 && first < count;) {
                size_t taken = std::min(left, pieces[first].iov_len);
                pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + taken;
                pieces[first].iov_len -= taken;
                left -= taken;
                if (pieces[first].iov_len == 0) ++first;
            }
        }
        for (size_t i = first; i < count; ++i)
            termOut_.append(std::string_view(static_cast<char*>(pieces[i].iov_base),
                                             pieces[i].iov_len));
        flushTerminal();
    }

    // Everything up to `position` of the stream is on the terminal once
    // what waits for it has gone; the daemon may then write there itself.
    void reportWritten(uint64_t position) {
        writtenAt_ = position;
        if (termOut_.empty()) flushTerminal();
    }

    // The daemon asked for the terminal: it goes with a Direct frame, ahead
    // of anything else, or not at all. Asked for the keyboard too, the
    // client reads no more keys from the moment it hands it over, until
    // the daemon hands it back: no key is read twice or out of turn.
    void handTerminal(bool keyboard) {
        if (handed_ && keyboard && keyboardAsked_ && !keyboardHanded_ && keyboardIsTerminal())
            return handKeyboard();  // asked again, after input was held back
        if (!role_.handsTerminal || handed_ || !sendQueue_.empty()) return;
        keyboard = keyboard && role_.handsKeyboard;
        std::string frame = frameBytes(MsgKind::Direct, keyboard ? keyboardOffer() : "");
        iovec iov{frame.data(), frame.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        int terminal = 1;
        std::memcpy(CMSG_DATA(c), &terminal, sizeof terminal);
        ssize_t n;
        do {
            n = ::sendmsg(sock_, &msg, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return;
        handed_ = true;
        keyboardAsked_ = keyboardHanded_ = keyboard;
        sendQueue_.append(std::string_view(frame).substr(static_cast<size_t>(n)));
        flush();
    }

    // The keyboard again, once handed back: the daemon holds the terminal.
    void handKeyboard() {
        queue(MsgKind::Direct, keyboardOffer());
        keyboardHanded_ = true;
        continuedLately_ = false;
    }

    // What the daemon needs to read the keys as the client would: the
    // detach key.
    std::string keyboardOffer() const {
        return detachKey_.control ? std::string(1, static_cast<char>(*detachKey_.control)) : "none";
    }

    // A daemon that writes to the terminal itself stops only once it has
    // the Detach; the terminal gets its own state back after that, when the
    // daemon closes the connection (or after CloseWait), with what the
    // daemon showed meanwhile taken into account.
    void awaitRelease() {
        auto deadline = std::chrono::steady_clock::now() + CloseWait;
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return;
            pollfd p{sock_, static_cast<short>(POLLIN | (sendQueue_.empty() ? 0 : POLLOUT)), 0};
            int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR) return;
            if (ready <= 0) continue;
            if (p.revents & POLLOUT) flush();
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::recv(sock_, space(SessionChunk), SessionChunk, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return;
            have_ += static_cast<size_t>(n);
            std::string_view received(in_.data(), have_);
            size_t used = 0;
            MsgKind kind;
            std::string_view payload;
            try {
                while (takeFrame(received, used, kind, payload))
                    if (kind == MsgKind::Shown) terminal_.shown(payload);
            } catch (const IoError&) {
                return;
            }
            consume(used);
        }
    }

  public:
    // How the session ended, when the daemon said so before closing.
    const std::optional<SessionEnd>& end() const { return end_; }
    // The client left on its own (detach key, end of input, told to stop).
    bool detached() const { return detached_ && !end_; }
    // The last output did not end a line.
    bool midLine() const { return midLine_; }

  private:
    int sock_;
    int winch_;
    DetachKey detachKey_;
    ClientRole role_;
    RawMode& raw_;
    TerminalRestore& terminal_;
    SecureChannel* channel_;  // TCP only
    Selector sel_;
    bool polling_ = false;
    bool running_ = true;
    bool inputEnded_ = false;
    bool detached_ = false;
    bool midLine_ = false;
    std::optional<SessionEnd> end_;
    std::chrono::steady_clock::time_point closeDeadline_;
    bool socketWatched_ = false;
    bool termWatched_ = false;  // output waits for the terminal to be writable
    ByteQueue termOut_;         // session output the terminal has not taken yet
    ByteQueue sendQueue_;       // frames for the daemon that the socket has not taken yet
    std::string in_;            // received bytes: have_ of them not handled yet
    size_t have_ = 0;
    uint64_t streamAt_ = 0;  // where in_ starts in the stream the daemon sent
    // The terminal was handed to the daemon; the daemon said it writes there
    // no more; a Written report waits for the terminal to take what is queued.
    bool handed_ = false;
    // The daemon asked for the keyboard too, and reads it now.
    bool keyboardAsked_ = false;
    bool keyboardHanded_ = false;
    bool continuedLately_ = false;  // since the keyboard was last offered
    bool released_ = false;
    std::optional<uint64_t> writtenAt_;
};

}  // namespace

void onWinch(int) {
    int saved = errno;
    char one = 1;
    ssize_t ignored = ::write(winchPipe[1], &one, 1);
    (void)ignored;
    errno = saved;
}

std::string leavingLine(const std::string& session, const std::optional<SessionEnd>& end,
                        bool detached) {
    std::string name = printableName(session);
    if (detached) return "[detached from " + name + "]";
    if (!end) return "[lost connection to " + name + "]";
    switch (end->how) {
        case SessionEnd::How::Exited:
            return "[" + name + " exited: status " + std::to_string(end->code) + "]";
        case SessionEnd::How::Signaled:
            return "[" + name + " killed by " + signalName(end->code) + "]";
        case SessionEnd::How::Killed:
            break;
    }
    return "[" + name + " killed]";
}

int runClient(const std::string& session, const Config& config) {
    std::signal(SIGPIPE, SIG_IGN);
    TcpSession conn = connectSession(session, config);
    std::optional<SessionEnd> end;
    bool detached = false;
    bool midLine = false;
    {
        // The handlers come first: a SIGTERM between the two would otherwise
        // end the client with the terminal left raw.
        WinchWatch winch;
        RawMode raw;
        // However the client leaves, the terminal gets its own state back
        // before its attributes are restored.
        TerminalRestore terminal(1);
        terminal.enter();
        // Without a terminal on both sides there is no screen to repaint
        // and no window to size the session: keys go in as `send` types
        // them, output comes out as the command writes it.
        ClientRole role;
        role.terminal = isatty(0) && isatty(1);
        role.readOnly = config.readOnly;
        role.detachOthers = config.detachOthers;
        role.policy = config.sizePolicy;
        role.handsTerminal = role.terminal && !conn.channel;
        role.handsKeyboard = role.handsTerminal && keyboardIsTerminal();
        Attached attached(conn.fd.get(), winch.readEnd(), config.detachKey, role, raw, terminal,
                          conn.channel.get(), std::move(conn.received));
        attached.run(terminalSize().value_or(WindowSize{80, 24}), terminalIdentity(1));
        terminal.restore();
        end = attached.end();
        detached = attached.detached();
        midLine = attached.midLine();
    }
    // On a line of its own: the restored terminal has its cursor at the
    // start of one; elsewhere the session's output may end mid-line.
    std::string line = leavingLine(session, end, detached) + "\n";
    if (!isatty(1) && midLine) line.insert(0, "\n");
    writeWhole(1, line);
    if (detached) return 0;
    return end ? endExitStatus(*end) : 1;
}

}  // namespace kiv
