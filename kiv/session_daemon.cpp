// The daemon's loop. One chunk of the command's output goes through here
// alone: read until the master would block, into a buffer behind a frame
// header; fed to the model; the same frame handed to every live client.
#include "kiv/session_daemon.h"

#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <cstring>

#include "kiv/capture.h"
#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/key_file.h"
#include "kiv/nesting.h"
#include "kiv/runtime.h"
#include "kiv/session_details.h"
#include "kiv/session_names.h"
#include "kiv/state_dir.h"
#include "kiv/tcp.h"

namespace kiv {

namespace {

using Clock = std::chrono::steady_clock;

// How often the daemon makes sure its socket file still exists: cleaners of
// temporary directories and logouts remove it while the session runs.
constexpr auto SocketCheckInterval = std::chrono::seconds(5);
// How long the listeners rest when no descriptor at all can be had.
constexpr auto AcceptPause = std::chrono::milliseconds(200);
// How long queued output may take to reach the clients once the session
// ends, in all, and for one client that takes nothing at all.
constexpr auto ShutdownDrainLimit = std::chrono::seconds(30);
constexpr auto DrainStallLimit = std::chrono::seconds(2);
// How long a restarted command has to show something (a shell its prompt)
// before its typeahead is typed anyway.
constexpr auto TypeaheadWait = std::chrono::seconds(1);
// Output read in a piece this small leaves the terminal empty, as a rule.
constexpr size_t SmallOutput = 512;
// A client's backlog after which the memory it took is given back.
constexpr size_t TrimAfterBacklog = 1024 * 1024;
// The longest frame a connection may send before its Attach when the
// session's name is shorter: the messages it may send meanwhile (ignored)
// are small.
constexpr size_t PreAttachFrame = 4096;
// Repaints of one client come at most this often: a burst of resizes, or
// output to a window of another size, gives one repaint per interval.
constexpr auto RepaintInterval = std::chrono::milliseconds(20);
// A client owed output that takes none of it for this long is dropped.
constexpr auto StallLimit = std::chrono::seconds(60);

int msUntil(Clock::time_point when, Clock::time_point now) {
    // Rounded up: a wait that ends before its timer is due would only wait again.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now);
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

}  // namespace

WindowSize fitGrid(WindowSize wanted) {
    // A side of zero would mean no bound at all to the screen library (every
    // line of the history on the screen, lines of any width): one cell it is.
    int64_t cols = std::clamp<int64_t>(wanted.cols, 1, MaxGridSide);
    int64_t rows = std::clamp<int64_t>(wanted.rows, 1, MaxGridSide);
    if (cols * rows > MaxCells) rows = std::max<int64_t>(1, MaxCells / std::max<int64_t>(cols, 1));
    return {static_cast<int>(cols), static_cast<int>(rows)};
}

Daemon::Daemon(Session session, Logger log)
    : session_(std::move(session)),
      log_(std::move(log)),
      spare_(open("/dev/null", O_RDONLY | O_CLOEXEC)) {
    setNonBlocking(session_.pty.masterFd());
    if (!sel_.add(session_.pty.masterFd(), Interest::Read))
        throw SystemError("cannot watch the pseudo-terminal");
    timers_.add(Clock::now() + SocketCheckInterval, Timer::SocketCheck);
    if (!session_.typeahead.empty()) timers_.add(Clock::now() + TypeaheadWait, Timer::Typeahead);
}

Daemon::~Daemon() = default;

// ---- Start-up and the listeners ----

void Daemon::start(const std::string& listen) {
    socketPath_ = socketPath(session_.name);
    // Another daemon answers there: this name, or a long one whose hashed
    // short form is the same. Its socket must not be taken over.
    if (isActive(session_.name)) throw SystemError("session already running: " + session_.name);
    // Its daemon runs, out of reach for the moment: its files are not ours.
    if (std::string why = blockedSocket(session_.name); !why.empty()) throw SystemError(why);
    // A key that cannot be used stops the start, with its reason on the
    // user's terminal, before any file is made: a session the user asked to
    // reach over TCP must not quietly be one that cannot be.
    std::optional<ListenAddr> addr;
    if (!listen.empty()) {
        try {
            addr = parseListen(listen);
        } catch (const UsageError& e) {
            log_.info(std::string("tcp listener disabled: ") + e.what());
        }
    }
    if (addr) {
        std::string keyPath = keyFilePath();
        LoadedKey loaded = loadOrCreateKeyFile(keyPath);
        if (loaded.created)
            log_.info("key file created: " + keyPath +
                      " (copy it to each machine that attaches over tcp)");
        key_ = loaded.key;
    }
    lockId_ = fileId(sessionFile(session_.name, ".lock"));
    removeSocket(session_.name);
    pidId_ = writePidFile(session_.name);
    try {
        unixListener_ = listenUnix(socketPath_);
    } catch (const Error&) {
        removeIfSame(sessionFile(session_.name, ".pid"), pidId_);  // a failed start leaves nothing
        throw;
    }
    socketId_ = fileId(socketPath_);

    if (addr) {
        try {
            TcpListener tcp = startTcpListener(*addr, addr->port);
            tcpListener_ = std::move(tcp.fd);
            log_.info("listening on tcp " + listen.substr(0, listen.rfind(':')) + ":" +
                      std::to_string(tcp.port));
        } catch (const SystemError& e) {
            log_.info(std::string("tcp listener disabled: ") + e.what());
        }
    }

    sel_.add(unixListener_.get(), Interest::Read);
    if (tcpListener_) sel_.add(tcpListener_.get(), Interest::Read);
    log_.info("listening on " + socketPath_);
    startSaving();
}

namespace {

// The source address of a TCP connection without its port, as bytes: the
// unit of the per-address limit.
std::string peerAddress(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        return std::string(reinterpret_cast<const char*>(&in6.sin6_addr), sizeof in6.sin6_addr);
    }
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
    return std::string(reinterpret_cast<const char*>(&in4.sin_addr), sizeof in4.sin_addr);
}

}  // namespace

void Daemon::acceptClient(int listener, bool trusted) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    UniqueFd fd(accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                        SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) {
        if (errno == EMFILE || errno == ENFILE) {
            shedConnection(listener);
        } else if (errno == ENOBUFS || errno == ENOMEM) {
            pauseAccepting();
        }
        return;  // a connection that went away meanwhile, an interruption
    }
    if (trusted && !fromOwner(fd.get())) return;  // closed at once
    if (!roomForClient()) return;
    std::string peer;
    if (!trusted) {
        peer = peerAddress(address);
        makeRoom(peer);
        setNoDelay(fd.get());
    }
    // Which session the client runs inside, for whoever asks whether an
    // attach would close a loop.
    std::string inside;
    ucred cred{};
    socklen_t size = sizeof cred;
    if (trusted && getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0)
        inside = sessionOfProcess(cred.pid);
    if (ClientId id = adoptClient(std::move(fd), trusted, std::move(peer))) {
        clients_[id]->insideOf = inside;
        if (trusted) clients_[id]->pid = cred.pid;
    }
}

