#include "tests/support/tmux.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "screen/grid.h"
#include "screen/terminal.h"
#include "tests/support/process.h"

namespace testsupport {

namespace {

int nextTerminal() {
    static int count = 0;
    return count++;
}

}  // namespace

bool tmuxAvailable() {
    return runProcess({"tmux", "-V"}).status == 0;
}

TmuxTerminal::TmuxTerminal(const ScratchDir& scratch, const std::string& cwd,
                           const std::vector<std::string>& env, int cols, int rows)
    // A server of its own: two terminals of one test must not share a pane.
    : socket_(scratch / ("tmux-" + std::to_string(nextTerminal()) + ".sock")) {
    std::vector<std::string> args = {
        "-f", "/dev/null",          "new-session", "-d", "-s", "t", "-x", std::to_string(cols),
        "-y", std::to_string(rows), "-c",          cwd};
    // The pane's command goes through sh -c; quote every assignment.
    std::string command = "exec env";
    for (const std::string& kv : env) {
        std::string quoted = "'";
        for (char c : kv)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " " + quoted + "'";
    }
    args.push_back(command + " /bin/sh");
    tmux(args);
    tmux({"set-option", "-g", "status", "off"});
    tmux({"set-option", "-g", "window-size", "manual"});
    resize(cols, rows);
}

std::string rawPlayer(const std::string& file, const std::string& done, const std::string& ready) {
    std::string waitKey =
        ready.empty() ? "" : "printf '\\033]2;" + ready + "\\033\\\\'; head -c 1 >/dev/null; ";
    return "stty raw -echo -opost -onlcr; " + waitKey + "cat " + file + "; printf '\\033]2;" +
           done + "\\033\\\\'; exec sleep 100000";
}

bool TmuxTerminal::play(const std::string& file) {
    static int plays = 0;
    std::string done = "played-" + std::to_string(++plays);
    tmux({"respawn-pane", "-k", "-t", "t", rawPlayer(file, done)});
    for (int i = 0; i < 2000; ++i) {
        if (tmux({"display-message", "-p", "-t", "t", "#{pane_title}"}) == done + "\n") return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

std::string captureCells(const std::string& capture, bool looks) {
    std::string joined = "\x1b)0";
    std::istringstream in(capture);
    int n = 0;
    for (std::string line; std::getline(in, line); ++n)
        joined += (n > 0 ? "\r\n" : "") + line;
    screen::Terminal t(200, n + 1, 0);
    t.resize(200, n + 1);
    t.write(joined);
    const screen::Grid& g = t.grid();
    std::string out;
    for (int64_t i = 0; i < n; ++i) {
        screen::Row row = g.screen.lines.row(screen::screenTop(g) + i);
        size_t used = row.size();
        while (used > 0 && row.text(used - 1) == " ")
            --used;
        for (size_t c = 0; c < used; ++c) {
            screen::Pen p = screen::normalized(row.pen(c));
            out += row.text(c);
            if (looks && row.text(c) != " ")
                out += "{" + std::to_string(p.fg) + "." + std::to_string(p.fgIndex) + "." +
                       std::to_string(p.fgRgb) + "/" + std::to_string(p.bg) + "." +
                       std::to_string(p.bgIndex) + "." + std::to_string(p.bgRgb) + "/" +
                       std::to_string(p.attrs) + "}";
        }
        out += "\n";
    }
    return out;
}

TmuxTerminal::~TmuxTerminal() {
    tmux({"kill-server"});
}

std::string TmuxTerminal::tmux(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"tmux", "-S", socket_};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, {"TMUX="}).out;
}

void TmuxTerminal::type(const std::string& text) {
    tmux({"send-keys", "-t", "t", "-l", text});
}

void TmuxTerminal::line(const std::string& text) {
    type(text);
    key("Enter");
}

void TmuxTerminal::key(const std::string& name) {
    tmux({"send-keys", "-t", "t", name});
}

void TmuxTerminal::resize(int cols, int rows) {
    tmux({"resize-window", "-t", "t", "-x", std::to_string(cols), "-y", std::to_string(rows)});
}

std::string TmuxTerminal::screen() const {
    return tmux({"capture-pane", "-p", "-t", "t"});
}

std::string TmuxTerminal::screenAnsi() const {
    return tmux({"capture-pane", "-p", "-e", "-t", "t"});
}

namespace {

template <typename Pred>
bool waitUntil(Pred done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

}  // namespace

bool TmuxTerminal::waitFor(const std::string& text, std::chrono::milliseconds limit) const {
    return waitUntil([&] { return screen().find(text) != std::string::npos; }, limit);
}

bool TmuxTerminal::waitGone(const std::string& text, std::chrono::milliseconds limit) const {
    return waitUntil([&] { return screen().find(text) == std::string::npos; }, limit);
}

bool TmuxTerminal::rawMode() const {
    std::string tty = tmux({"display-message", "-p", "-t", "t", "#{pane_tty}"});
    if (!tty.empty() && tty.back() == '\n') tty.pop_back();
    int fd = open(tty.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    termios attrs{};
    bool raw = tcgetattr(fd, &attrs) == 0 && !(attrs.c_lflag & ICANON);
    close(fd);
    return raw;
}

bool TmuxTerminal::waitRawMode(bool raw, std::chrono::milliseconds limit) const {
    return waitUntil([&] { return rawMode() == raw; }, limit);
}

}  // namespace testsupport
