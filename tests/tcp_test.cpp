// TCP access: the daemon's listener and the client's search of the port
// window, with fake daemons in threads playing the other side (sessions
// with and without the key, impostors, strangers), then a real daemon and
// the real client over loopback behind the secure channel.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/key_file.h"
#include "kiv/protocol.h"
#include "kiv/tcp.h"
#include "tests/support/daemon.h"
#include "tests/support/errors.h"
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/relay.h"
#include "tests/support/tmux.h"

using namespace kiv;
using namespace std::chrono_literals;
using testsupport::DaemonProcess;
using testsupport::ProtoClient;
using testsupport::ScratchDir;

namespace {

const ListenAddr Loopback = parseListen("127.0.0.1:1");

// Something listening on one port of the window. A Session speaks the
// protocol behind the channel with `key`; an Impostor, not holding the key,
// plays the daemon's part of the handshake as far as it can and then says
// AttachOk in the clear; Garbage greets with another protocol; a Closer
// closes every connection at once, as a daemon with no place to spare
// would. Every byte received is kept.
class FakeDaemon {
  public:
    enum Role { Session, Impostor, Garbage, Closer };

    FakeDaemon(int port, Role role, std::string name = "", Key key = {})
        : listener_(listenTcp(Loopback, port)), role_(role), name_(std::move(name)), key_(key) {
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeDaemon() { stop(); }

    // Ends the thread; only then may the records below be read.
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    std::string raw;                    // every byte received, as it came
    std::vector<std::string> attaches;  // Attach payloads opened
    Message afterAttach{MsgKind::Error, "(nothing)"};

  private:
    // Reads what the peer sends within a moment; "" once it has closed.
    std::string receive(int fd) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) return {};
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return {};
        raw.append(buf, n);
        return std::string(buf, n);
    }

    void serve() {
        while (!stop_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            UniqueFd peer(accept(listener_.get(), nullptr, nullptr));
            if (!peer) continue;
            if (role_ == Closer) {
                continue;
            } else if (role_ == Garbage) {
                send(peer.get(), "SSH-2.0-x\r\n", 11, MSG_NOSIGNAL);
            } else if (role_ == Impostor) {
                impersonate(peer.get());
            } else {
                try {
                    serveSession(peer.get());
                } catch (const IoError&) {
                }
            }
        }
    }

    void impersonate(int fd) {
        receive(fd);  // the hello
        std::string nonce(HandshakeNonceSize, 'n');
        send(fd, nonce.data(), nonce.size(), MSG_NOSIGNAL);
        receive(fd);  // the client's proof
        std::string answer = std::string(ProofSize, 'p') + frameBytes(MsgKind::AttachOk, "");
        send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        while (!receive(fd).empty()) {  // whatever else comes, until it closes
        }
    }