// The session directory is closed to others, but a socket passed on or a
// directory opened later must still not let another user type here.
bool Daemon::fromOwner(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid())
        return true;
    logRefusal("connection refused: uid " + std::to_string(peer.uid) + " is not the owner");
    return false;
}

bool Daemon::roomForClient() {
    size_t joined = 0;
    for (const auto& [id, c] : clients_)
        if (!c->dropped && c->stage() != ClientStage::AwaitingAttach) ++joined;
    if (joined >= MaxClients) {
        logRefusal("client refused: " + std::to_string(MaxClients) + " clients attached");
        return false;
    }
    return true;
}

// A new TCP connection always gets a place: when its address already holds
// MaxPendingPerPeer of them, or all MaxPendingTcp are taken, a waiting one
// is closed. A stranger that keeps the places full cannot keep the owner
// out, since the owner's client sends its hello and proof at once, and the
// first to go are those that have not even sent a hello, then the oldest
// of the address that holds the most.
void Daemon::makeRoom(const std::string& peer) {
    while (ClientConnection* c = evictionCandidate(&peer)) {
        logRefusal("tcp connection closed: " + std::to_string(MaxPendingPerPeer) +
                   " from one address already wait for their Attach");
        dropClient(*c);
    }
    while (ClientConnection* c = evictionCandidate(nullptr)) {
        logRefusal("tcp connection closed: " + std::to_string(MaxPendingTcp) +
                   " connections already wait for their Attach");
        dropClient(*c);
    }
}

// The pending connection to close for a new one, or none while there is
// room: with `onlyPeer`, among that address's when it has its fill, else
// among all when the table is full.
ClientConnection* Daemon::evictionCandidate(const std::string* onlyPeer) {
    auto pending = [](const ClientConnection& c) {
        return !c.dropped && c.overTcp() && c.stage() == ClientStage::AwaitingAttach;
    };
    std::map<std::string, size_t> perPeer;
    size_t all = 0;
    for (const auto& [id, c] : clients_) {
        if (!pending(*c)) continue;
        ++all;
        ++perPeer[c->peer];
    }
    if (onlyPeer ? perPeer[*onlyPeer] < MaxPendingPerPeer : all < MaxPendingTcp) return nullptr;
    ClientConnection* best = nullptr;
    for (auto& [id, c] : clients_) {  // oldest first
        if (!pending(*c) || (onlyPeer && c->peer != *onlyPeer)) continue;
        if (!best) {
            best = c.get();
            continue;
        }
        // Not greeted before greeted, then the busier address, then the older.
        bool quieter = !c->greeted() && best->greeted();
        bool sameRank = c->greeted() == best->greeted();
        if (quieter || (sameRank && perPeer[c->peer] > perPeer[best->peer])) best = c.get();
    }
    return best;
}

