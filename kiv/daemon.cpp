// The daemon's life: start-up, the readiness loop with its timers, shutdown.
// What happens to each client's bytes is in daemon_clients.cpp.
#include "kiv/daemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <vector>

#include "kiv/config.h"
#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/key_file.h"
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
// How long queued output may take to reach the clients once the session ends.
constexpr auto ShutdownDrainLimit = std::chrono::seconds(1);

volatile sig_atomic_t shutdownRequested = 0;

void writePidFile(const std::string& name) {
    std::string path = sessionFile(name, ".pid");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << getpid();
    out.flush();
    if (!out) throw SystemError("cannot write pid file: " + path);
}

int msUntil(Clock::time_point when) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

}  // namespace

void onShutdown(int) {
    shutdownRequested = 1;
}

Session newSession(const std::string& name, const std::string& command,
                   const std::vector<std::string>& args) {
    Session s;
    s.name = name;
    s.command = {command};
    s.command.insert(s.command.end(), args.begin(), args.end());
    s.pty =
        openPty(command, args, InitialCols, InitialRows, {std::string(SessionVar) + "=" + name});
    s.running = true;
    s.term = screen::newTerminal(InitialCols, InitialRows, Scrollback);
    return s;
}

Daemon::Daemon(Session session, Logger log) : session_(std::move(session)), log_(std::move(log)) {
    setNonBlocking(session_.pty.masterFd());
    if (!sel_.add(session_.pty.masterFd(), Interest::Read))
        throw SystemError("cannot watch the pseudo-terminal");
    nextSocketCheck_ = Clock::now() + SocketCheckInterval;
}

Daemon::~Daemon() = default;

void Daemon::start(const std::string& listen) {
    socketPath_ = socketPath(session_.name);
    removeSocket(session_.name);
    writePidFile(session_.name);
    unixListener_ = listenUnix(socketPath_);

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
    while (session_.running && !shutdownRequested)
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
    sweepClients();
    runTimers();
    return session_.running;
}

void Daemon::acceptClient(int listener, bool trusted) {
    UniqueFd fd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) return;
    int raw = fd.get();
    if (adoptClient(std::move(fd), trusted) && trusted)
        log_.info("client attached fd=" + std::to_string(raw));
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
        session_.running = false;
        return false;
    }
    return true;
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
        writePidFile(session_.name);
        UniqueFd listener = listenUnix(socketPath_);
        if (!sel_.add(listener.get(), Interest::Read)) return;
        sel_.remove(unixListener_.get());
        unixListener_ = std::move(listener);
        log_.info("socket restored: " + socketPath_);
    } catch (const Error&) {
    }
}

int Daemon::msUntilNextTimer() const {
    int ms = msUntil(nextSocketCheck_);
    // Rounded up: waking a little early would only wait again at once.
    auto until = [&](Clock::time_point when) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
        ms = int(std::min<int64_t>(ms, std::max<int64_t>(0, left.count())));
    };
    if (auto release = replies_.nextRelease()) until(*release);
    // A synchronized update left open ends by itself at its deadline.
    if (auto update = session_.term->updateDeadline()) until(*update);
    return ms;
}

void Daemon::runTimers() {
    toCommand(replies_.release(Clock::now()));
    session_.term->endOverdueUpdate(Clock::now());
    if (Clock::now() >= nextSocketCheck_) {
        checkSocket();
        nextSocketCheck_ = Clock::now() + SocketCheckInterval;
    }
}

// A session's last output (the error before a shell exits, say) must not
// be lost because a client's socket was full at that moment: queued output
// gets a moment to go out before the connections close.
void Daemon::drainClients() {
    auto deadline = Clock::now() + ShutdownDrainLimit;
    for (;;) {
        std::vector<pollfd> pending;
        for (auto& [id, c] : clients_)
            if (!c.dropped && !c.outBuf.empty()) pending.push_back({c.fd.get(), POLLOUT, 0});
        int left = msUntil(deadline);
        if (pending.empty() || left <= 0) return;
        int ready = poll(pending.data(), pending.size(), left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        for (const pollfd& p : pending) {
            Client* c = findByFd(p.fd);
            if (p.revents && c && !flushClient(*c)) c->outBuf.clear();  // gone: nothing to wait for
        }
    }
}

void Daemon::shutdown() {
    drainClients();
    for (auto& [id, c] : clients_)
        sel_.remove(c.fd.get());
    clients_.clear();
    clientByFd_.clear();
    if (unixListener_) {
        sel_.remove(unixListener_.get());
        unixListener_.reset();
        if (tcpListener_) sel_.remove(tcpListener_.get());
        tcpListener_.reset();
        removeSocket(session_.name);
        removeLock(session_.name);
        unlink(sessionFile(session_.name, ".pid").c_str());
    }
    sel_.remove(session_.pty.masterFd());
    session_.pty.close();
    log_.info("daemon: exited");
    log_.close();
}

void runDaemon(Session session, const std::string& command, const std::string& listen,
               bool logEnabled) {
    Logger log = initLogger(logEnabled);

    // The termination signals stay blocked except inside the wait, so one
    // that arrives just before the wait still ends it at once.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, onShutdown);
    std::signal(SIGINT, onShutdown);
    std::signal(SIGHUP, onShutdown);
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGHUP);

    log.info("daemon: session=" + session.name + " cmd=" + command);
    Daemon daemon(std::move(session), std::move(log));
    daemon.start(listen);
    daemon.run(&waitMask);
    daemon.shutdown();
}

}  // namespace kiv