    void serveSession(int fd) {
        SecureChannel channel(ChannelRole::Daemon, key_);
        std::string plain;
        size_t used = 0;
        MsgKind kind;
        std::string payload;
        auto nextMessage = [&] {
            while (!takeFrame(plain, used, kind, payload)) {
                std::string bytes = receive(fd), reply;
                if (bytes.empty()) throw IoError("closed");
                channel.receive(bytes, plain, reply);
                send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        };
        auto sendSealed = [&](MsgKind k, std::string_view p) {
            std::string out;
            channel.seal(frameBytes(k, p), out);
            send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        };
        nextMessage();
        attaches.push_back(payload);
        if (kind != MsgKind::Attach || payload != name_) return sendSealed(MsgKind::Error, "no");
        sendSealed(MsgKind::AttachOk, "");
        sendSealed(MsgKind::Output, "screen");
        nextMessage();
        afterAttach = {kind, payload};
    }

    UniqueFd listener_;
    Role role_;
    std::string name_;
    Key key_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(TcpListener, SkipsTakenPorts) {
    int base = testsupport::freePortRun(3);
    UniqueFd taken0 = listenTcp(Loopback, base);
    UniqueFd taken1 = listenTcp(Loopback, base + 1);
    TcpListener listener = startTcpListener(Loopback, base);
    EXPECT_EQ(listener.port, base + 2);
    EXPECT_EQ(testsupport::localPort(listener.fd.get()), base + 2);
    EXPECT_NO_THROW(connectTcp(Loopback, base + 2));
}

TEST(TcpListener, NoFreePort) {
    // Past 65535 the window has nothing to bind; hold the two ports below.
    std::vector<UniqueFd> held;
    for (int port : {65534, 65535}) {
        try {
            held.push_back(listenTcp(Loopback, port));
        } catch (const SystemError&) {
            // Someone else holds it: taken all the same.
        }
    }
    EXPECT_EQ(testsupport::errorOf<SystemError>([] { startTcpListener(Loopback, 65534); }),
              "no free TCP port in 65534..65597");
    // Port 0 would always bind (to any free port), so it is never tried.
    EXPECT_EQ(testsupport::errorOf<SystemError>([] { startTcpListener(Loopback, -63); }),
              "no free TCP port in -63..0");
    EXPECT_EQ(testsupport::errorOf<SystemError>([] { startTcpListener(Loopback, INT32_MAX - 10); }),
              "no free TCP port in 2147483637..2147483700");
}

TEST(TcpSearch, FindsTheSessionPastImpostorsRefusalsAndSilence) {
    Key key = Key::random();
    int base = testsupport::freePortRun(6);
    FakeDaemon other(base, FakeDaemon::Session, "other", key);
    // base + 1: nobody listens.
    UniqueFd silent = listenTcp(Loopback, base + 2);  // accepts, never answers
    FakeDaemon garbage(base + 3, FakeDaemon::Garbage);
    FakeDaemon impostor(base + 4, FakeDaemon::Impostor);
    FakeDaemon right(base + 5, FakeDaemon::Session, "work", key);

    TcpSession found = findTcpSession(Loopback, base, "work", key, 300ms);
    EXPECT_EQ(testsupport::connectionsTo(base, base + 5), 1);  // every other attempt was closed

    // Blocking, no time limit left, and the channel carries on after AttachOk.
    EXPECT_EQ(fcntl(found.fd.get(), F_GETFL) & O_NONBLOCK, 0);
    timeval limit{1, 1};
    socklen_t size = sizeof limit;
    getsockopt(found.fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, &size);
    EXPECT_EQ(limit.tv_sec + limit.tv_usec, 0);
    ProtoClient client(std::move(found.fd));
    std::string sealed;
    found.channel->seal(frameBytes(MsgKind::Resize, resizePayload({80, 24})), sealed);
    ASSERT_TRUE(client.sendRaw(sealed));

    right.stop();
    other.stop();
    impostor.stop();
    EXPECT_EQ(right.afterAttach.kind, MsgKind::Resize);
    EXPECT_EQ(right.attaches, std::vector<std::string>{"work"});
    EXPECT_EQ(other.attaches, std::vector<std::string>{"work"});
    // The impostor got the hello and the client's proof, then the client
    // left: not the name, not a byte of the session.
    EXPECT_EQ(impostor.raw.size(), HelloSize + ProofSize);
    EXPECT_EQ(impostor.raw.find("work"), std::string::npos);
}

TEST(TcpSearch, SessionNotFoundNamesThePortsThatRefuseTheKey) {
    Key key = Key::random();
    int base = testsupport::freePortRun(PortWindow);
    FakeDaemon other(base + 10, FakeDaemon::Session, "other", key);
    EXPECT_EQ(testsupport::errorOf<SystemError>(
                  [&] { findTcpSession(Loopback, base, "work", key, 300ms); }),
              "connect failed: session not found on socket or tcp");
    EXPECT_EQ(testsupport::connectionsTo(base, base + PortWindow - 1), 0);

    FakeDaemon elsewhere(base + 20, FakeDaemon::Session, "work", Key::random());
    EXPECT_EQ(testsupport::errorOf<SystemError>(
                  [&] { findTcpSession(Loopback, base, "work", key, 300ms); }),
              "connect failed: session not found on socket or tcp (port " +
                  std::to_string(base + 20) + " refuses this machine's key)");

    // A daemon that closes at once may serve the session: not "not found".
    FakeDaemon busy(base + 30, FakeDaemon::Closer);
    EXPECT_EQ(testsupport::errorOf<SystemError>(
                  [&] { findTcpSession(Loopback, base, "work", key, 300ms); }),
              "connect failed: session not found on socket or tcp (port " +
                  std::to_string(base + 20) + " refuses this machine's key; port " +
                  std::to_string(base + 30) + " refused the connection)");
    elsewhere.stop();
    EXPECT_EQ(testsupport::errorOf<TcpRefused>(
                  [&] { findTcpSession(Loopback, base, "work", key, 300ms); }),
              "connect failed: session not found on socket or tcp (port " +
                  std::to_string(base + 30) + " refused the connection)");
    other.stop();
    EXPECT_EQ(other.attaches, (std::vector<std::string>{"work", "work", "work", "work"}));
    EXPECT_TRUE(elsewhere.attaches.empty());
}

// A program that never answers holds the search up for half a second, not
// for a whole attempt: one that never even takes its connections (its queue
// full, as it is after a few searches) as well as one that takes them.
TEST(TcpSearch, SilentPortsCostHalfASecondEach) {
    Key key = Key::random();
    int base = testsupport::freePortRun(4);
    UniqueFd silent1 = listenTcp(Loopback, base);
    UniqueFd silent2 = listenTcp(Loopback, base + 1);
    UniqueFd silent3 = listenTcp(Loopback, base + 2);
    FakeDaemon right(base + 3, FakeDaemon::Session, "work", key);
    std::vector<UniqueFd> queued;
    for (int port : {base, base + 1}) {
        try {
            for (int i = 0; i < 64; ++i)
                queued.push_back(
                    connectTcp(Loopback, port, std::chrono::steady_clock::now() + 200ms));
        } catch (const SystemError&) {
            // Full: a connection is no longer made.
        }
    }
    auto start = std::chrono::steady_clock::now();
    TcpSession found = findTcpSession(Loopback, base, "work", key);
    EXPECT_TRUE(found.fd);
    // In turn, each given a whole attempt, the two full ones would take 6 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4000ms);
    right.stop();
}

// --- a real daemon over loopback --------------------------------------------

std::string script(const ScratchDir& scratch, const std::string& body) {
    std::string path = scratch / "session.sh";
    testsupport::writeFile(path, "#!/bin/sh\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

// A daemon of session "tcp" listening from `base`, and the port it took.
struct TcpDaemon {
    ScratchDir scratch;
    int base = testsupport::freePortRun(4);
    std::unique_ptr<DaemonProcess> d;
    int port = 0;

    explicit TcpDaemon(int offset = 0) {
        std::string cmd = script(scratch,
                                 "while read line; do case $line in size) stty size;; "
                                 "*) echo \"[$line]\";; esac; done\n");
        std::string listen = "127.0.0.1:" + std::to_string(base + offset);
        d = std::make_unique<DaemonProcess>(scratch, "tcp", cmd,
                                            std::vector<std::string>{"-l", listen, "--log"});
        EXPECT_TRUE(d->waitReady());
        std::string log = d->waitLog("listening on tcp 127.0.0.1:");
        size_t at = log.find("listening on tcp 127.0.0.1:");
        if (at != std::string::npos) port = std::stoi(log.substr(at + 27));
    }
    Key key() const { return readKeyFile(d->keyFile()); }
    ProtoClient attached() {
        ProtoClient c = ProtoClient::overTcp(Loopback, port, key());
        c.send(MsgKind::Attach, "tcp");
        auto ok = c.next();
        EXPECT_TRUE(ok && ok->kind == MsgKind::AttachOk);
        return c;
    }
};

TEST(TcpDaemon, AttachWithTheKeyWorksEndToEnd) {
    TcpDaemon t;
    ASSERT_EQ(t.port, t.base);
    EXPECT_NE(t.d->logText().find("key file created: " + t.d->keyFile()), std::string::npos);

    ProtoClient c = t.attached();
    c.send(MsgKind::Input, "before\r");  // not live yet: goes to the command all the same
    c.resize(100, 30);
    EXPECT_TRUE(c.outputContains("[before]"));  // in the snapshot or live
    auto echo = [&] {
        for (const Message& m : c.others())
            if (m.kind == MsgKind::Resize) return m.payload;
        return std::string();
    };
    EXPECT_TRUE(c.outputUntil([&](const std::string&) { return !echo().empty(); }));
    EXPECT_EQ(echo(), resizePayload({100, 30}));
    c.send(MsgKind::Input, "size\r");
    EXPECT_TRUE(c.outputContains("30 100"));
    c.resize(90, 20);
    c.send(MsgKind::Input, "size\r");
    EXPECT_TRUE(c.outputContains("20 90"));

    // A second client attaches to the screen as it is now.
    ProtoClient second = t.attached();
    second.resize(90, 20);
    EXPECT_TRUE(second.outputContains("20 90"));

    c.send(MsgKind::Detach, "");
    EXPECT_TRUE(c.waitClosed());
    second.send(MsgKind::Input, "still\r");
    EXPECT_TRUE(second.outputContains("[still]"));
}

// A key that cannot be used stops the session from starting, with the
// reason on the terminal of the user who started it, and leaves no file.
TEST(TcpDaemon, UnusableKeyStopsTheStartWithItsReason) {
    ScratchDir scratch;
    int base = testsupport::freePortRun(1);
    struct Case {
        std::string dir;
        mode_t dirMode, keyMode;
        std::string reason;  // with <key> and <dir>
    } cases[] = {
        {"private", 0700, 0640,
         "key file <key> is open to other users (mode 0640): chmod 600 <key>"},
        {"open", 0755, 0600, "unsafe key directory: <dir> (it must be yours, mode 0700)"},
    };
    for (const Case& c : cases) {
        std::string dir = scratch / c.dir, key = dir + "/key";
        mkdir(dir.c_str(), c.dirMode);
        chmod(dir.c_str(), c.dirMode);
        testsupport::writeFile(key, std::string(KeySize, 'k'));
        chmod(key.c_str(), c.keyMode);
        std::string reason = c.reason;
        for (size_t at; (at = reason.find("<key>")) != std::string::npos;)
            reason.replace(at, 5, key);
        for (size_t at; (at = reason.find("<dir>")) != std::string::npos;)
            reason.replace(at, 5, dir);
        testsupport::ProcessResult r = testsupport::runKiv(
            {"-l", "127.0.0.1:" + std::to_string(base), "new", "tcp", "/bin/cat"},
            {"XDG_RUNTIME_DIR=" + (scratch / "run"), "XDG_DATA_HOME=" + (scratch / "data"),
             "KIV_KEY_FILE=" + key});
        EXPECT_EQ(r.status, 1) << c.dir;
        EXPECT_EQ(r.err, "kiv: daemon failed to start: tcp: " + reason + "\n");
        EXPECT_FALSE(std::filesystem::exists(scratch / "run/kiv/tcp.sock"));
        EXPECT_FALSE(std::filesystem::exists(scratch / "run/kiv/tcp.pid"));
        EXPECT_THROW(connectTcp(Loopback, base), SystemError);
        EXPECT_EQ(testsupport::readFile(key), std::string(KeySize, 'k'));  // left as it was
    }
}

// A raw connection to a daemon, for peers that do not hold the key.
class Stranger {
  public:
    explicit Stranger(int port) : fd_(connectTcp(Loopback, port)) {}
    void send(const std::string& bytes) {
        ASSERT_EQ(::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // What arrives until `count` bytes are in or the daemon closes.
    std::string read(size_t count = SIZE_MAX) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (got.size() < count && !closed_ && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_.get(), POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            ssize_t n = recv(fd_.get(), buf, std::min(sizeof buf, count - got.size()), 0);
            if (n <= 0) closed_ = true;
            if (n > 0) got.append(buf, n);
        }
        return got;
    }
    bool closed() const { return closed_; }

  private:
    UniqueFd fd_;
    bool closed_ = false;
};

TEST(TcpDaemon, PeersWithoutTheKeyGetNothingAndAreClosed) {
    TcpDaemon t;
    ASSERT_NE(t.port, 0);
    for (std::string first :
         {frameBytes(MsgKind::Attach, "tcp"), std::string("\x8f\x13\0\xfe\x42 random", 12)}) {
        Stranger s(t.port);
        s.send(first);
        EXPECT_EQ(s.read(), "");
        EXPECT_TRUE(s.closed());
    }

    // A client with another key: the daemon's fresh nonce, then the end.
    SecureChannel wrong(ChannelRole::Client, Key::random());
    Stranger s(t.port);
    s.send(wrong.hello());
    std::string nonce = s.read(HandshakeNonceSize), plain, proof;
    ASSERT_EQ(nonce.size(), HandshakeNonceSize);
    wrong.receive(nonce, plain, proof);
    s.send(proof);
    EXPECT_EQ(s.read(), "");
    EXPECT_TRUE(s.closed());
    // Logged, but at most once in a while: a stranger knocking in a loop
    // must not fill the disk.
    std::string log = t.d->waitLog("tcp client dropped");
    EXPECT_NE(log.find(": not a kiv peer"), std::string::npos) << log;
    EXPECT_EQ(log.find("authentication failed"), std::string::npos) << log;

    // The daemon serves its own all the same.
    ProtoClient own = t.attached();
    own.resize(80, 24);
    own.send(MsgKind::Input, "after\r");
    EXPECT_TRUE(own.outputContains("[after]"));
}

TEST(TcpDaemon, AlteredReplayedOrCutRecordsEndTheConnection) {
    TcpDaemon t;
    ASSERT_NE(t.port, 0);
    struct Case {
        const char* name;
        std::string (*spoil)(const std::string& record, const std::string& next);
    } cases[] = {
        {"altered",
         [](const std::string& r, const std::string&) {
             std::string bad = r;
             bad[bad.size() / 2] ^= 0x20;
             return bad;
         }},
        {"replayed", [](const std::string& r, const std::string&) { return r + r; }},
        {"cut", [](const std::string& r,
                   const std::string& next) { return r.substr(0, r.size() - 3) + next; }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ProtoClient c = t.attached();
        c.resize(80, 24);
        std::string record = c.wireBytes(MsgKind::Input, std::string("once-") + k.name + "\r");
        std::string next = c.wireBytes(MsgKind::Input, "next\r");
        c.sendRaw(k.spoil(record, next));
        EXPECT_TRUE(c.waitClosed());
        // A replayed record ran once, and nothing ran twice or after it.
        size_t first = c.output().find(std::string("[once-") + k.name + "]");
        if (first != std::string::npos) {
            EXPECT_EQ(c.output().find("[once-", first + 1), std::string::npos);
        }
        EXPECT_EQ(c.output().find("[next]"), std::string::npos);
    }
}

// --- the real client --------------------------------------------------------

// The real client in a tmux pane whose runtime directory has no socket of
// the session, so that it must go over TCP from `base`.
struct RemoteTerminal {
    std::unique_ptr<testsupport::TmuxTerminal> term;
    RemoteTerminal(const TcpDaemon& t, int base) {
        std::string binDir = std::filesystem::path(KIV_BINARY).parent_path();
        std::filesystem::create_directories(t.scratch / "home");
        std::vector<std::string> env = {"HOME=" + (t.scratch / "home"),
                                        "XDG_RUNTIME_DIR=" + (t.scratch / "elsewhere"),
                                        "KIV_KEY_FILE=" + t.d->keyFile(),
                                        "PATH=" + binDir + ":/usr/bin:/bin",
                                        "SHELL=/bin/sh",
                                        "PS1=$ ",
                                        "ENV=",
                                        "TERM=xterm-256color"};
        term = std::make_unique<testsupport::TmuxTerminal>(t.scratch, t.scratch.path(), env);
        term->line("kiv -l 127.0.0.1:" + std::to_string(base) + " attach tcp");
    }
};

#define REQUIRE_TMUX() \
    if (!testsupport::tmuxAvailable()) GTEST_SKIP() << "tmux is not installed"

TEST(TcpClient, CapturedStreamHoldsNeitherTheTypedMarkerNorTheName) {
    REQUIRE_TMUX();
    TcpDaemon t(1);  // base + 1; the relay takes base
    ASSERT_EQ(t.port, t.base + 1);
    auto relay = std::make_unique<testsupport::TcpRelay>(t.base, t.port);
    RemoteTerminal remote(t, t.base);
    ASSERT_TRUE(remote.term->waitRawMode(true));
    remote.term->line("zq-marker-7");
    ASSERT_TRUE(remote.term->waitFor("[zq-marker-7]"));
    remote.term->key("C-g");
    ASSERT_TRUE(remote.term->waitRawMode(false));

    std::string wire = relay->fromClient() + relay->toClient();
    relay.reset();
    EXPECT_GT(wire.size(), 200u);  // the snapshot and the typing did pass
    for (const char* secret : {"zq-marker", "marker-7", "tcp"})
        EXPECT_EQ(wire.find(secret), std::string::npos) << secret;
}

TEST(TcpClient, ImpostorOnALowerPortGetsNoKeystroke) {
    REQUIRE_TMUX();
    TcpDaemon t(1);
    ASSERT_EQ(t.port, t.base + 1);
    FakeDaemon impostor(t.base, FakeDaemon::Impostor);
    RemoteTerminal remote(t, t.base);
    ASSERT_TRUE(remote.term->waitRawMode(true));
    remote.term->line("typed-secret");
    ASSERT_TRUE(remote.term->waitFor("[typed-secret]"));  // the real session has it
    remote.term->key("C-g");
    ASSERT_TRUE(remote.term->waitRawMode(false));
    impostor.stop();
    EXPECT_EQ(impostor.raw.size(), HelloSize + ProofSize);
    EXPECT_EQ(impostor.raw.find("typed"), std::string::npos);
}

TEST(TcpClient, MissingOrOpenKeyFileIsRefusedClearly) {
    ScratchDir scratch;
    std::string key = scratch / "key";
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + (scratch / "run"), "KIV_KEY_FILE=" + key};
    int base = testsupport::freePortRun(1);
    std::vector<std::string> args = {"-l", "127.0.0.1:" + std::to_string(base), "attach", "x"};
    testsupport::ProcessResult missing = testsupport::runKiv(args, env);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "kiv: no key file " + key +
                               ": copy the key file from the daemon's machine "
                               "(~/.config/kiv/key there by default) to this path, mode 0600\n");
    testsupport::writeFile(key, std::string(KeySize, 'k'));
    std::filesystem::permissions(key, std::filesystem::perms::owner_read |
                                          std::filesystem::perms::owner_write |
                                          std::filesystem::perms::others_read);
    testsupport::ProcessResult open = testsupport::runKiv(args, env);
    EXPECT_EQ(open.status, 1);
    EXPECT_EQ(open.err, "kiv: key file " + key + " is open to other users (mode 0604): chmod 600 " +
                            key + "\n");
}

}  // namespace