// The descriptor table is full (EMFILE, ENFILE): the waiting connection is
// accepted with the spare descriptor's slot and closed at once.
void Daemon::shedConnection(int listener) {
    spare_.reset();
    UniqueFd shed(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    shed.reset();
    spare_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    logRefusal("connection refused: no descriptor left");
    // Without a spare (the whole system is out of descriptors) the
    // listeners rest for a moment instead of waking every wait.
    if (!spare_) pauseAccepting();
}

void Daemon::pauseAccepting() {
    acceptPausedUntil_ = now() + AcceptPause;
    timers_.add(*acceptPausedUntil_, Timer::AcceptResume);
    if (unixListener_) sel_.modify(unixListener_.get(), Interest::None);
    if (tcpListener_) sel_.modify(tcpListener_.get(), Interest::None);
}

// One line per interval at most, naming how many went unlogged: a flood of
// connections must not become a flood of log lines.
void Daemon::logRefusal(const std::string& message) {
    ++refusalsUnlogged_;
    if (now() < nextRefusalLog_) return;
    nextRefusalLog_ = now() + RefusalLogInterval;
    std::string count;
    if (refusalsUnlogged_ > 1)
        count = " (" + std::to_string(refusalsUnlogged_) + " refusals since the last line)";
    refusalsUnlogged_ = 0;
    log_.info(message + count);
}

// Brings the socket back when its file has vanished, so that the session
// stays reachable. A directory that cannot be made yet is tried again at
// the next check. What stands at the path instead is never removed: a
// socket may be a newer daemon's, and anything else (a directory, say) is
// the user's; the log says once that the session cannot be reached, and
// the socket comes back once the path is free.
void Daemon::checkSocket() {
    if (!unixListener_) return;  // driven in-process: no files of its own
    struct stat st;
    if (lstat(socketPath_.c_str(), &st) == 0) {
        bool blocked = !S_ISSOCK(st.st_mode);
        if (blocked && !socketBlocked_)
            log_.info("cannot be reached: " + socketPath_ + " is " +
                      (S_ISDIR(st.st_mode) ? "a directory" : "not a socket") +
                      "; the socket comes back once it is gone");
        socketBlocked_ = blocked;
        return;
    }
    if (errno != ENOENT) return;
    try {
        // As at start-up, the pid file is there before the socket answers.
        kivDir();
        pidId_ = writePidFile(session_.name);
        UniqueFd listener = listenUnix(socketPath_);
        if (!sel_.add(listener.get(), Interest::Read)) return;
        socketId_ = fileId(socketPath_);
        sel_.remove(unixListener_.get());
        unixListener_ = std::move(listener);
        log_.info("socket restored: " + socketPath_);
        socketBlocked_ = false;
    } catch (const Error&) {
    }
}

// The session can no longer be reached: the listeners close and the
// session's files go, before the clients that see the end are told it, so
// that once a client has shown the end no listing finds the session.
void Daemon::stopListening() {
    if (!unixListener_) return;
    sel_.remove(unixListener_.get());
    unixListener_.reset();
    if (tcpListener_) sel_.remove(tcpListener_.get());
    tcpListener_.reset();
    // Only while they are still ours: a new session of the same name,
    // started meanwhile, keeps its socket, pid file and lock.
    removeIfSame(socketPath_, socketId_);
    // A lock made after start-up (a default-name search that found
    // this session) is ours too, unless another daemon now serves the name.
    std::string lock = sessionFile(session_.name, ".lock");
    if (!isActive(session_.name)) removeIfSame(lock, lockId_ ? lockId_ : fileId(lock));
    if (daemonPid(session_.name) == getpid())
        removeIfSame(sessionFile(session_.name, ".pid"), pidId_);
}

// ---- The command's end ----

// The terminal has closed: the command has exited, or is about to once
// the hang-up reaches it. Nothing is written to it any more.
void Daemon::commandEnded() {
    session_.running = false;
    ptyOut_.clear();
    sel_.remove(session_.pty.masterFd());
    session_.pty.close();
    updateInputPause();
    terminalClosedAt_ = Clock::now();
    collectStatus();
}

// The command's status, once it can be had; until then it is looked for
// often at first, then now and again (a command may outlive its terminal).
void Daemon::collectStatus() {
    std::optional<int> status = session_.pty.reap();
    if (!status && session_.pty.pid() > 0) {
        auto at = Clock::now();
        bool early = at - terminalClosedAt_ < std::chrono::seconds(1);
        timers_.add(at + (early ? std::chrono::milliseconds(10) : std::chrono::milliseconds(500)),
                    Timer::Reap);
        reaping_ = true;
        return;
    }
    reaping_ = false;
    end_ = status ? endFromWaitStatus(*status) : SessionEnd{};
    endedAt_ = Clock::now();
    log_.info("command " + describeEnd(*end_));
    bool seen = std::any_of(clients_.begin(), clients_.end(),
                            [](const auto& entry) { return entry.second->live(); });
    if (seen || !session_.pty.execError().empty()) {
        stopListening();
        over_ = true;
    }
    tellAll(MsgKind::Ended, endPayload(*end_));
    if (over_) return;
    // Kept, it is kept across a restart too, until collected.
    if (saver_) {
        saver_->ended(*end_);
        saver_->write(*session_.term, 0);
    }
    // Kept for a client to collect, with the screen and its history alone:
    // what the terminal and its input used goes back to the system.
    malloc_trim(0);
}

// The end with the time since it, as clients are told it.
SessionEnd Daemon::endAsOfNow(SessionEnd end) const {
    if (end_)
        end.secondsAgo =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - endedAt_).count();
    return end;
}

std::string Daemon::endPayload(const SessionEnd& end) const {
    std::string payload;
    appendEndFields(payload, endAsOfNow(end));
    return payload;
}

// ---- The loop ----

void Daemon::run(const sigset_t* waitMask, const volatile sig_atomic_t& stop) {
    stop_ = &stop;
    while (!over_ && !stop)
        step(msUntilNextTimer(), waitMask);
    // `stop` holds the signal that asked for it.
    if (stop) {
        const char* name = sigabbrev_np(stop);
        log_.info(std::string("daemon: stopping on ") +
                  (name ? "SIG" + std::string(name) : "signal " + std::to_string(stop)));
    }
}

bool Daemon::step(int timeoutMs, const sigset_t* waitMask) {
    std::span<const ReadyEvent> events = sel_.wait(timeoutMs, waitMask);
    now_.reset();
    quiet_ = events.empty();
    for (const ReadyEvent& ev : events) {
        if (ev.fd == session_.pty.masterFd()) {
            if (!serviceMaster(ev)) break;
        } else if (auto known = clientByFd_.find(ev.fd); known != clientByFd_.end()) {
            serviceClient(*known->second, ev);
        } else if (unixListener_ && ev.fd == unixListener_.get()) {
            acceptClient(ev.fd, true);
        } else if (tcpListener_ && ev.fd == tcpListener_.get()) {
            acceptClient(ev.fd, false);
        }
    }
    if (heldInputWaits_) resumeHeldInput();
    if (!owing_.empty()) paintOwed();
    sweepClients();
    runTimers();
    if (backlog_ > TrimAfterBacklog) giveBackBacklog();
    return !over_;
}

// Output that queued up for a client that fell behind took megabytes of
// frames, freed once it caught up but kept by the allocator; once every
// client has caught up, they go back to the system. Not after every burst:
// a client that keeps up never queues that much.
void Daemon::giveBackBacklog() {
    for (const auto& [id, c] : clients_)
        if (c->queued() > 0) return;
    backlog_ = 0;
    malloc_trim(0);
}

// ---- The command's side ----

// Returns false when the command's terminal has closed.
bool Daemon::serviceMaster(const ReadyEvent& ev) {
    if (ev.writable) flushPty();
    if (!(ev.readable || ev.error) || !session_.running) return true;
    bool ended = false;
    SharedBytes frame = readOutput(ended);
    if (!frame.bytes.empty()) {
        // The screen sees output before any client.
        session_.term->write(frame.bytes.substr(HeaderSize), now());
        scheduleUpdate();
        if (saver_) {
            saver_->changed(now());
            scheduleSave();
        }
        broadcast(frame);
        answerQueries();
        typeAhead();
    }
    if (ended) commandEnded();
    return !ended;
}

// Reads the master until it would block (or up to the bound) into the
// frame buffer, behind room for the header.
SharedBytes Daemon::readOutput(bool& ended) {
    if (!frame_ || frame_.use_count() > 1)
        frame_ = std::shared_ptr<char[]>(new char[HeaderSize + MasterReadBound]);
    char* payload = frame_.get() + HeaderSize;
    size_t got = 0;
    while (got < MasterReadBound) {
        ssize_t n = session_.pty.read(payload + got, MasterReadBound - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            // The terminal hands over at most its line buffer a read; a
            // piece much smaller than that (an echo) most likely emptied
            // it, and asking again would only be told so.
            if (static_cast<size_t>(n) < SmallOutput) break;
            continue;
        }
        if (n == 0 || errno == EIO) ended = true;
        break;  // EAGAIN: all there is for now
    }
    if (got == 0) return {};
    writeHeader(frame_.get(), MsgKind::Output, got);
    return {frame_, std::string_view(frame_.get(), HeaderSize + got), HeaderSize + MasterReadBound};
}

