// The daemon's life: start-up, the readiness loop with its timers, shutdown.
// What happens to each client's bytes is in daemon_clients.cpp.
#include "kiv/daemon.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <vector>

#include "kiv/config.h"
#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/key_file.h"
#include "kiv/nesting.h"
#include "kiv/runtime.h"
#include "kiv/session_files.h"
#include "kiv/session_names.h"
#include "kiv/tcp.h"

namespace kiv {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int InitialCols = 80;
constexpr int InitialRows = 24;
constexpr int Scrollback = 10000;
// How often the daemon makes sure its socket file still exists: cleaners of
// temporary directories and logouts remove it while the session runs.
constexpr auto SocketCheckInterval = std::chrono::seconds(5);
// How long the listeners rest when no descriptor at all can be had.
constexpr auto AcceptPause = std::chrono::milliseconds(200);
// How long queued output may take to reach the clients once the session
// ends, in all, and for one client that takes nothing at all.
constexpr auto ShutdownDrainLimit = std::chrono::seconds(30);
constexpr auto DrainStallLimit = std::chrono::seconds(2);

volatile sig_atomic_t shutdownRequested = 0;

int msUntil(Clock::time_point when) {
    // Rounded up: a wait that ends before its timer is due would only wait again.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

}  // namespace

void onShutdown(int signal) {
    shutdownRequested = signal;
}

Session newSession(const std::string& name, const std::string& command,
                   const std::vector<std::string>& args) {
    Session s;
    s.name = name;
    s.command = {command};
    s.command.insert(s.command.end(), args.begin(), args.end());
    // A session started from a tmux or screen window must not drive that
    // outer multiplexer: `tmux new` inside it would open a window there and
    // show it through kiv.
    s.pty = openPty(command, args, InitialCols, InitialRows,
                    {std::string(SessionVar) + "=" + name, "TMUX", "TMUX_PANE", "STY", "WINDOW"});
    s.running = true;
    s.term = screen::newTerminal(InitialCols, InitialRows, Scrollback);
    return s;
}

Daemon::Daemon(Session session, Logger log)
    : session_(std::move(session)),
      log_(std::move(log)),
      spare_(open("/dev/null", O_RDONLY | O_CLOEXEC)) {
    setNonBlocking(session_.pty.masterFd());
    if (!sel_.add(session_.pty.masterFd(), Interest::Read))
        throw SystemError("cannot watch the pseudo-terminal");
    nextSocketCheck_ = Clock::now() + SocketCheckInterval;
}

Daemon::~Daemon() = default;

void Daemon::start(const std::string& listen) {
    socketPath_ = socketPath(session_.name);
    // Another daemon answers there: this name, or a long one whose hashed
    // short form is the same. Its socket must not be taken over.
    if (isActive(session_.name)) throw SystemError("session already running: " + session_.name);
    lockId_ = fileId(sessionFile(session_.name, ".lock"));
    removeSocket(session_.name);
    pidId_ = writePidFile(session_.name);
    unixListener_ = listenUnix(socketPath_);
    socketId_ = fileId(socketPath_);

    if (!listen.empty()) {
        try {
            ListenAddr addr = parseListen(listen);
            std::string keyPath = keyFilePath();
            LoadedKey loaded = loadOrCreateKeyFile(keyPath);
            if (loaded.created)
                log_.info("key file created: " + keyPath +
                          " (copy it to each machine that attaches over tcp)");
            key_ = loaded.key;
            TcpListener tcp = startTcpListener(addr, addr.port);
            tcpListener_ = std::move(tcp.fd);
            log_.info("listening on tcp " + listen.substr(0, listen.rfind(':')) + ":" +
                      std::to_string(tcp.port));
        } catch (const UsageError& e) {
            log_.info(std::string("tcp listener disabled: ") + e.what());
        } catch (const SystemError& e) {
            log_.info(std::string("tcp listener disabled: ") + e.what());
        }
    }

    sel_.add(unixListener_.get(), Interest::Read);
    if (tcpListener_) sel_.add(tcpListener_.get(), Interest::Read);
    log_.info("listening on " + socketPath_);
}

void Daemon::run(const sigset_t* waitMask) {
    while (!over_ && !shutdownRequested)
        step(msUntilNextTimer(), waitMask);
}

bool Daemon::step(int timeoutMs, const sigset_t* waitMask) {
    for (const ReadyEvent& ev : sel_.wait(timeoutMs, waitMask)) {
        if (unixListener_ && ev.fd == unixListener_.get()) {
            acceptClient(ev.fd, true);
        } else if (tcpListener_ && ev.fd == tcpListener_.get()) {
            acceptClient(ev.fd, false);
        } else if (ev.fd == session_.pty.masterFd()) {
            if (!serviceMaster(ev)) break;
        } else if (auto known = clientByFd_.find(ev.fd); known != clientByFd_.end()) {
            serviceClient(known->second, ev);
        }
    }
    if (heldInputWaits_) resumeHeldInput();
    sweepClients();
    runTimers();
    return !over_;
}

void Daemon::acceptClient(int listener, bool trusted) {
    UniqueFd fd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) {
        if (errno == EMFILE || errno == ENFILE) {
            shedConnection(listener);
        } else if (errno == ENOBUFS || errno == ENOMEM) {
            pauseAccepting();
        }
        return;  // a connection that went away meanwhile, an interruption
    }
    if (trusted && !fromOwner(fd.get())) return;  // closed at once
    if (!roomFor(trusted)) return;
    if (!trusted) setNoDelay(fd.get());
    // Which session the client runs inside, for whoever asks whether an
    // attach would close a loop.
    std::string inside;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (trusted && getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0)
        inside = sessionOfProcess(peer.pid);
    if (ClientId id = adoptClient(std::move(fd), trusted)) clients_[id].insideOf = inside;
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

bool Daemon::roomFor(bool trusted) {
    size_t pending = 0, joined = 0;
    for (const auto& [id, c] : clients_) {
        if (c.dropped) continue;
        ++(c.stage == ClientStage::AwaitingAttach ? pending : joined);
    }
    if (!trusted && pending >= MaxPendingTcp) {
        logRefusal("tcp connection refused: " + std::to_string(MaxPendingTcp) +
                   " connections already wait for their Attach");
        return false;
    }
    if (joined >= MaxClients) {
        logRefusal("client refused: " + std::to_string(MaxClients) + " clients attached");
        return false;
    }
    return true;
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
    acceptPausedUntil_ = Clock::now() + AcceptPause;
    if (unixListener_) sel_.modify(unixListener_.get(), Interest::None);
    if (tcpListener_) sel_.modify(tcpListener_.get(), Interest::None);
}

// One line per second at most: a flood of connections must not become a
// flood of log lines.
void Daemon::logRefusal(const std::string& message) {
    auto now = Clock::now();
    if (now - lastRefusalLog_ < std::chrono::seconds(1)) return;
    lastRefusalLog_ = now;
    log_.info(message);
}

// Returns false when the command's terminal has closed.
bool Daemon::serviceMaster(const ReadyEvent& ev) {
    if (ev.writable) flushPty();
    if (!(ev.readable || ev.error) || !session_.running) return true;
    char buf[ReadChunk];
    ssize_t n = session_.pty.read(buf, sizeof buf);
    if (n > 0) {
        std::string_view chunk(buf, n);
        session_.term->write(chunk, Clock::now());  // the screen sees output before any client
        broadcast(MsgKind::Output, chunk);
        answerQueries();
    } else if (n == 0 || errno == EIO) {
        commandEnded();
        return false;
    }
    return true;
}

// The terminal has closed: the command has exited, or is about to once
// the hang-up reaches it. Nothing is written to it any more.
void Daemon::commandEnded() {
    session_.running = false;
    session_.ptyOut.clear();
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
        bool early = Clock::now() - terminalClosedAt_ < std::chrono::seconds(1);
        nextReap_ = Clock::now() + (early ? std::chrono::milliseconds(10)
                                          : std::chrono::milliseconds(500));
        return;
    }
    nextReap_.reset();
    end_ = status ? endFromWaitStatus(*status) : SessionEnd{};
    endedAt_ = Clock::now();
    log_.info("command " + describeEnd(*end_));
    bool seen = std::any_of(clients_.begin(), clients_.end(), [](const auto& entry) {
        return entry.second.stage == ClientStage::Live && !entry.second.dropped;
    });
    if (seen || !session_.pty.execError().empty()) {
        stopListening();
        over_ = true;
    }
    broadcast(MsgKind::Ended, endPayload(*end_));
    if (over_) return;
    // Kept for a client to collect, with the screen and its history alone:
    // what the terminal and its input used goes back to the system.
    malloc_trim(0);
}

