#include "tests/support/machine.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

namespace testsupport {

Machine::Machine() {
    std::filesystem::create_directories(app);
    std::string binDir = std::filesystem::path(KIV_BINARY).parent_path();
    env = {"HOME=" + home,
           "XDG_RUNTIME_DIR=" + (scratch / "run"),
           "XDG_DATA_HOME=" + (scratch / "data"),
           "XDG_STATE_HOME=" + (scratch / "state"),
           "XDG_CONFIG_HOME=" + (scratch / "config"),
           "PATH=" + binDir + ":/usr/local/bin:/usr/bin:/bin",
           "SHELL=/bin/sh",
           "PS1=$ ",
           "ENV=",
           "TERM=xterm-256color"};
}

Machine::~Machine() {
    for (const std::string& name : sessions())
        kiv({"kill", "--", name});
}

ProcessResult Machine::kiv(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"",
                                     cwd.empty() ? app : cwd, KIV_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, env);
}

ProcessResult Machine::sh(const std::string& commandLine) {
    return runProcess({"/bin/sh", "-c", "cd \"$0\" && " + commandLine, app}, env);
}

bool Machine::waitFile(const std::string& path) {
    for (int i = 0; i < 200 && !exists(path); ++i)
        std::this_thread::sleep_for(50ms);
    return exists(path);
}

void Machine::deadSocket(const std::string& name) {
    std::filesystem::create_directories(scratch / "run/kiv");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = file(name + ".sock");
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    close(fd);
}

std::vector<std::string> Machine::sessions() {
    std::vector<std::string> names;
    std::string out = kiv({"ls"}).out;
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos;
         start = end + 1)
        names.push_back(out.substr(start, end - start));
    std::sort(names.begin(), names.end());
    return names;
}

bool Machine::waitSessions(const std::vector<std::string>& want) {
    for (int i = 0; i < 200; ++i) {
        if (sessions() == want) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string Machine::file(const std::string& name) const {
    return scratch / ("run/kiv/" + name);
}

bool detach(TmuxTerminal& term) {
    // The client takes Ctrl-G for the detach key only alone in a read: one
    // that comes with keys typed just before it (an Enter the client had no
    // time to read yet) is input like any other.
    if (!term.waitRawMode(true) || !term.waitKeysRead()) return false;
    term.key("C-g");
    return term.waitRawMode(false);
}

}  // namespace testsupport