// Output never waits for a slow client: each holds a share of the frame
// until its socket takes it, and one that has fallen too far behind is
// dropped.
void Daemon::broadcast(const SharedBytes& frame) {
    for (auto& [id, c] : clients_) {
        if (!c->live()) continue;
        // A window of another size shows the model, repainted.
        if (c->owesRepaint() || (c->role().terminal && !c->mirrors(session_.size))) {
            c->missedOutput = true;
            owe(*c);
            continue;
        }
        if (!c->sendShared(frame)) {
            if (c->wayOut.empty()) c->wayOut = "dropped (too far behind the output)";
            dropClient(*c);
            continue;
        }
        if (c->owesRepaint()) owing_.push_back(id);  // fallen too far behind
        if (c->showsUntold() && !c->shownTimer) {
            c->shownTimer = true;
            timers_.add(now() + ShownDelay, Timer::Shown, id);
        }
        backlog_ = std::max(backlog_, c->queued());
        updateInterest(*c);
    }
}

// The command's queries to its terminal: answered by the model while no
// client's terminal is shown the output, answered once while several are.
// Answers and client input share one road to the command (ptyOut_), so
// they reach it in the order they were given.
void Daemon::answerQueries() {
    std::vector<screen::Query> queries = session_.term->takeQueries();
    if (queries.empty()) return;
    std::vector<WatcherId> watchers;
    // Only a terminal that is shown the command's own bytes and may type
    // answers them.
    for (const auto& [id, c] : clients_)
        if (c->live() && c->mirrors(session_.size) && !c->role().readOnly) watchers.push_back(id);
    std::string answers;
    for (const screen::Query& q : queries) {
        if (!watchers.empty()) {
            replies_.asked(q, watchers, now());
        } else if (ptyOut_.size() + answers.size() < PtyInputHighWater) {
            // A command that asks without ever reading its input loses the
            // answers past the mark instead of growing the queue.
            answers += q.answer;
        }
    }
    scheduleReplies();
    toCommand(answers);
}

// Written at once when nothing waits before it; queued only for what the
// master does not take.
void Daemon::toCommand(std::string_view bytes) {
    if (bytes.empty() || !session_.running) return;  // nobody reads an ended session's input
    if (ptyOut_.empty()) {
        while (!bytes.empty()) {
            ssize_t n = session_.pty.write(bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                break;
            } else {
                return;  // the command's side is gone: nobody will read it
            }
        }
        if (bytes.empty()) return;
    }
    ptyOut_.append(bytes);
    flushPty();
}

// Typed once the command is up: a shell that has shown its prompt reads
// with its own line editing, which shows the line once, where the
// terminal's own echo of typing ahead would show it twice.
void Daemon::typeAhead() {
    if (session_.typeahead.empty()) return;
    toCommand(session_.typeahead);
    session_.typeahead.clear();
}