// The end with the time since it, as clients are told it.
SessionEnd Daemon::endAsOfNow(SessionEnd end) const {
    if (end_) end.secondsAgo =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - endedAt_).count();
    return end;
}

std::string Daemon::endPayload(const SessionEnd& end) const {
    std::string payload;
    appendEndFields(payload, endAsOfNow(end));
    return payload;
}

// Brings the socket back when its file has vanished, so that the session
// stays reachable. A directory that cannot be made yet is tried again at
// the next check.
void Daemon::checkSocket() {
    if (!unixListener_) return;  // driven in-process: no files of its own
    struct stat st;
    if (lstat(socketPath_.c_str(), &st) == 0 || errno != ENOENT) return;
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
    } catch (const Error&) {
    }
}

int Daemon::msUntilNextTimer() const {
    Clock::time_point next = nextSocketCheck_;
    if (acceptPausedUntil_) next = std::min(next, *acceptPausedUntil_);
    for (const auto& [id, c] : clients_)
        if (c.stage == ClientStage::AwaitingAttach) next = std::min(next, c.attachDeadline);
    if (auto release = replies_.nextRelease()) next = std::min(next, *release);
    // A synchronized update left open ends by itself at its deadline.
    if (auto update = session_.term->updateDeadline()) next = std::min(next, *update);
    if (nextReap_) next = std::min(next, *nextReap_);
    return msUntil(next);
}

