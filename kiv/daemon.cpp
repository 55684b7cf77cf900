// A session's daemon as a process: its log, its signals, its loop.
#include "kiv/daemon.h"

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>

#include "kiv/log.h"
#include "kiv/session_daemon.h"
#include "kiv/session_files.h"

namespace kiv {

namespace {

volatile sig_atomic_t shutdownRequested = 0;

// The handler of SIGTERM, SIGINT and SIGHUP: asks the loop to stop, and
// says which signal did.
void onShutdown(int signal) {
    shutdownRequested = signal;
}

}  // namespace

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
    daemon.run(&waitMask, shutdownRequested);
    daemon.shutdown();
}

}  // namespace kiv