void Daemon::flushPty() {
    bool blocked = false;
    while (!ptyOut_.empty()) {
        ssize_t n = session_.pty.write(ptyOut_.data(), ptyOut_.size());
        if (n > 0) {
            ptyOut_.consume(static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            blocked = true;
            break;
        } else {
            // The command's side is gone (EIO): nobody will ever read this
            // input, and the next read of the master ends the session.
            ptyOut_.clear();
        }
    }
    sel_.modify(session_.pty.masterFd(), blocked ? Interest::ReadWrite : Interest::Read);
    updateInputPause();
}

// Holds clients' Input while the command lags behind it, and lets it go on
// once the command has caught up: no input is dropped, the queue stays
// bounded whatever clients send, and Resize, Detach and a new client's
// first messages are still read meanwhile.
void Daemon::updateInputPause() {
    bool pause = ptyOut_.size() > PtyInputHighWater;
    if (pause == inputPaused_) return;
    inputPaused_ = pause;
    if (!pause) heldInputWaits_ = true;
    for (auto& [id, c] : clients_) {
        if (!c->dropped && !(pause ? c->pauseKeyboard() : c->resumeKeyboard())) dropClient(*c);
        updateInterest(*c);
    }
}

// The command has caught up: the Input that waited goes on, client by
// client in order of connection, until the mark is reached again.
void Daemon::resumeHeldInput() {
    heldInputWaits_ = false;
    for (auto& [id, c] : clients_) {
        if (inputPaused_) break;
        if (c->dropped || !c->holdsInput()) {
            updateInterest(*c);
            continue;
        }
        try {
            applyEvents(*c);
        } catch (const IoError&) {
            dropClient(*c);
        }
    }
}

// ---- The clients' side ----

ClientId Daemon::adoptClient(UniqueFd fd, bool trusted, std::string peer) {
    setNonBlocking(fd.get());
    // A socket the selector refuses is closed at once (UniqueFd does it).
    if (!sel_.add(fd.get(), Interest::Read)) return 0;
    ClientId id = ++lastId_;
    auto c = std::make_unique<ClientConnection>(id, std::move(fd), trusted, key_,
                                                std::max(session_.name.size(), PreAttachFrame));
    c->peer = std::move(peer);
    if (!trusted) {
        timers_.add(Clock::now() + AttachTimeout, Timer::AttachWait, id);
        if (!c->established()) timers_.add(Clock::now() + HandshakeTimeout, Timer::Handshake, id);
    }
    clientByFd_[c->fd()] = c.get();
    clients_.emplace(id, std::move(c));
    return id;
}

const ClientConnection* Daemon::client(ClientId id) const {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : it->second.get();
}

ClientConnection* Daemon::find(ClientId id) {
    auto it = clients_.find(id);
    return it == clients_.end() || it->second->dropped ? nullptr : it->second.get();
}

void Daemon::serviceClient(ClientConnection& c, const ReadyEvent& ev) {
    if (c.dropped) return;  // dropped earlier in this batch
    if (ev.fd != c.fd()) return serviceKeyboard(c);
    if (ev.writable && !c.flush()) return dropClient(c);
    if (c.leaving) {
        // Told to go: only what it was sent counts now.
        if (ev.error || !c.wantsWrite()) return dropClient(c);
        return updateInterest(c);
    }
    if (!(ev.readable || ev.error)) return updateInterest(c);
    if (!ev.readable && inputPaused_ && c.holdsInput()) {
        // Hung up with its Input held: what it sent is still in the socket
        // and is read once the command catches up.
        sel_.remove(c.fd());
        c.asleep = true;
        return;
    }
    try {
        switch (c.receive()) {
            case ClientConnection::Received::Nothing:
                return updateInterest(c);
            case ClientConnection::Received::Closed:
                return dropClient(c);
            case ClientConnection::Received::Bytes:
                break;
        }
        applyEvents(c);
    } catch (const IoError& e) {
        if (c.overTcp())
            logRefusal("tcp client dropped fd=" + std::to_string(c.fd()) + ": " + e.what());
        dropClient(c);
    }
}

// Every whole frame the client sent, in order; none after one that ends
// the client.
void Daemon::applyEvents(ClientConnection& c) {
    while (std::optional<ClientEvent> e = c.next(inputPaused_)) {
        if (!apply(c, *e)) return dropClient(c);
        if (c.dropped) return;
    }
    updateInterest(c);
}

// False when the client is to go.
bool Daemon::apply(ClientConnection& c, const ClientEvent& e) {
    if (e.tooLong) {
        if (e.kind == MsgKind::Attach) c.sendFrame(MsgKind::Error, "no such session");
        return false;
    }
    if (c.stage() == ClientStage::AwaitingAttach)  // only Attach counts yet
        return e.kind != MsgKind::Attach || acceptAttach(c, e.payload);
    switch (e.kind) {
        case MsgKind::Input:
            typed(c, e.payload);
            return true;
        case MsgKind::Resize:
            handleResize(c, e.payload);
            return true;
        case MsgKind::Detach:
            // The client says how it left: the detach key, a signal, the
            // end of its input.
            c.wayOut = "detached" + (e.payload.empty() ? std::string()
                                                        : " (" +
                                                              printableName(e.payload.substr(0, 64)) +
                                                              ")");
            return false;
        case MsgKind::Ended:
            // A client that was shown the end of an ended session says it
            // back: the session has been collected. Unreachable from here
            // on, it goes once its clients have what was queued for them.
            if (end_ && c.live()) {
                stopListening();
                over_ = true;
            }
            return true;
        case MsgKind::Details:
            return c.sendFrame(MsgKind::Details, details());
        case MsgKind::Terminal:
            // Only before the screen is sent: it decides what history goes.
            if (c.stage() == ClientStage::AwaitingSnapshot && e.payload.size() <= MaxTerminalIdentity)
                c.terminal = e.payload;
            return true;
        case MsgKind::Capture:
            return sendCapture(c, e.payload);
        case MsgKind::Role:
            applyRole(c, readRole(e.payload));
            return true;
        case MsgKind::Direct:
            if (!c.takeTerminal(e.payload, inputPaused_)) return false;
            if (c.readsKeyboard()) clientByFd_[c.terminalFd()] = &c;
            return true;
        case MsgKind::Written:
            if (std::optional<uint64_t> position = readPosition(e.payload)) c.written(*position);
            return true;
        default:
            return true;
    }
}

// Keys from a client, sent or read from its keyboard.
void Daemon::typed(ClientConnection& c, std::string_view keys) {
    if (keys.empty() || c.role().readOnly) return;
    touch(c);
    if (!replies_.watching(c.id())) {
        toCommand(keys);
    } else {
        // Other terminals' replies to a query already answered stay out.
        toCommand(replies_.pass(c.id(), keys, now()));
        scheduleReplies();
    }
}

// A keyboard the client handed over, read where the client would have read
// it: the key's shortest way to the command.
void Daemon::serviceKeyboard(ClientConnection& c) {
    char buffer[ClientReadChunk];
    std::string_view keys;
    if (!c.readKeys(buffer, keys)) return dropClient(c);
    typed(c, keys);
    updateInterest(c);
}

// A TCP connection that names this session joins it; any other name gets
// "no such session" and the connection ends.
bool Daemon::acceptAttach(ClientConnection& c, std::string_view name) {
    if (name != session_.name) {
        logRefusal("tcp attach refused: no session " + printableName(name.substr(0, 256)) +
                   " here");
        c.sendFrame(MsgKind::Error, "no such session");
        return false;
    }
    c.joined();
    return c.sendFrame(MsgKind::AttachOk, "");
}

// A Resize is a client's window. The session takes the size its policy
// picks from the windows of the clients that size it; the sender's first
// Resize also brings it the screen, whole with its history when its window
// is the session's size, else repainted to its window. The repaint may be
// larger than one frame: it goes as several Output frames (clients write
// Output as one stream).
void Daemon::handleResize(ClientConnection& c, std::string_view payload) {
    std::optional<WindowSize> wanted = readResize(payload);
    if (!wanted || !c.role().terminal) return;
    WindowSize window = fitGrid(*wanted);
    bool first = c.stage() == ClientStage::AwaitingSnapshot;
    // A repeated size (a burst of SIGWINCH) changes nothing, unless the
    // terminal lost the screen meanwhile.
    if (!first && c.window && c.window->cols == window.cols && c.window->rows == window.rows &&
        !asksRepaint(payload))
        return;
    c.window = window;
    if (first) {
        c.goLive();
        // One line per attach: connections that only ask (`kiv ls`, the
        // checks of a starting client) never get this far.
        log_.info("client " + std::to_string(c.id()) + " attached (" +
                  (c.overTcp() ? "tcp" : "unix") + ", " + std::to_string(wanted->cols) + "x" +
                  std::to_string(wanted->rows) + (c.role().readOnly ? ", read-only" : "") +
                  (c.insideOf.empty() ? "" : ", inside " + printableName(c.insideOf)) + ")");
    }
    if (c.sizesSession()) c.activeAt = ++activity_;
    bool resized = resizeSession(first ? &c : nullptr);
    if (first) {
        // The client's terminal is sent only the history it does not hold;
        // a window of another size gets the screen alone, repainted to it.
        int64_t from = delivered_.owedFrom(c.terminal);
        c.historyHeld = from;
        if (!c.mirrors(session_.size)) {
            // A window of another size: the screen repainted to it, at once,
            // so that its first screen comes ahead of the size echoed below.
            c.repaintedAt = now();
            if (!c.sendRepaint(session_.term->repaint(c.window->cols, c.window->rows)))
                dropClient(c);
        } else if (!c.sendRepaint(session_.term->snapshot(SnapshotHistoryBudget, from))) {
            dropClient(c);
        } else {
            c.historyHeld = session_.term->historyEnd();
        }
    } else if (!resized) {
        owe(c);  // its own window changed
    }
    if (resized || c.sizesSession()) echoSize();
    // An ended session: its last screen, then how it ended. It has been
    // seen once the client says the end back.
    if (!first || !end_ || c.dropped) return;
    if (!c.sendFrame(MsgKind::Ended, endPayload(*end_))) dropClient(c);
}

// Keys make a client the most recently active one.
void Daemon::touch(ClientConnection& c) {
    if (!c.sizesSession() || c.activeAt == activity_) return;
    c.activeAt = ++activity_;
    if (policy_ == SizePolicy::Latest && resizeSession()) echoSize();
}

// Before its screen, a client says what it is. A terminal that sizes the
// session brings its size policy, which holds from then on.
void Daemon::applyRole(ClientConnection& c, const ClientRole& role) {
    if (c.stage() != ClientStage::AwaitingSnapshot) return;
    c.setRole(role);
    if (role.handsTerminal) c.askForTerminal();
    if (role.terminal && !role.readOnly) policy_ = role.policy;
    if (role.detachOthers) detachOthers(c);
    if (role.terminal) return;
    // No screen to repaint and no size: the screen's text once, then the
    // output as it comes; an ended session's end after its text (seen once
    // the client says it back, as from a terminal).
    c.goLive();
    std::string text = session_.term->capture(false, -1);
    text.erase(text.find_last_not_of('\n') + 1);  // the blank rows below the text
    if (!text.empty()) text += '\n';
    if (!c.sendRepaint(std::move(text))) return dropClient(c);
    if (end_ && !c.sendFrame(MsgKind::Ended, endPayload(*end_))) dropClient(c);
}

// Every other attached client is told to detach, after what it has begun
// to receive.
void Daemon::detachOthers(ClientConnection& keep) {
    for (auto& [id, c] : clients_) {
        if (c.get() == &keep || !c->live()) continue;
        c->wayOut = "detached by client " + std::to_string(keep.id());
        if (!c->leave(MsgKind::Detach)) {
            dropClient(*c);
        } else {
            updateInterest(*c);
        }
    }
}

// The session's size as its policy picks it from the windows of the
// clients that size it; nothing when no client does.
std::optional<WindowSize> Daemon::wantedSize() const {
    std::optional<WindowSize> size;
    const ClientConnection* latest = nullptr;
    for (const auto& [id, c] : clients_) {
        if (!c->live() || !c->sizesSession()) continue;
        WindowSize w = *c->window;
        if (policy_ == SizePolicy::Latest) {
            if (!latest || c->activeAt > latest->activeAt) latest = c.get();
        } else if (!size) {
            size = w;
        } else if (policy_ == SizePolicy::Smallest) {
            size = WindowSize{std::min(size->cols, w.cols), std::min(size->rows, w.rows)};
        } else {
            size = WindowSize{std::max(size->cols, w.cols), std::max(size->rows, w.rows)};
        }
    }
    if (latest) size = latest->window;
    if (size) size = fitGrid(*size);
    return size;
}

// Resizes the model and the command's terminal to the wanted size and owes
// every terminal a repaint (its window now shows another size, or the
// model reflowed); the caller tells the clients the new size. False when
// nothing changed.
bool Daemon::resizeSession(ClientConnection* fresh) {
    std::optional<WindowSize> size = wantedSize();
    if (!size || (size->cols == session_.size.cols && size->rows == session_.size.rows))
        return false;
    session_.size = *size;
    session_.term->resize(size->cols, size->rows);
    if (saver_) {
        saver_->changed(now());
        scheduleSave();
    }
    // The command is told exactly what the grid took.
    if (session_.running)
        session_.pty.setSize(static_cast<int>(session_.term->cols()),
                             static_cast<int>(session_.term->rows()));
    for (auto& [id, c] : clients_)
        if (c->live() && c.get() != fresh) owe(*c);
    return true;
}

// Every client hears the session's size, whatever its window.
void Daemon::echoSize() {
    tellAll(MsgKind::Resize, resizePayload(session_.size));
}

// A message for every live client, whatever its window, ahead of any
// repaint it is owed.
void Daemon::tellAll(MsgKind kind, std::string_view payload) {
    for (auto& [id, c] : clients_) {
        if (!c->live()) continue;
        if (!c->sendFrame(kind, payload)) {
            dropClient(*c);
        } else {
            updateInterest(*c);
        }
    }
}

void Daemon::owe(ClientConnection& c) {
    if (!c.role().terminal || c.owesRepaint()) return;
    c.oweRepaint();
    owing_.push_back(c.id());
}

// Each owed repaint goes once the client's queue has drained, at most one
// per interval, rendered for its window from the model as it is then.
void Daemon::paintOwed() {
    stillOwing_.clear();
    for (ClientId id : owing_) {
        ClientConnection* c = find(id);
        if (!c || !c->owesRepaint()) continue;
        if (!c->repaintReady()) {
            watchStall(*c);
            stillOwing_.push_back(id);
            continue;
        }
        if (now() < c->repaintedAt + RepaintInterval) {
            schedulePaint(c->repaintedAt + RepaintInterval);
            stillOwing_.push_back(id);
            continue;
        }
        c->repaintedAt = now();
        WindowSize w = c->window.value_or(session_.size);
        if (!c->sendRepaint(session_.term->repaint(w.cols, w.rows))) {
            dropClient(*c);
        } else {
            updateInterest(*c);
        }
    }
    owing_.swap(stillOwing_);
}

void Daemon::schedulePaint(Clock::time_point at) {
    if (paintAt_ && *paintAt_ <= at) return;
    paintAt_ = at;
    timers_.add(at, Timer::Repaint);
}

// A client that holds up its own repaint by taking nothing at all is given
// up after a while; one that takes anything is waited for.
void Daemon::watchStall(ClientConnection& c) {
    if (c.stallWatched) return;
    c.stallWatched = true;
    c.stallMark = c.progress();
    timers_.add(now() + StallLimit, Timer::Stall, c.id());
}

// The answer to `kiv ls` on a terminal.
std::string Daemon::details() const {
    SessionDetails d;
    d.pid = getpid();
    for (const auto& [id, c] : clients_) {
        if (!c->live()) continue;
        ++d.clients;
        if (c->role().readOnly) ++d.readOnly;
    }
    d.ageSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - session_.started).count();
    d.cols = session_.size.cols;
    d.rows = session_.size.rows;
    d.command = session_.command;
    if (end_) d.end = endAsOfNow(*end_);
    for (const auto& [id, c] : clients_)
        if (c->live() && !c->insideOf.empty() &&
            std::find(d.shownInside.begin(), d.shownInside.end(), c->insideOf) ==
                d.shownInside.end())
            d.shownInside.push_back(c->insideOf);
    return encodeDetails(d);
}

