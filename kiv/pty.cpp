#include "kiv/pty.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

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

[[noreturn]] void runChild(int master, int slave, char* const* argv, char* const* environment) {
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
    _exit(1);
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
    if (pid_ > 0) waitpid(pid_, nullptr, WNOHANG);
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

    pid_t pid = fork();
    if (pid < 0) throw SystemError("fork failed");
    if (pid == 0) runChild(master.get(), slave.get(), argv.data(), envp.data());
    return Pty(std::move(master), pid);
}

}  // namespace kiv
