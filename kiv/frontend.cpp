#include "kiv/frontend.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "kiv/attach_client.h"
#include "kiv/cli.h"
#include "kiv/daemon.h"
#include "kiv/detach_key.h"
#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/key.h"
#include "kiv/pty.h"
#include "kiv/runtime.h"
#include "kiv/send_keys.h"
#include "kiv/session_details.h"
#include "kiv/session_files.h"
#include "kiv/session_names.h"
#include "kiv/start_report.h"
#include "kiv/tcp.h"
#include "kiv/whole_write.h"

namespace kiv {

namespace {

constexpr const char* UsageText =
    "Usage:\n"
    "  kiv [options] [session] [cmd]        # default action: session in background + attach\n"
    "  kiv [options] daemon [session] [cmd]  # start daemon in foreground (name defaults to dir "
    "basename, ~ in homedir)\n"
    "  kiv [options] attach [session]       # attach to a session (default: oldest)\n"
    "  kiv ls                               # list sessions\n"
    "  kiv kill <session>                   # kill daemon and remove socket\n"
    "  kiv send <session> [text...]         # type text (or standard input) into a session\n"
    "\n"
    "Any unambiguous command prefix works: kiv d, kiv at, kiv ne, kiv l, kiv ki, kiv s.\n"
    "KIV_SIZE=latest|smallest|largest: the session's size from its clients' windows.\n"
    "\n"
    "Options:\n";

constexpr int StartAttempts = 100;
// How long `kiv ls` on a terminal waits for each daemon's details.
constexpr int DetailsTimeoutMs = 1000;
constexpr long StartPollNs = 50'000'000;

// The program a session runs and its arguments, passed on unchanged.
struct SessionCommand {
    std::string program;
    std::vector<std::string> args;
};

// A failure the front end reports as "kiv: <message>" with status 1.
struct Fatal {
    std::string message;
};

// An early end with a status, e.g. after printing the help.
struct Exit {
    int status;
};

[[noreturn]] void die(const std::string& message) {
    throw Fatal{message};
}

// Lines for the user's terminal, which may be in non-blocking mode: they
// wait for it rather than being cut short.
void printLine(const std::string& line) {
    writeWhole(STDOUT_FILENO, line + "\n");
}

void printError(const std::string& line) {
    writeWhole(STDERR_FILENO, line + "\n");
}

void sleepNs(long ns) {
    timespec ts{ns / 1'000'000'000, ns % 1'000'000'000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

[[noreturn]] void help() {
    std::string usage = UsageText;
    for (size_t start = 0; start < usage.size();) {
        size_t end = usage.find('\n', start);
        printLine(usage.substr(start, end - start));
        start = end + 1;
    }
    printLine("");
    for (const FlagDoc& doc : FlagDocs) {
        printLine(std::string(doc.option));
        if (!doc.description.empty()) printLine("      " + std::string(doc.description));
    }
    throw Exit{0};
}

bool isRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The first regular file called `name` in a directory of PATH (empty entries
// skipped, a leading "~" standing for the home directory), or "".
std::string findInPath(const std::string& name) {
    const char* pathEnv = std::getenv("PATH");
    std::string path = pathEnv ? pathEnv : "";
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        start = end + 1;
        if (dir.empty()) continue;
        if (dir[0] == '~') {
            const char* home = std::getenv("HOME");
            dir = (home ? home : "") + dir.substr(1);
        }
        if (isRegularFile(joinPath(dir, name))) return joinPath(dir, name);
    }
    return "";
}

// True when `word` names a program file: a path to a regular file when it
// holds a '/', else a regular file of that name in a directory of PATH.
bool isProgramFile(const std::string& word) {
    if (word.find('/') != std::string::npos) return isRegularFile(word);
    return !findInPath(word).empty();
}

// True when the path exists as any kind of file, a dangling link included.
bool pathPresent(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void cleanSessionFiles(const std::string& name) {
    for (const char* ext : {".sock", ".lock", ".pid"}) {
        std::string path = sessionFile(name, ext);
        if (pathPresent(path)) unlink(path.c_str());
    }
}

[[noreturn]] void cleanStale(const std::string& name) {
    bool any = false;
    for (const char* ext : {".sock", ".lock", ".pid"})
        any = any || pathPresent(sessionFile(name, ext));
    cleanSessionFiles(name);
    die(any ? "cleaned stale socket, no daemon for session: " + name : "no such session: " + name);
}

// The running executable, for starting the daemon as a copy of ourselves.
std::string executablePath(const std::string& invocation) {
    std::string buf(PATH_MAX, '\0');
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n > 0 && static_cast<size_t>(n) < buf.size()) return buf.substr(0, n);
    if (invocation.find('/') != std::string::npos) return invocation;
    return findInPath(invocation);
}

// Starts the session's daemon as a detached copy of this program and waits
// until it answers on its socket.
//
// The options go first and "--" ends them: everything after the command word
// is the command's, and the session word is followed by the command word, so
// the daemon serves exactly the name it is given even when that also names a
// program (as a default name taken from a directory called like one does).
void startDaemon(const std::string& invocation, const std::string& session,
                 const SessionCommand& command, const CliArgs& cli, const Config& config) {
    std::string exe = executablePath(invocation);
    std::vector<std::string> args = {exe};
    if (!config.listen.empty()) args.insert(args.end(), {"-l", config.listen});
    if (cli.port != 0) args.insert(args.end(), {"-p", std::to_string(cli.port)});
    if (cli.log) args.push_back("--log");
    args.insert(args.end(), {"daemon", "--", session, command.program});
    args.insert(args.end(), command.args.begin(), command.args.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    StartReport report;
    pid_t child = fork();
    if (child < 0) die("daemon failed to start: " + session);
    if (child == 0) {
        setsid();
        int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            for (int fd = 0; fd <= 2; ++fd)
                dup2(devNull, fd);
            if (devNull > 2) close(devNull);
        }
        report.handOver();
        for (int fd = 3; fd <= 1023; ++fd)
            if (fd != report.writeEnd()) close(fd);
        execv(exe.c_str(), argv.data());
        std::string message = "exec failed: " + exe + ": " + std::strerror(errno) + "\n";
        ssize_t ignored = write(report.writeEnd(), message.data(), message.size());
        (void)ignored;
        _exit(1);
    }
    report.closeWriteEnd();
    // The daemon closes its end once it listens, or says why it cannot.
    std::string why = report.reason(std::chrono::steady_clock::now() +
                                    std::chrono::nanoseconds(StartAttempts * StartPollNs));
    if (!why.empty()) die("daemon failed to start: " + session + ": " + why);

    for (int attempt = 0; attempt < StartAttempts; ++attempt) {
        if (isActive(session)) return;
        int status;
        if (waitpid(child, &status, WNOHANG) == child) break;
        sleepNs(StartPollNs);
    }
    die("daemon failed to start: " + session);
}

// A client inside the session it attaches to would feed the session's output
// back in as its input, round and round, until someone kills it.
void refuseSelfAttach(const std::string& session) {
    const char* inside = std::getenv(SessionVar);
    if (inside && session == inside) die("cannot attach session " + session + " to itself");
}

int attachRoad(const std::string& session, const Config& config) {
    try {
        return runClient(session, config);
    } catch (const KeyError& e) {
        die(e.what());  // says what to do about the key: never summed up
    } catch (const TcpRefused& e) {
        die(e.what());  // the session may be there: not "no such session"
    } catch (const Error& e) {
        if (!isActive(session)) cleanStale(session);
        die(e.what());
    }
}

// The words after the session's name, joined by spaces, or standard input
// when there are none; no newline is added.
void sendRoad(const std::string& session, const std::vector<std::string>& words) {
    std::optional<std::string> text;
    for (size_t i = 1; i < words.size(); ++i)
        text = (text ? *text + " " : "") + words[i];
    try {
        sendKeys(session, text);
    } catch (const Error& e) {
        if (!isActive(session)) cleanStale(session);
        die(e.what());
    }
}

// The process that answers on the session's socket, 0 when none does.
int answeringPid(const std::string& session) {
    try {
        UniqueFd fd = connectUnix(socketPath(session));
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
            peer.uid == geteuid())
            return peer.pid;
    } catch (const SystemError&) {
    }
    return 0;
}

void killRoad(const std::string& session) {
    if (!isActive(session)) cleanStale(session);
    // The signal goes to the daemon that answers on the socket, and only
    // when the pid file names the same process: a stale or planted number
    // must never get it.
    int pid = answeringPid(session);
    if (pid <= 0 || daemonPid(session) != pid || ::kill(pid, SIGTERM) != 0)
        die("no daemon found for session: " + session);
    printLine("killed " + std::to_string(pid));
    // The daemon removes its own files. Only those of one that went
    // without doing so are cleaned, never a newer session's.
    for (int i = 0; i < 20 && daemonPid(session) == pid; ++i)
        sleepNs(100'000'000);
    if (daemonPid(session) == pid && !isActive(session)) cleanSessionFiles(session);
}

// True when the session's daemon says its command has ended (it is kept
// until collected); false while it runs or when it does not answer.
bool hasEnded(const std::string& session) {
    try {
        std::optional<SessionDetails> details = queryDetails(session, DetailsTimeoutMs);
        return details && details->end;
    } catch (const SystemError&) {
        return false;
    }
}

// A new session of an ended one's name takes its place: the ended one is
// collected (its daemon stopped) first.
void replaceEnded(const std::string& session) {
    int pid = answeringPid(session);
    if (pid > 0 && daemonPid(session) == pid) ::kill(pid, SIGTERM);
    for (int i = 0; i < 40 && isActive(session); ++i)
        sleepNs(50'000'000);
    if (isActive(session)) die("session already running: " + session);
}

// On a terminal, a table of what each session is; in a pipe the names
// alone, one a line, for scripts.
void listRoad() {
    if (!isatty(STDOUT_FILENO)) {
        for (const std::string& name : socketNames())
            if (isActive(name)) printLine(printableName(name));
        return;
    }
    std::vector<DetailsRow> rows;
    for (const std::string& name : socketNames()) {
        try {
            rows.push_back({printableName(name), queryDetails(name, DetailsTimeoutMs), 0});
        } catch (const SystemError&) {
            continue;  // nobody listens: not an active session
        }
        if (!rows.back().details) rows.back().pidFileValue = daemonPid(name);
    }
    if (rows.empty()) return;
    std::sort(rows.begin(), rows.end(),
              [](const DetailsRow& a, const DetailsRow& b) { return a.name < b.name; });
    for (const std::string& line : detailsTable(rows))
        printLine(line);
}

void daemonRoad(const std::string& session, const SessionCommand& command, const Config& config) {
    // Set before anything else: the session's command must not inherit it.
    UniqueFd report = takeStartReport();
    try {
        Session s = newSession(session, command.program, command.args);
        // The session still runs, to show the reason to whoever attaches;
        // the background start reports it at once.
        if (!s.pty.execError().empty()) reportStartFailure(report, s.pty.execError());
        runDaemon(std::move(s), command.program, config.listen, config.log,
                  [&] { report.reset(); });
    } catch (const Error& e) {
        reportStartFailure(report, e.what());
        die(e.what());
    }
}

int dispatch(const std::string& invocation, const std::vector<std::string>& argv) {
    CliArgs cli;
    try {
        cli = parseCliArgs(argv);
    } catch (const UsageError& e) {
        die(e.what());
    }
    if (cli.help) help();
    if (cli.version) {
        printLine(VersionText);
        return 0;
    }
    // Every command works in the session directory: one that is not safe
    // ("unsafe session directory: <path>") or cannot be made stops here.
    try {
        kivDir();
    } catch (const SystemError& e) {
        die(e.what());
    }

    std::string mode = "new";
    std::vector<std::string> rest = cli.args;
    if (!rest.empty()) {
        std::vector<std::string> matches = matchModes(rest.front());
        if (matches.size() == 1) {
            mode = matches.front();
            rest.erase(rest.begin());
        } else if (matches.size() > 1) {
            std::string joined;
            for (const std::string& m : matches)
                joined += (joined.empty() ? "" : ", ") + m;
            die("ambiguous command: " + rest.front() + " (" + joined + "). usage: kiv --help");
        }
    }
    std::string session = rest.empty() ? "" : rest[0];
    SessionCommand command{rest.size() >= 2 ? rest[1] : defaultShell(), {}};
    if (rest.size() > 2) command.args.assign(rest.begin() + 2, rest.end());

    // Only a lone word may be a program: with a command word after it, the
    // first word is the session's name whatever programs exist.
    if ((mode == "daemon" || mode == "new") && rest.size() == 1 && isProgramFile(session)) {
        command.program = session;
        session.clear();
    }
    // Checked before any file is made or removed: the name becomes a path
    // component of the session files.
    if (mode != "ls" && !session.empty() && !validSessionName(session))
        die("invalid session name: " + printableName(session));

    if (mode == "daemon" || mode == "new") {
        session = resolveSession(session);
    } else if (mode == "attach" && session.empty()) {
        // Ended sessions wait to be named: attaching collects them.
        session = oldestSession([](const std::string& name) { return !hasEnded(name); });
        if (session.empty()) die("attach: no active sessions");
    }
    if (cli.detached && mode != "new")
        die("-d, --detached only starts a session: kiv -d [session] [cmd [arg...]]");
    if (mode == "attach") refuseSelfAttach(session);
    if (mode == "kill" && session.empty()) die("kill: session name required");
    if (mode == "send" && session.empty()) die("send: session name required");

    Config config = toConfig(cli);
    if (mode == "attach" || mode == "new") {
        // Read before a daemon is started: a mistyped key must not leave
        // the user in a session they cannot detach from.
        try {
            config.detachKey = detachKeyFromEnvironment();
            config.sizePolicy = sizePolicyFromEnvironment();
        } catch (const UsageError& e) {
            die(e.what());
        }
    }
    if (mode == "daemon") {
        daemonRoad(session, command, config);
    } else if (mode == "attach") {
        return attachRoad(session, config);
    } else if (mode == "ls") {
        listRoad();
    } else if (mode == "kill") {
        killRoad(session);
    } else if (mode == "send") {
        sendRoad(session, rest);
    } else {
        if (isActive(session) && hasEnded(session)) replaceEnded(session);
        if (!isActive(session)) {
            startDaemon(invocation, session, command, cli, config);
            if (cli.detached) return 0;
        } else if (cli.detached) {
            die("session already running: " + session);
        } else {
            refuseSelfAttach(session);
            printError("kiv: reusing active session " + session);
        }
        try {
            return runClient(session, config);
        } catch (const Error& e) {
            die(e.what());
        }
    }
    return 0;
}

}  // namespace

int runMain(const std::string& invocation, const std::vector<std::string>& args) {
    try {
        return dispatch(invocation, args);
    } catch (const Exit& exit) {
        return exit.status;
    } catch (const Fatal& fatal) {
        printError("kiv: " + fatal.message);
        return 1;
    } catch (const Error& e) {
        printError(std::string("Error: unhandled exception: ") + e.what() + " [" + e.kind() + "]");
        return 1;
    } catch (const std::exception& e) {
        printError(std::string("Error: unhandled exception: ") + e.what() + " [internal]");
        return 1;
    }
}

}  // namespace kiv