// The session's text as `kiv capture` asked for it (a request that cannot
// be read gets the screen alone): Capture frames, then an empty one.
bool Daemon::sendCapture(ClientConnection& c, std::string_view request) {
    CaptureRequest r = decodeCaptureRequest(request).value_or(CaptureRequest{});
    std::string text = session_.term->capture(r.escapes, r.historyLines, CaptureHistoryBudget);
    for (size_t at = 0; at < text.size(); at += MaxPayload)
        if (!c.sendFrame(MsgKind::Capture, std::string_view(text).substr(at, MaxPayload)))
            return false;
    return c.sendFrame(MsgKind::Capture, "");
}

// The descriptor leaves the selector at once but stays open until the
// sweep, so its number cannot come back as another client's in the same
// batch of events.
//
// A client that leaves with all its output taken has brought its terminal
// up to the newest history line: the next attach from that terminal starts
// from there. One that leaves with output still queued, or that missed
// output for a repaint, holds what it held once attached (lines may come
// twice; none goes missing).
void Daemon::dropClient(ClientConnection& c) {
    if (c.dropped) return;
    c.tellShown();  // a client that leaves restores its terminal knowing all it showed
    if (c.stage() == ClientStage::Live)
        delivered_.brought(c.terminal, c.queued() == 0 && !c.missedOutput
                                           ? session_.term->historyEnd()
                                           : c.historyHeld);
    c.dropped = true;
    sel_.remove(c.fd());
    watchKeyboard(c, false);
    droppedIds_.push_back(c.id());
}

