#include "tests/support/daemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "kiv/endpoints.h"
#include "kiv/errors.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

}  // namespace

DaemonProcess::DaemonProcess(const ScratchDir& scratch, std::string name, std::string command,
                             std::vector<std::string> extra, std::vector<std::string> env)
    : scratch_(scratch), name_(std::move(name)) {
    // kiv reads options only before the command word: after it they would be
    // the command's arguments.
    std::vector<std::string> args = {KIV_BINARY};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"daemon", name_, command});
    env.insert(env.begin(), {"XDG_RUNTIME_DIR=" + scratch_.path() + "/run",
                             "XDG_DATA_HOME=" + scratch_.path() + "/data",
                             "XDG_STATE_HOME=" + scratch_.path() + "/state", "TERM=xterm-256color",
                             "KIV_KEY_FILE=" + keyFile()});
    pid_ = fork();
    if (pid_ == 0) {
        setsid();
        for (const std::string& kv : env)
            putenv(strdup(kv.c_str()));
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

DaemonProcess::~DaemonProcess() {
    if (status_ != -1 || pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (waitExit(5s) == -1 && status_ == -1) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string DaemonProcess::keyFile() const {
    return scratch_.path() + "/key";
}

std::string DaemonProcess::socketPath() const {
    return sessionFile(".sock");
}

std::string DaemonProcess::sessionFile(const std::string& ext) const {
    return scratch_.path() + "/run/kiv/" + name_ + ext;
}

std::string DaemonProcess::logText() const {
    return logFileText(scratch_);
}

std::string DaemonProcess::waitLog(const std::string& text, std::chrono::milliseconds limit) const {
    auto deadline = Clock::now() + limit;
    std::string log = logText();
    while (log.find(text) == std::string::npos && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        log = logText();
    }
    return log;
}

std::string logFileText(const ScratchDir& scratch) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return readFile(scratch.path() + "/data/kiv/kiv-" + std::to_string(1900 + tm.tm_year) + ".log");
}

bool DaemonProcess::waitReady(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        try {
            kiv::connectUnix(socketPath());
            return true;
        } catch (const std::exception&) {
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

int DaemonProcess::waitExit(std::chrono::milliseconds limit) {
    if (status_ != -1) return status_;
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

void DaemonProcess::signal(int sig) {
    ::kill(pid_, sig);
}

long DaemonProcess::rssKb() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

ProtoClient ProtoClient::overUnix(const std::string& path) {
    return ProtoClient(kiv::connectUnix(path));
}

ProtoClient ProtoClient::overTcp(const kiv::ListenAddr& addr, int port, const kiv::Key& key) {
    ProtoClient c(kiv::connectTcp(addr, port));
    c.channel_ = std::make_unique<kiv::SecureChannel>(kiv::ChannelRole::Client, key);
    c.sendRaw(c.channel_->hello());
    auto deadline = Clock::now() + 10s;
    while (!c.channel_->established()) {
        pollfd p{c.fd(), POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0)
            throw std::runtime_error("no answer to the handshake");
        char chunk[4096];
        ssize_t n = ::recv(c.fd(), chunk, sizeof chunk, 0);
        if (n <= 0) throw std::runtime_error("closed during the handshake");
        std::string reply;
        c.channel_->receive(std::string_view(chunk, n), c.buf_, reply);
        c.sendRaw(reply);
    }
    return c;
}

std::string ProtoClient::wireBytes(kiv::MsgKind kind, std::string_view payload) {
    std::string frame = kiv::frameBytes(kind, payload);
    if (!channel_) return frame;
    std::string sealed;
    channel_->seal(frame, sealed);
    return sealed;
}

bool ProtoClient::send(kiv::MsgKind kind, std::string_view payload) {
    if (channel_) return sendRaw(wireBytes(kind, payload));
    return kiv::sendMsg(fd_.get(), kind, payload);
}

bool ProtoClient::sendRaw(std::string_view bytes) {
    return ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

bool ProtoClient::resize(int cols, int rows) {
    std::string p = {static_cast<char>(cols >> 8), static_cast<char>(cols & 0xff),
                     static_cast<char>(rows >> 8), static_cast<char>(rows & 0xff)};
    return send(kiv::MsgKind::Resize, p);
}

std::optional<kiv::Message> ProtoClient::next(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        kiv::MsgKind kind;
        std::string payload;
        if (kiv::takeFrame(buf_, kind, payload)) return kiv::Message{kind, std::move(payload)};
        if (closed_) return std::nullopt;
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0) return std::nullopt;
        char chunk[65536];
        ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed_ = true;
            continue;
        }
        if (!channel_) {
            buf_.append(chunk, n);
            continue;
        }
        try {
            std::string reply;
            channel_->receive(std::string_view(chunk, n), buf_, reply);
        } catch (const kiv::IoError&) {
            closed_ = true;  // a record that does not open ends the connection
        }
    }
}

bool ProtoClient::outputUntil(const std::function<bool(const std::string&)>& done,
                              std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!done(output_)) {
        auto msg = next(std::chrono::milliseconds(remainingMs(deadline)));
        if (!msg) return false;
        if (msg->kind == kiv::MsgKind::Output)
            output_ += msg->payload;
        else
            others_.push_back(std::move(*msg));
    }
    return true;
}

bool ProtoClient::outputContains(const std::string& text, std::chrono::milliseconds limit) {
    // Search only what arrived since the last look: output can be megabytes.
    size_t from = 0;
    return outputUntil(
        [&](const std::string& out) {
            bool found = out.find(text, from) != std::string::npos;
            from = out.size() >= text.size() ? out.size() - text.size() + 1 : 0;
            return found;
        },
        limit);
}

bool ProtoClient::waitClosed(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!closed_) {
        auto msg = next(std::chrono::milliseconds(remainingMs(deadline)));
        if (msg) {
            if (msg->kind == kiv::MsgKind::Output)
                output_ += msg->payload;
            else
                others_.push_back(std::move(*msg));
        } else if (!closed_) {
            return false;
        }
    }
    return true;
}

}  // namespace testsupport
