// The session's command on its own pseudo-terminal. This is the only place
// that creates the command's process.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "kiv/fd.h"

namespace kiv {

// $SHELL when it is set, even to the empty string; otherwise "/bin/sh".
std::string defaultShell();

// The master side of a pseudo-terminal and the process of the command on its
// slave side. The daemon never holds the slave: once the command and its
// descendants have gone, reads from the master report end of file or EIO.
class Pty {
  public:
    Pty() = default;
    Pty(UniqueFd master, pid_t pid) : master_(std::move(master)), pid_(pid) {}
    ~Pty() { close(); }
    Pty(Pty&&) = default;
    Pty& operator=(Pty&& other) noexcept;

    // Exactly one read(2) of the master, its result unchanged.
    ssize_t read(void* buf, size_t size);

    // Exactly one write(2) to the master, its result unchanged: the
    // command's input goes through here.
    ssize_t write(const void* buf, size_t size);

    // Sets the terminal's window size (the kernel sends SIGWINCH to the
    // command when it changes); zeros are passed on, failures ignored.
    void setSize(int cols, int rows);

    // Closes the master, which hangs up the command's terminal, and reaps
    // the command only if it has already exited. Sends no signal.
    void close();

    // The command's wait status once it has exited (reaped here, without
    // waiting, on the first call that finds it gone); nothing before.
    std::optional<int> reap();

    int masterFd() const { return master_.get(); }
    // Why the command could not be executed ("cannot run <program>:
    // <reason>"), "" when it runs.
    const std::string& execError() const { return execError_; }
    pid_t pid() const { return pid_; }

  private:
    friend Pty openPty(const std::string&, const std::vector<std::string>&, int, int,
                       const std::vector<std::string>&);
    UniqueFd master_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string execError_;
};

// Starts `command` (the default shell when empty) with `extraArgs` on a new
// pseudo-terminal of the given size, with the "NAME=value" entries of
// `environment` added to (or replacing in) its environment. The command is
// one word, searched along PATH when it has no '/', and is never split or
// handed to a shell; when it cannot be executed the child prints the reason
// on the terminal and exits with status 127, the master reports end of file
// after it, and execError() says why. The master is blocking and
// close-on-exec. Raises SystemError "openpty failed" or "fork failed".
Pty openPty(const std::string& command, const std::vector<std::string>& extraArgs, int cols,
            int rows, const std::vector<std::string>& environment = {});

}  // namespace kiv