void Daemon::sweepClients() {
    if (droppedIds_.empty()) return;
    std::string owed;  // what a client kept back, answers nobody else will give
    bool sized = false;
    for (ClientId id : droppedIds_) {
        auto it = clients_.find(id);
        const ClientConnection& c = *it->second;
        if (c.stage() == ClientStage::Live)
            log_.info("client " + std::to_string(id) + " " +
                      (c.wayOut.empty() ? "left (connection closed)" : c.wayOut));
        sized = sized || (c.stage() == ClientStage::Live && c.sizesSession());
        clientByFd_.erase(c.fd());
        if (auto keyboard = clientByFd_.find(c.terminalFd());
            keyboard != clientByFd_.end() && keyboard->second == &c)
            clientByFd_.erase(keyboard);
        owed += replies_.leave(id, now());
        clients_.erase(it);
    }
    droppedIds_.clear();
    scheduleReplies();
    toCommand(owed);
    // The session goes back to the size the others choose.
    if (sized && resizeSession()) echoSize();
}

void Daemon::updateInterest(ClientConnection& c) {
    if (c.dropped) return;
    // Keys count while the command takes them, and only from a client that
    // stays for a session that goes on; else they wait on the keyboard
    // (the shell's, once the client has gone).
    watchKeyboard(c, c.readsKeyboard() && c.live() && !inputPaused_ && !end_);
    bool held = inputPaused_ && c.holdsInput();
    if (c.asleep) {
        if (held) return;
        c.asleep = false;
        sel_.add(c.fd(), Interest::None);
        c.interest = Interest::None;
    }
    bool wantWrite = c.wantsWrite();
    if (c.leaving) held = true;  // nothing it sends counts any more
    Interest interest = held ? (wantWrite ? Interest::Write : Interest::None)
                             : (wantWrite ? Interest::ReadWrite : Interest::Read);
    if (interest != c.interest && sel_.modify(c.fd(), interest)) c.interest = interest;
}

// Out of the selector when not watched: a hung-up terminal is reported at
// every wait, whatever the interest.
void Daemon::watchKeyboard(ClientConnection& c, bool watched) {
    if (watched == c.keyboardWatched) return;
    if (watched) {
        c.keyboardWatched = sel_.add(c.terminalFd(), Interest::Read);
    } else {
        sel_.remove(c.terminalFd());
        c.keyboardWatched = false;
    }
}

// ---- Timers ----

// Read once per wakeup, when something needs it.
Clock::time_point Daemon::now() {
    if (!now_) now_ = Clock::now();
    return *now_;
}

int Daemon::msUntilNextTimer() {
    std::optional<Clock::time_point> next = timers_.next();
    return next ? msUntil(*next, now()) : -1;
}

