#include "kiv/pty.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kiv/errors.h"

namespace kiv {

namespace {

winsize windowSize(int cols, int rows) {
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(cols);
    return size;
}

// kiv ignores SIGPIPE so that a vanished client is an error result, but the
// command must not inherit that: with SIGPIPE ignored `yes | head -1` prints
// "Broken pipe" and scripts that rely on SIGPIPE to stop run on. Handlers
// are reset by exec anyway; ignored signals and the mask are not.
void restoreDefaultSignals() {
    for (int sig = 1; sig < NSIG; ++sig)
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The reason an exec failed, as the session's terminal and the log show it.
std::string execFailure(const char* program, int err) {
    return std::string("cannot run ") + program + ": " + std::strerror(err);
}

[[noreturn]] void runChild(int master, int slave, int execReport, char* const* argv,
                           char* const* environment) {
    restoreDefaultSignals();
    // The daemon is single-threaded, so changing the environment between
    // fork and exec is safe; putenv keeps the parent's strings, which the
    // child's copy of memory holds until the exec.
    for (char* const* entry = environment; *entry; ++entry)
        putenv(*entry);
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    if (slave > 2) ::close(slave);
    ::close(master);
    execvp(argv[0], argv);
    // The daemon learns the reason through the close-on-exec pipe (a
    // successful exec closes it without a word), and whoever attaches sees
    // it on the session's terminal.
    int err = errno;
    std::string message = "kiv: " + execFailure(argv[0], err) + "\n";
    ssize_t ignored = ::write(1, message.data(), message.size());
    ignored = ::write(execReport, &err, sizeof err);
    (void)ignored;
    _exit(127);
}

}  // namespace

std::string defaultShell() {
    const char* shell = std::getenv("SHELL");
    return shell ? shell : "/bin/sh";
}

Pty& Pty::operator=(Pty&& other) noexcept {
    if (this != &other) {
        close();
        master_ = std::move(other.master_);
        pid_ = other.pid_;
        status_ = other.status_;
        execError_ = std::move(other.execError_);
    }
    return *this;
}

ssize_t Pty::read(void* buf, size_t size) {
    return ::read(master_.get(), buf, size);
}

ssize_t Pty::write(const void* buf, size_t size) {
    return ::write(master_.get(), buf, size);
}

void Pty::setSize(int cols, int rows) {
    winsize size = windowSize(cols, rows);
    ioctl(master_.get(), TIOCSWINSZ, &size);
}

void Pty::close() {
    if (!master_) return;
    master_.reset();
    reap();
}

std::optional<int> Pty::reap() {
    if (status_ || pid_ <= 0) return status_;
    int status = 0;
    pid_t got;
    while ((got = waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (got == pid_) status_ = status;
    return status_;
}

Pty openPty(const std::string& command, const std::vector<std::string>& extraArgs, int cols,
            int rows, const std::vector<std::string>& environment) {
    std::string program = command.empty() ? defaultShell() : command;
    // Built before the fork so that the child only makes system calls.
    std::vector<std::string> args{program};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envCopy = environment;
    std::vector<char*> envp;
    for (std::string& entry : envCopy)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    winsize size = windowSize(cols, rows);
    int masterFd = -1, slaveFd = -1;
    if (openpty(&masterFd, &slaveFd, nullptr, nullptr, &size) != 0)
        throw SystemError("openpty failed");
    UniqueFd master(masterFd), slave(slaveFd);
    fcntl(master.get(), F_SETFD, FD_CLOEXEC);

    int reportFds[2];
    if (pipe2(reportFds, O_CLOEXEC) != 0) throw SystemError("pipe failed");
    UniqueFd reportRead(reportFds[0]), reportWrite(reportFds[1]);

    pid_t pid = fork();
    if (pid < 0) throw SystemError("fork failed");
    if (pid == 0) runChild(master.get(), slave.get(), reportWrite.get(), argv.data(), envp.data());
    reportWrite.reset();
    Pty pty(std::move(master), pid);
    int err = 0;
    ssize_t n;
    while ((n = ::read(reportRead.get(), &err, sizeof err)) < 0 && errno == EINTR) {
    }
    if (n == sizeof err) pty.execError_ = execFailure(program.c_str(), err);
    return pty;
}

}  // namespace kiv
