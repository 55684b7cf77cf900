#include "kiv/daemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>

#include "kiv/config.h"
#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/runtime.h"
#include "kiv/session_files.h"
#include "kiv/tcp.h"

namespace kiv {

namespace {

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

// Everything runDaemon owns besides the session record.
struct Daemon {
    Session& s;
    Logger& log;
    std::string socketPath;
    UniqueFd unixListener;
    UniqueFd tcpListener;
    std::chrono::steady_clock::time_point nextSocketCheck;

    void acceptClient(int listener, bool trusted) {
        UniqueFd fd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd) return;
        setNonBlocking(fd.get());
        int raw = fd.get();
        // A socket the selector refuses is closed at once (UniqueFd does it).
        if (!addClient(s, std::move(fd), trusted)) return;
        if (trusted) log.info("client attached fd=" + std::to_string(raw));
    }

    // Returns false when the command's terminal has closed.
    bool serviceMaster(const ReadyEvent& ev) {
        if (ev.writable) flushPty(s);
        if (!(ev.readable || ev.error) || !s.running) return true;
        char buf[ReadChunk];
        ssize_t n = s.pty.read(buf, sizeof buf);
        if (n > 0) {
            std::string_view chunk(buf, n);
            s.term->write(chunk);  // the screen sees output before any client
            broadcast(s, MsgKind::Output, chunk);
            answerQueries(s);
        } else if (n == 0 || errno == EIO) {
            s.running = false;
            return false;
        }
        return true;
    }

    void serviceClient(const ReadyEvent& ev) {
        int index = clientIndex(s, ev.fd);
        if (index < 0) return;  // dropped earlier in this batch
        bool failed = ev.writable && !flushClient(s, index);
        if (ev.readable || ev.error) {
            if (failed) return dropClient(s, ev.fd);
            char buf[ReadChunk];
            ssize_t n = ::read(ev.fd, buf, sizeof buf);
            if (n <= 0) return dropClient(s, ev.fd);
            try {
                if (!feedClient(s, log, ev.fd, std::string_view(buf, n))) dropClient(s, ev.fd);
            } catch (const IoError&) {
                dropClient(s, ev.fd);
            }
        } else if (failed) {
            dropClient(s, ev.fd);
        }
    }

    // Brings the socket back when its file has vanished, so that the session
    // stays reachable. A directory that cannot be made yet is tried again at
    // the next check.
    void checkSocket() {
        struct stat st;
        if (lstat(socketPath.c_str(), &st) == 0 || errno != ENOENT) return;
        try {
            // As at start-up, the pid file is there before the socket answers.
            kivDir();
            writePidFile(s.name);
            UniqueFd listener = listenUnix(socketPath);
            if (!s.sel->add(listener.get(), Interest::Read)) return;
            s.sel->remove(unixListener.get());
            unixListener = std::move(listener);
            log.info("socket restored: " + socketPath);
        } catch (const Error&) {
        }
    }

    void loop(const sigset_t& waitMask) {
        nextSocketCheck = std::chrono::steady_clock::now() + SocketCheckInterval;
        while (s.running && !shutdownRequested) {
            auto wake = nextSocketCheck;
            if (auto release = s.replies.nextRelease()) wake = std::min(wake, *release);
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                wake - std::chrono::steady_clock::now());
            int timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
            for (const ReadyEvent& ev : s.sel->wait(timeout, &waitMask)) {
                if (ev.fd == unixListener.get()) {
                    acceptClient(ev.fd, true);
                } else if (tcpListener && ev.fd == tcpListener.get()) {
                    acceptClient(ev.fd, false);
                } else if (ev.fd == s.pty.masterFd()) {
                    if (!serviceMaster(ev)) break;
                } else {
                    serviceClient(ev);
                }
            }
            releaseReplies(s);
            if (std::chrono::steady_clock::now() >= nextSocketCheck) {
                checkSocket();
                nextSocketCheck = std::chrono::steady_clock::now() + SocketCheckInterval;
            }
        }
    }

    // A session's last output (the error before a shell exits, say) must not
    // be lost because a client's socket was full at that moment: queued
    // output gets a moment to go out before the connections close.
    void drainClients() {
        auto deadline = std::chrono::steady_clock::now() + ShutdownDrainLimit;
        for (;;) {
            std::vector<pollfd> pending;
            for (const Client& c : s.clients)
                if (!c.outBuf.empty()) pending.push_back({c.fd.get(), POLLOUT, 0});
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (pending.empty() || left.count() <= 0) return;
            int ready = poll(pending.data(), pending.size(), static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return;
            for (const pollfd& p : pending) {
                int index = clientIndex(s, p.fd);
                if (p.revents && index >= 0 && !flushClient(s, index))
                    s.clients[index].outBuf.clear();  // gone: nothing more to wait for
            }
        }
    }

    void shutdown() {
        drainClients();
        for (Client& c : s.clients)
            c.fd.reset();
        s.clients.clear();
        unixListener.reset();
        tcpListener.reset();
        removeSocket(s.name);
        removeLock(s.name);
        unlink(sessionFile(s.name, ".pid").c_str());
        s.pty.close();
    }
};

}  // namespace

void onShutdown(int) {
    shutdownRequested = 1;
}

Session newSession(const std::string& name, const std::string& command) {
    Session s;
    s.name = name;
    s.pty = openPty(command, {}, InitialCols, InitialRows);
    s.running = true;
    s.term = screen::newTerminal(InitialCols, InitialRows, Scrollback);
    return s;
}

void runDaemon(const std::string& name, const std::string& command, Session& session,
               const std::string& listen, bool logEnabled) {
    Logger log = initLogger(logEnabled);
    session.log = &log;

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

    log.info("daemon: session=" + name + " cmd=" + command);
    Daemon d{session, log, socketPath(name), {}, {}, {}};
    removeSocket(name);
    writePidFile(name);
    d.unixListener = listenUnix(d.socketPath);

    if (!listen.empty()) {
        try {
            ListenAddr addr = parseListen(listen);
            TcpListener tcp = startTcpListener(addr, addr.port);
            d.tcpListener = std::move(tcp.fd);
            log.info("listening on tcp " + listen.substr(0, listen.rfind(':')) + ":" +
                     std::to_string(tcp.port));
        } catch (const UsageError& e) {
            log.info(std::string("tcp listener disabled: ") + e.what());
        } catch (const SystemError& e) {
            log.info(std::string("tcp listener disabled: ") + e.what());
        }
    }

    setNonBlocking(session.pty.masterFd());
    session.sel = std::make_unique<Selector>();
    session.sel->add(d.unixListener.get(), Interest::Read);
    if (d.tcpListener) session.sel->add(d.tcpListener.get(), Interest::Read);
    session.sel->add(session.pty.masterFd(), Interest::Read);
    log.info("listening on " + d.socketPath);

    d.loop(waitMask);

    d.shutdown();
    log.info("daemon: exited");
    log.close();
    session.log = nullptr;
}

}  // namespace kiv