void Daemon::runTimers() {
    std::optional<Clock::time_point> next = timers_.next();
    if (!next || *next > now()) return;
    Clock::time_point at = now();
    while (std::optional<Deadline> due = timers_.takeDue(at)) {
        switch (due->what) {
            case Timer::SocketCheck:
                checkSocket();
                timers_.add(at + SocketCheckInterval, Timer::SocketCheck);
                break;
            case Timer::AcceptResume:
                if (!acceptPausedUntil_ || *acceptPausedUntil_ > at) break;
                acceptPausedUntil_.reset();
                if (!spare_) spare_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
                if (unixListener_) sel_.modify(unixListener_.get(), Interest::Read);
                if (tcpListener_) sel_.modify(tcpListener_.get(), Interest::Read);
                break;
            case Timer::AttachWait:
                // A connection that has not named the session in time goes:
                // a stranger cannot keep one of the few pending places forever.
                if (ClientConnection* c = find(due->client);
                    c && c->stage() == ClientStage::AwaitingAttach) {
                    logRefusal("tcp connection closed: no Attach within " +
                               std::to_string(AttachTimeout.count()) + " s");
                    dropClient(*c);
                }
                break;
            case Timer::Handshake:
                if (ClientConnection* c = find(due->client); c && !c->established()) {
                    logRefusal("tcp connection closed: no handshake within " +
                               std::to_string(HandshakeTimeout.count()) + " s");
                    dropClient(*c);
                }
                break;
            case Timer::Replies:
                repliesAt_.reset();
                toCommand(replies_.release(at));
                scheduleReplies();
                break;
            case Timer::Reap:
                if (reaping_) collectStatus();
                break;
            case Timer::Update:
                updateAt_.reset();
                session_.term->endOverdueUpdate(at);
                scheduleUpdate();
                break;
            case Timer::Typeahead:
                typeAhead();
                break;
            case Timer::Save:
                saveAt_.reset();
                // Once over or asked to stop, no more writes and no more
                // timers: the record is left to whoever asked (`kill`
                // removes it). Rescheduling a due write that is never made
                // would bring it back at once, round and round.
                if (!saver_ || over_ || (stop_ && *stop_)) break;
                saver_->maybeWrite(at, quiet_, *session_.term, commandPid());
                scheduleSave();  // not yet written: at the later bound
                break;
            case Timer::Repaint:
                paintAt_.reset();
                paintOwed();
                break;
            case Timer::Shown:
                if (ClientConnection* c = find(due->client)) {
                    c->shownTimer = false;
                    if (!c->tellShown()) {
                        dropClient(*c);
                    } else {
                        updateInterest(*c);
                    }
                }
                break;
            case Timer::Stall:
                if (ClientConnection* c = find(due->client); c && c->stallWatched) {
                    c->stallWatched = false;
                    if (!c->wantsWrite() || (!c->owesRepaint() && !c->leaving)) break;
                    if (c->progress() == c->stallMark) {
                        c->wayOut = "dropped (nothing taken for " +
                                    std::to_string(StallLimit.count()) + " s)";
                        dropClient(*c);
                    } else {
                        watchStall(*c);
                    }
                }
                break;
        }
    }
    sweepClients();
}

void Daemon::scheduleReplies() {
    std::optional<Clock::time_point> next = replies_.nextRelease();
    if (!next || (repliesAt_ && *repliesAt_ <= *next)) return;
    repliesAt_ = next;
    timers_.add(*next, Timer::Replies);
}

// A synchronized update left open ends by itself at its deadline.
void Daemon::scheduleUpdate() {
    std::optional<Clock::time_point> next = session_.term->updateDeadline();
    if (!next || (updateAt_ && *updateAt_ <= *next)) return;
    updateAt_ = next;
    timers_.add(*next, Timer::Update);
}

// ---- The saved record ----

// The first record is written at once: a session that shows nothing yet is
// still one to find after a crash.
void Daemon::startSaving() {
    try {
        SavedRecord base;
        base.name = session_.name;
        base.command = session_.command;
        base.started = std::time(nullptr);
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) base.cwd = cwd;
        bool content = contentSavingWanted();
        saver_ = std::make_unique<SessionSaver>(stateDir(), std::move(base), content,
                                                session_.pty.masterFd(), &log_);
        if (!content) log_.info("KIV_SAVE=0: no screen content is saved");
        saver_->write(*session_.term, commandPid());
    } catch (const SystemError& e) {
        log_.info(std::string("session not saved: ") + e.what());
        saver_.reset();
    }
}

void Daemon::scheduleSave() {
    std::optional<Clock::time_point> next = saver_ ? saver_->due() : std::nullopt;
    if (!next || (saveAt_ && *saveAt_ <= *next)) return;
    saveAt_ = next;
    timers_.add(*next, Timer::Save);
}

// The command's process while it runs: once reaped, its number may be
// another process's.
int Daemon::commandPid() const {
    return session_.running ? session_.pty.pid() : 0;
}

// A session's last output (the error before a shell exits, say) must not
// be lost because a client's socket was full at that moment: queued output
// goes on as long as each client keeps taking it. A client that takes
// nothing for DrainStallLimit is given up, and the whole wait is bounded.
void Daemon::drainClients() {
    auto deadline = Clock::now() + ShutdownDrainLimit;
    std::unordered_map<int, Clock::time_point> givenUpAt;
    for (auto& [id, c] : clients_)
        if (!c->dropped && c->wantsWrite()) givenUpAt[c->fd()] = Clock::now() + DrainStallLimit;
    for (;;) {
        auto at = Clock::now();
        std::vector<pollfd> pending;
        Clock::time_point wake = deadline;
        for (auto& [id, c] : clients_) {
            auto due = givenUpAt.find(c->fd());
            if (c->dropped || !c->wantsWrite() || due == givenUpAt.end() || due->second <= at)
                continue;
            pending.push_back({c->fd(), POLLOUT, 0});
            wake = std::min(wake, due->second);
        }
        if (pending.empty() || at >= deadline) return;
        int ready = poll(pending.data(), pending.size(), msUntil(wake, at));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return;
        for (const pollfd& p : pending) {
            auto known = clientByFd_.find(p.fd);
            if (!p.revents || known == clientByFd_.end() || known->second->dropped) continue;
            ClientConnection& c = *known->second;
            size_t before = c.queued();
            if (!c.flush()) {
                givenUpAt.erase(p.fd);  // gone: nothing to wait for
            } else if (c.queued() < before) {
                givenUpAt[p.fd] = Clock::now() + DrainStallLimit;
            }
        }
    }
}

void Daemon::shutdown() {
    stopListening();
    // Every client is told, whatever its window: this is no output, which a
    // window of another size would be repainted instead of.
    if (!end_) tellAll(MsgKind::Ended, endPayload(SessionEnd{SessionEnd::How::Killed}));
    // A session whose end was seen is over, and so is its record. Stopped
    // by a signal, running or kept ended, the record stays as it is (the
    // machine going down is a signal too); `kill` removes it once this
    // daemon has gone.
    if (saver_ && over_) saver_->remove();
    drainClients();
    for (auto& [id, c] : clients_) {
        if (c->live()) log_.info("client " + std::to_string(id) + " left (the session ended)");
        sel_.remove(c->fd());
        watchKeyboard(*c, false);
    }
    clientByFd_.clear();
    clients_.clear();
    sel_.remove(session_.pty.masterFd());
    session_.pty.close();
    session_.pty.endGroup();
    log_.info("daemon: exited");
    log_.close();
}

}  // namespace kiv
