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
#include "kiv/capture.h"
#include "kiv/cli.h"
#include "kiv/daemon.h"
#include "kiv/detach_key.h"
#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/key.h"
#include "kiv/lost_sessions.h"
#include "kiv/nesting.h"
#include "kiv/pty.h"
#include "kiv/runtime.h"
#include "kiv/saved_record.h"
#include "kiv/send_keys.h"
#include "kiv/session_details.h"
#include "kiv/session_files.h"
#include "kiv/session_names.h"
#include "kiv/shell_words.h"
#include "kiv/start_report.h"
#include "kiv/tcp.h"
#include "kiv/whole_write.h"

namespace kiv {

namespace {

constexpr const char* UsageText =
    "Usage:\n"
    "  kiv [options] [new] [session] [cmd [arg...]]   # start in the background, attach\n"
    "  kiv [options] daemon [session] [cmd [arg...]]  # run the daemon in the foreground\n"
    "  kiv [options] attach [session]                 # attach (default: the oldest session)\n"
    "  kiv ls                                         # list sessions\n"
    "  kiv kill <session>                             # stop a session\n"
    "  kiv capture [-e] [-S lines] [session]          # print a session's screen (default: oldest)\n"
    "  kiv send <session> [text...]                   # type text (or standard input) into it\n"
    "\n"
    "Any unambiguous command prefix works: kiv d, kiv at, kiv ne, kiv l, kiv ki, kiv c, kiv s.\n"
    "Without a name, a session is named after the current directory (~ in home).\n"
    "cmd defaults to $SHELL; from cmd on, every word is the command's; -- ends options.\n"
    "Detach with Ctrl-G; KIV_DETACH_KEY picks another key ('^]', '^\\', ...) or none.\n"
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
    // Its daemon runs: its files stay, and the user learns what is in the way.
    if (std::string why = blockedSocket(name); !why.empty()) die(why);
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
                 const SessionCommand& command, const CliArgs& cli, const Config& config,
                 const std::string& typed) {
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
        if (typed.empty()) {
            unsetenv(TypeaheadVar);
        } else {
            setenv(TypeaheadVar, typed.c_str(), 1);
        }
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

// A client inside the session it attaches to, or inside a session that
// is shown in it, would feed the session's output back in as its input,
// round and round, until someone kills it.
void refuseLoop(const std::string& session) {
    const char* inside = std::getenv(SessionVar);
    if (inside && closesLoop(session, inside))
        die("cannot attach session " + printableName(session) + " inside itself");
}

// The saved record of a session: removed with the session. Damaged or
// foreign, it is removed all the same: it is this name's file.
bool removeSaved(const std::string& session) {
    std::optional<std::string> dir = savedDir();
    if (!dir || !pathPresent(recordPath(*dir, session))) return false;
    try {
        // A daemon that runs on, out of this runtime directory's reach,
        // keeps its record.
        std::optional<SavedRecord> record = loadRecord(*dir, session, false);
        if (record && daemonAlive(*record)) return false;
    } catch (const Error&) {
    }
    removeRecord(*dir, session);
    return true;
}

// A lost session is shown as it was saved, on the user's main screen so
// that it stays in view, and its record kept: `kiv NAME` starts it again,
// `kiv kill NAME` forgets it. The result is the attach's status.
std::optional<int> showLost(const std::string& session) {
    std::optional<SavedRecord> record;
    try {
        record = lostRecord(session, true);
    } catch (const IoError& e) {
        die("cannot show saved session " + printableName(session) + ": " + e.what());
    } catch (const SystemError& e) {
        die(e.what());
    }
    if (!record) return std::nullopt;
    // An ended one is collected by being shown, as when its daemon ran.
    std::string line = record->end ? leavingLine(session, record->end, false) : lostLine(*record);
    writeWhole(STDOUT_FILENO, savedTranscript(*record) + "\x1b[0m" + line + "\r\n");
    if (!record->end) return 0;
    removeSaved(session);
    return endExitStatus(*record->end);
}

int attachRoad(const std::string& session, const Config& config) {
    if (std::optional<int> status = showLost(session)) return *status;
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

// The process that answers on the session's socket, 0 when none does, -1
// when one is there but takes no connection (stopped or hung, its queue
// full): a blocking connect would wait for it for ever.
int answeringPid(const std::string& session) {
    try {
        UniqueFd fd;
        // A queue full for a moment gets a second chance.
        for (int i = 0; i < 10 && !(fd = connectUnixNow(socketPath(session))); ++i)
            sleepNs(50'000'000);
        if (!fd) return -1;
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
            peer.uid == geteuid())
            return peer.pid;
    } catch (const SystemError&) {
    }
    return 0;
}

// The session's text on standard output, without attaching.
void captureRoad(const std::string& session, const CliArgs& cli) {
    CaptureRequest request;
    request.escapes = cli.escapes;
    if (cli.historyLines == "-") {
        request.historyLines = -1;
    } else if (!cli.historyLines.empty()) {
        request.historyLines = std::stoll(cli.historyLines);
    }
    std::string text;
    try {
        text = captureSession(session, request);
    } catch (const SystemError&) {
        if (!isActive(session)) cleanStale(session);
        die("no such session: " + session);
    } catch (const IoError& e) {
        die("capture failed: " + session + ": " + e.what());
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void killRoad(const std::string& session) {
    if (!isActive(session)) {
        // Out of reach, it cannot be told to stop, and its record is kept.
        if (std::string why = blockedSocket(session); !why.empty()) die(why);
        if (removeSaved(session)) {
            cleanSessionFiles(session);
            printLine("removed saved session " + printableName(session));
            return;
        }
        cleanStale(session);
    }
    // The signal goes to the daemon that answers on the socket, as its
    // peer credentials name it (and only when it is the user's own): a pid
    // file that was lost or rewritten must neither stop the kill nor
    // redirect it.
    int pid = answeringPid(session);
    if (pid < 0) die("session " + session + " does not answer (its daemon is stopped or hung)");
    if (pid == 0 || ::kill(pid, SIGTERM) != 0) die("no daemon found for session: " + session);
    printLine("killed " + std::to_string(pid));
    // The daemon removes its own files. Only those of one that went
    // without doing so are cleaned, never a newer session's.
    for (int i = 0; i < 20 && ::kill(pid, 0) == 0 && isActive(session); ++i)
        sleepNs(100'000'000);
    if (daemonPid(session) == pid && !isActive(session)) cleanSessionFiles(session);
    // The record goes with the daemon just stopped, even one still on its
    // way out: once stopping, it writes no more.
    if (std::optional<std::string> dir = savedDir(); dir && !isActive(session))
        removeRecord(*dir, session);
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
// collected (its daemon stopped) first, and its record goes with it, even
// while that daemon is still on its way out (once stopping, it writes no
// more). Left behind, the record would pass for a lost session and its
// content would come back above the new one.
void replaceEnded(const std::string& session) {
    int pid = answeringPid(session);
    if (pid > 0) ::kill(pid, SIGTERM);
    for (int i = 0; i < 40 && isActive(session); ++i)
        sleepNs(50'000'000);
    if (isActive(session)) die("session already running: " + session);
    if (std::optional<std::string> dir = savedDir()) removeRecord(*dir, session);
}

// On a terminal, a table of what each session is; in a pipe the names
// alone, one a line, for scripts. Both in the order of their names.
// Records of sessions whose daemon is gone; a record that cannot be read
// is named on standard error, since only its file is known.
std::vector<SavedRecord> lostSessions() {
    std::vector<SavedRecord> lost;
    std::string why;
    std::optional<std::string> dir = savedDir(&why);
    if (!dir) {
        printError("kiv: sessions are not saved: " + why);
        return lost;
    }
    for (RecordEntry& entry : listRecords(*dir)) {
        if (!entry.record) {
            printError("kiv: damaged saved record skipped: " + entry.problem);
        } else if (recordPath(*dir, entry.record->name) != entry.path) {
            printError("kiv: foreign saved record skipped: " + entry.path);
        } else if (!isActive(entry.record->name) && !daemonAlive(*entry.record)) {
            lost.push_back(std::move(*entry.record));
        }
    }
    std::sort(lost.begin(), lost.end(),
              [](const SavedRecord& a, const SavedRecord& b) { return a.name < b.name; });
    return lost;
}

void listRoad() {
    std::vector<std::string> names = socketNames();
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return printableName(a) < printableName(b);
    });
    // One that runs but cannot be reached is not listed, and is told.
    for (const std::string& name : names)
        if (std::string why = blockedSocket(name); !why.empty()) printError("kiv: " + why);
    if (!isatty(STDOUT_FILENO)) {
        for (const std::string& name : names)
            if (isActive(name)) printLine(printableName(name));
        for (const SavedRecord& record : lostSessions())
            printLine(printableName(record.name));
        return;
    }
    // Every daemon is asked at once: one that is stopped or hung shows "?"
    // without holding up the others.
    std::vector<DetailsAnswer> answers = queryAllDetails(names, DetailsTimeoutMs);
    std::vector<DetailsRow> rows;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!answers[i].unreachable.empty()) continue;  // nobody listens: not an active session
        rows.push_back({printableName(names[i]), answers[i].details, 0, {}});
        if (!rows.back().details) rows.back().pidFileValue = daemonPid(names[i]);
    }
    std::sort(rows.begin(), rows.end(),
              [](const DetailsRow& a, const DetailsRow& b) { return a.name < b.name; });
    int64_t now = std::time(nullptr);
    for (const SavedRecord& record : lostSessions()) {
        SessionDetails d;
        d.ageSeconds = std::max<int64_t>(0, now - record.started);
        d.cols = record.cols;
        d.rows = record.rows;
        d.command = record.command;
        d.end = record.end;
        if (d.end) d.end->secondsAgo = std::max<int64_t>(0, now - record.endedAt);
        rows.push_back(
            {printableName(record.name), d, 0, std::max<int64_t>(0, now - record.saved)});
    }
    // A person at a terminal is told, as a listing rather than an error; a
    // script reads no lines and a zero.
    if (rows.empty()) {
        printError("no sessions");
        throw Exit{1};
    }
    for (const std::string& line : detailsTable(rows))
        printLine(line);
}

// A session is saved unless the state directory cannot be trusted: then it
// runs all the same, and the start says why.
void warnUnsaved(const std::string& session) {
    std::string why;
    if (!savedDir(&why))
        printError("kiv: session " + printableName(session) + " is not saved: " + why);
}

// The saved record of a lost session of this name, checked whole; one that
// cannot be trusted is reported and left out.
std::optional<SavedRecord> restorableRecord(const std::string& session) {
    try {
        return lostRecord(session, true);
    } catch (const Error& e) {
        printError("kiv: saved session " + printableName(session) + " not restored: " + e.what());
        return std::nullopt;
    }
}

// `kiv NAME` of a lost session starts its command again (unless another is
// given) in its directory, with what ran in its foreground (see restartOf);
// its daemon puts the saved history above. Returns the line the daemon is
// to type into the restarted shell, "" for none.
std::string prepareRestart(const std::string& session, SessionCommand& command,
                           bool commandGiven) {
    std::optional<SavedRecord> record = restorableRecord(session);
    if (!record) return "";
    Restart plan = restartOf(*record);
    if (commandGiven) {
        plan = {{}, record->cwd, "", ""};  // as asked, in the saved directory
    } else {
        command = {plan.command.front(), {plan.command.begin() + 1, plan.command.end()}};
    }
    if (!plan.refusal.empty())
        printError("kiv: saved job of " + printableName(session) + " not started again (" +
                   plan.refusal + "): " + printableName(shellLine(record->job)));
    if (!plan.cwd.empty() && chdir(plan.cwd.c_str()) != 0)
        printError("kiv: saved directory " + printableName(plan.cwd) + ": " + std::strerror(errno) +
                   "; starting in the current one");
    return plan.typed;
}

void daemonRoad(const std::string& session, const SessionCommand& command, const Config& config) {
    // Set before anything else: the session's command must not inherit it.
    UniqueFd report = takeStartReport();
    std::string typed;
    if (const char* value = std::getenv(TypeaheadVar)) typed = value;
    unsetenv(TypeaheadVar);
    warnUnsaved(session);
    try {
        std::optional<SavedRecord> saved = restorableRecord(session);
        WindowSize size{80, 24};
        if (saved) size = {int(saved->cols), int(saved->rows)};
        Session s = newSession(session, command.program, command.args, size,
                               historyLinesFromEnvironment());
        if (saved) {
            // Lines of text only: whatever the saved content held, nothing
            // in it reaches the new command as a query to answer.
            s.term->write(savedTranscript(*saved) + "\x1b[0m" + restartLine(*saved) + "\r\n");
            s.term->takeQueries();
            s.typeahead = typed;
        }
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
    bool commandGiven = rest.size() >= 2;
    SessionCommand command{rest.size() >= 2 ? rest[1] : defaultShell(), {}};
    if (rest.size() > 2) command.args.assign(rest.begin() + 2, rest.end());

    // Only a lone word may be a program: with a command word after it, the
    // first word is the session's name whatever programs exist.
    if ((mode == "daemon" || mode == "new") && rest.size() == 1 && isProgramFile(session)) {
        command.program = session;
        commandGiven = true;
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
    } else if (mode == "capture" && session.empty()) {
        session = oldestSession();
        if (session.empty()) die("capture: no sessions");
    }
    if ((cli.escapes || !cli.historyLines.empty()) && mode != "capture")
        die("-e and -S go with capture. usage: kiv --help");
    if (mode == "daemon" || mode == "new") {
        // Checked before a daemon is started, so that the user sees it.
        try {
            historyLinesFromEnvironment();
        } catch (const UsageError& e) {
            die(e.what());
        }
    }
    if (cli.detached && mode != "new")
        die("-d, --detached only starts a session: kiv -d [session] [cmd [arg...]]");
    if (mode == "attach") refuseLoop(session);
    if (mode == "kill" && session.empty()) die("kill: session name required");
    if (mode == "send" && session.empty()) die("send: session name required");
    if ((cli.readOnly || cli.detachOthers) && (cli.detached || (mode != "attach" && mode != "new")))
        die("-r and -D go with attaching: kiv [-r] [-D] attach [session]");

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
    } else if (mode == "capture") {
        captureRoad(session, cli);
    } else if (mode == "send") {
        sendRoad(session, rest);
    } else {
        if (isActive(session) && hasEnded(session)) {
            replaceEnded(session);
        }
        if (!isActive(session)) {
            if (std::string why = blockedSocket(session); !why.empty()) die(why);
            std::string typed = prepareRestart(session, command, commandGiven);
            warnUnsaved(session);
            startDaemon(invocation, session, command, cli, config, typed);
            if (cli.detached) return 0;
        } else if (cli.detached) {
            die("session already running: " + session);
        } else {
            refuseLoop(session);
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