void Daemon::runTimers() {
    toCommand(replies_.release(Clock::now()));
    session_.term->endOverdueUpdate(Clock::now());
    auto now = Clock::now();
    if (nextReap_ && now >= *nextReap_) collectStatus();
    if (now >= nextSocketCheck_) {
        checkSocket();
        nextSocketCheck_ = Clock::now() + SocketCheckInterval;
    }
    if (acceptPausedUntil_ && now >= *acceptPausedUntil_) {
        acceptPausedUntil_.reset();
        if (!spare_) spare_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (unixListener_) sel_.modify(unixListener_.get(), Interest::Read);
        if (tcpListener_) sel_.modify(tcpListener_.get(), Interest::Read);
    }
    expireAttachWaits();
}

// A connection that has not named the session in time goes: a stranger
// cannot keep one of the few pending places forever.
void Daemon::expireAttachWaits() {
    auto now = Clock::now();
    for (auto& [id, c] : clients_) {
        if (c.dropped || c.stage != ClientStage::AwaitingAttach || now < c.attachDeadline) continue;
        log_.info("tcp connection closed: no Attach within " +
                  std::to_string(AttachTimeout.count()) + " s");
        dropClient(c);
    }
}

// A session's last output (the error before a shell exits, say) must not
// be lost because a client's socket was full at that moment: queued output
// goes on as long as each client keeps taking it. A client that takes
// nothing for DrainStallLimit is given up, and the whole wait is bounded.
void Daemon::drainClients() {
    auto deadline = Clock::now() + ShutdownDrainLimit;
    std::unordered_map<int, Clock::time_point> givenUpAt;
    for (auto& [id, c] : clients_)
        if (!c.dropped && c.queued() != 0) givenUpAt[c.fd.get()] = Clock::now() + DrainStallLimit;
    for (;;) {
        auto now = Clock::now();
        std::vector<pollfd> pending;
        Clock::time_point wake = deadline;
        for (auto& [id, c] : clients_) {
            auto due = givenUpAt.find(c.fd.get());
            if (c.dropped || c.queued() == 0 || due == givenUpAt.end() || due->second <= now)
                continue;
            pending.push_back({c.fd.get(), POLLOUT, 0});
            wake = std::min(wake, due->second);
        }
        if (pending.empty() || now >= deadline) return;
        int ready = poll(pending.data(), pending.size(), msUntil(wake));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return;
        for (const pollfd& p : pending) {
            Client* c = findByFd(p.fd);
            if (!p.revents || !c) continue;
            size_t before = c->queued();
            if (!flushClient(*c)) {
                givenUpAt.erase(p.fd);  // gone: nothing to wait for
            } else if (c->queued() < before) {
                givenUpAt[p.fd] = Clock::now() + DrainStallLimit;
            }
        }
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

void Daemon::shutdown() {
    if (shutdownRequested)
        log_.info(std::string("daemon: stopping on SIG") + sigabbrev_np(shutdownRequested));
    stopListening();
    if (!end_) broadcast(MsgKind::Ended, endPayload(SessionEnd{SessionEnd::How::Killed}));
    drainClients();
    for (auto& [id, c] : clients_) {
        if (c.stage == ClientStage::Live && !c.dropped)
            log_.info("client " + std::to_string(id) + " left (the session ended)");
        sel_.remove(c.fd.get());
    }
    clients_.clear();
    clientByFd_.clear();
    sel_.remove(session_.pty.masterFd());
    session_.pty.close();
    log_.info("daemon: exited");
    log_.close();
}

void runDaemon(Session session, const std::string& command, const std::string& listen,
               bool logEnabled, const std::function<void()>& onListening) {
    Logger log = initLogger(logEnabled);
    // Large buffers (a client's 16 MiB frame, a burst of queued output) are
    // mapped on their own and unmapped when freed: otherwise the allocator
    // raises this threshold after the first one and keeps their pages.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);

    // The termination signals stay blocked except inside the wait, so one
    // that arrives just before the wait still ends it at once.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, onShutdown);
    std::signal(SIGINT, onShutdown);
    // `nohup kiv daemon NAME &` asks for a daemon that outlives its
    // terminal: a hang-up it was started to ignore stays ignored.
    if (std::signal(SIGHUP, onShutdown) == SIG_IGN) std::signal(SIGHUP, SIG_IGN);
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGHUP);

    log.nameSession(printableName(session.name));
    std::string words = command;
    for (size_t i = 1; i < session.command.size(); ++i)
        words += " " + session.command[i];
    log.info("daemon: started, pid " + std::to_string(getpid()) + ", command " +
             printableName(words));
    if (!session.pty.execError().empty()) log.info(session.pty.execError());
    Daemon daemon(std::move(session), std::move(log));
    daemon.start(listen);
    if (onListening) onListening();
    daemon.run(&waitMask);
    daemon.shutdown();
}

}  // namespace kiv
