// Fuzz target for the daemon's handling of what clients send: a daemon
// driven in-process, its clients on socketpairs, its command's side of the
// pseudo-terminal held here (raw, no process behind it).
//
// Input: byte 0 chooses the clients (1 to 3; bit 4 + k makes client k a
// local one, which needs no Attach; a local observer that is live from the
// start comes after them), then a script of operations:
//   0 k n bytes      client k sends n raw bytes
//   1 k kind n bytes client k sends one frame (any kind byte; a Role never
//                    asks to detach the others)
//   2 k c c r r      client k sends a Resize (columns, rows)
//   3 k how          client k sends Attach: the name, another, a prefix
//   4 k n bytes      the command writes n + 1 bytes of output (without ESC
//                    when k is even)
//   5 k              the daemon catches up (k unused)
//   6 k              client k closes its end
//   7 k              the command stops reading its input, or reads again
//   8 k n b          client k sends one Input of (n % 24 + 1) x 64 KiB of
//                    the byte b: with the command not reading, enough to
//                    make the daemon hold its clients' input
// Everything a client sends is also read here the way the daemon reads it,
// so what the daemon must and must not do can be checked: every frame it
// sends is well formed and expected at that point, the command receives
// exactly the input of the joined clients that may type, a live client
// that is no terminal (the observer among them) receives the command's
// output unchanged, and so does a terminal while every window is the
// session's size, and every client is gone once closed. A Role that
// detaches the others (in raw bytes) ends the checks: the run goes on
// only to the end of the clients.
#include <linux/sockios.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/session_daemon.h"
#include "kiv/endpoints.h"
#include "kiv/errors.h"
#include "kiv/protocol.h"

namespace {

using kiv::MsgKind;

constexpr const char* SessionName = "fuzz";

[[noreturn]] void fault(const char* what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "daemon invariant broken: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}

void require(bool ok, const char* what, long long a = 0, long long b = 0) {
    if (!ok) fault(what, a, b);
}

class Script {
  public:
    Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    size_t offset() const { return pos_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string_view bytes(size_t n) {
        n = std::min(n, size_ - pos_);
        std::string_view s(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// One client as seen from its own end, with a model of what the daemon has
// been told: the frames it sent, read as the daemon reads them.
struct Peer {
    kiv::UniqueFd mine;
    kiv::ClientId id = 0;
    bool local = false;
    bool open = true;       // our end is open
    bool gone = false;      // the daemon closed its end
    std::string sent;       // every byte sent
    size_t parsed = 0;      // how far `sent` has been read as frames
    bool finished = false;  // a frame that ends the connection was sent
    bool joined = false;    // Attach accepted (or a local client)
    bool resized = false;   // a Resize after joining: the snapshot is due
    bool plain = false;     // no terminal (its Role): live output from the start
    bool witness = false;   // the observer: plain from before the first output
    bool readOnly = false;  // its keys are ignored
    std::string input;      // the Input payloads the daemon must pass on
    std::string received;   // every byte from the daemon
    size_t taken = 0;       // how far `received` has been checked
    bool gotAttachOk = false, gotError = false, gotSnapshot = false;
    bool terminalAsked = false, gotDirect = false;  // the handover of its terminal
    int keyboardsOffered = 0, keyboardsBack = 0;
    int detailsAsked = 0, detailsGot = 0;
    int capturesAsked = 0, capturesGot = 0;  // answers end with an empty frame
    std::string liveOutput;            // Output after the snapshot
    size_t outputWhenLive = SIZE_MAX;  // the command's output so far when it was seen live
};

struct World {
    kiv::Daemon* daemon = nullptr;
    kiv::UniqueFd slave;
    std::vector<Peer> peers;
    std::string output;   // everything the command wrote
    std::string command;  // everything the command read
    // The command's output held an escape sequence, which may be a query:
    // the daemon may then answer it itself and leave out the clients'
    // second answers, so the input is not the clients' alone.
    bool queries = false;
    // The command does not read its input: the daemon's queue to it grows
    // until it holds its clients' input back.
    bool commandStopped = false;
    size_t largeInput = 0;  // bytes sent by operation 8, kept to a few MiB a run
    std::set<std::string> resizes;  // payloads of Resizes the daemon must act on
    // A window other than the session's first size was sent, or a size
    // policy that makes sizes of its own: terminals may be repainted, and
    // echoes may name a size nobody sent.
    bool sizes = false;
    bool policies = false;
    bool othersDetached = false;  // a Role detached the others: nothing more is checked
    size_t resizeCount = 0;
};

// Reads the frames a client has sent so far as the daemon does, up to the
// first that ends the connection.
void model(World& w, Peer& p) {
    while (!p.finished) {
        std::string_view rest = std::string_view(p.sent).substr(p.parsed);
        if (rest.size() < kiv::HeaderSize) return;
        auto h = reinterpret_cast<const unsigned char*>(rest.data());
        size_t length = size_t(h[2]) << 24 | size_t(h[3]) << 16 | size_t(h[4]) << 8 | h[5];
        if (h[0] != kiv::ProtocolVersion || length > kiv::MaxPayload) {
            p.finished = true;
            return;
        }
        if (rest.size() < kiv::HeaderSize + length) return;
        if (h[1] > uint8_t(MsgKind::Keys)) {  // a kind it does not know ends the connection
            p.finished = true;
            return;
        }
        auto kind = MsgKind(h[1]);
        std::string payload(rest.substr(kiv::HeaderSize, length));
        p.parsed += kiv::HeaderSize + length;
        if (!p.joined) {
            if (kind != MsgKind::Attach) continue;  // ignored until then
            if (payload != SessionName) {
                p.finished = true;
                return;
            }
            p.joined = true;
            continue;
        }
        if (kind == MsgKind::Detach) {
            p.finished = true;
        } else if (kind == MsgKind::Input) {
            if (!p.readOnly) p.input += payload;
        } else if (kind == MsgKind::Role) {
            // Heard only before the screen is sent.
            if (p.resized || p.plain) continue;
            kiv::ClientRole role = kiv::readRole(payload);
            p.readOnly = role.readOnly;
            p.plain = !role.terminal;
            if (p.plain) p.resized = p.gotSnapshot = true;
            if (role.terminal && !role.readOnly && role.policy != kiv::SizePolicy::Latest)
                w.policies = true;
            if (role.detachOthers) w.othersDetached = true;
            // A local terminal is asked for its terminal once; without one
            // handed over (a Direct frame with no descriptor), nothing changes.
            if (role.handsTerminal && role.terminal && p.local) p.terminalAsked = true;
        } else if (kind == MsgKind::Direct && !payload.empty()) {
            // A keyboard offered: never taken here (no terminal comes with
            // it), so handed back at once.
            ++p.keyboardsOffered;
        } else if (kind == MsgKind::Details) {
            ++p.detailsAsked;
        } else if (kind == MsgKind::Capture) {
            ++p.capturesAsked;
        } else if (kind == MsgKind::Resize && payload.size() >= 4) {
            if (p.plain) continue;  // no size
            p.resized = true;
            if (payload.substr(0, 4) != kiv::resizePayload({80, 24}) || kiv::asksRepaint(payload))
                w.sizes = true;
            // Echoed as the size the grid took: cut when beyond its bounds,
            // and only its first four bytes.
            w.resizes.insert(kiv::resizePayload(kiv::fitGrid(*kiv::readResize(payload))));
            ++w.resizeCount;
        }
    }
}

// Checks the frames a client has received since the last look.
void checkReceived(World& w, Peer& p) {
    if (w.othersDetached) return;
    for (;;) {
        std::string_view rest = std::string_view(p.received).substr(p.taken);
        if (rest.size() < kiv::HeaderSize) return;
        auto h = reinterpret_cast<const unsigned char*>(rest.data());
        size_t length = size_t(h[2]) << 24 | size_t(h[3]) << 16 | size_t(h[4]) << 8 | h[5];
        require(h[0] == kiv::ProtocolVersion, "frame of another version", h[0]);
        require(length <= kiv::MaxPayload, "frame too large", (long long)length);
        if (rest.size() < kiv::HeaderSize + length) return;
        std::string_view payload = rest.substr(kiv::HeaderSize, length);
        p.taken += kiv::HeaderSize + length;
        require(!p.gotError, "a frame after Error");
        switch (MsgKind(h[1])) {
            case MsgKind::AttachOk:
                require(!p.local && !p.gotAttachOk && p.taken == kiv::HeaderSize,
                        "AttachOk not first or not asked for");
                require(p.joined, "AttachOk without the right name");
                p.gotAttachOk = true;
                break;
            case MsgKind::Error:
                require(payload == "no such session", "Error text", (long long)length);
                require(!p.local && !p.joined, "Error after a good Attach");
                p.gotError = true;
                break;
            case MsgKind::Output:
                require(p.resized, "Output before the client's Resize");
                if (p.plain) {
                    p.liveOutput += payload;  // the screen's text first: empty here
                } else if (!p.gotSnapshot) {
                    p.gotSnapshot = true;
                    // The whole screen, or a window of another size repainted.
                    require(payload.find("\x1b[H\x1b[J") != std::string_view::npos ||
                                payload.find("\x1b[2J") != std::string_view::npos,
                            "the first Output is no repaint", (long long)length);
                } else {
                    p.liveOutput += payload;
                }
                break;
            case MsgKind::Direct:
                require(p.terminalAsked && !p.gotDirect, "a terminal asked for unbidden");
                p.gotDirect = true;
                break;
            case MsgKind::Keys:
                require(payload.empty() && ++p.keyboardsBack <= p.keyboardsOffered,
                        "a keyboard handed back that was not offered");
                break;
            case MsgKind::Details:
                require(++p.detailsGot <= p.detailsAsked, "Details nobody asked for");
                break;
            case MsgKind::Capture:
                if (payload.empty())
                    require(++p.capturesGot <= p.capturesAsked, "Capture nobody asked for");
                break;
            case MsgKind::Resize:
                require(p.gotSnapshot, "a Resize echo before the snapshot");
                require(w.policies || w.resizes.count(std::string(payload)) == 1 ||
                            payload == kiv::resizePayload({80, 24}),
                        "an echo of no Resize sent");
                break;
            default:
                fault("a kind the daemon never sends", h[1]);
        }
    }
}

void drainPeers(World& w, bool& progress) {
    char buf[65536];
    for (Peer& p : w.peers) {
        if (!p.open || p.gone) continue;
        for (;;) {
            ssize_t n = recv(p.mine.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                p.received.append(buf, size_t(n));
                progress = true;
                continue;
            }
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                p.gone = true;
                progress = true;
            }
            break;
        }
        checkReceived(w, p);
        const kiv::ClientConnection* c = w.daemon->client(p.id);
        if (c && c->stage() == kiv::ClientStage::Live && p.outputWhenLive == SIZE_MAX)
            p.outputWhenLive = w.output.size();
    }
    while (!w.commandStopped) {
        ssize_t n = read(w.slave.get(), buf, sizeof buf);
        if (n <= 0) break;
        w.command.append(buf, size_t(n));
        progress = true;
    }
}

int pending(int fd, unsigned long request) {
    int n = 0;
    return ioctl(fd, request, &n) == 0 ? n : 0;
}

// Steps the daemon until everything sent has been read and answered.
void catchUp(World& w) {
    for (int round = 0;; ++round) {
        require(round < 20000, "the daemon makes no progress");
        bool progress = false;
        w.daemon->step(0);
        drainPeers(w, progress);
        if (progress) continue;
        int master = w.daemon->session().pty.masterFd();
        bool idle =
            pending(master, FIONREAD) == 0 && (w.commandStopped || w.daemon->pendingInput() == 0);
        // Input held back stays in the clients' sockets until the command
        // reads again.
        bool held = w.daemon->pendingInput() > kiv::PtyInputHighWater;
        for (Peer& p : w.peers) {
            if (!p.open || p.gone) continue;
            const kiv::ClientConnection* c = w.daemon->client(p.id);
            idle =
                idle && (held || pending(p.mine.get(), SIOCOUTQ) == 0) && (!c || c->queued() == 0);
        }
        if (!idle) continue;
        // The command's output reaches the master a moment after it was
        // written: the observer, live from the start, tells when all of it
        // has been read.
        const Peer& observer = w.peers.back();
        require(!observer.gone, "the observer was dropped");
        if (observer.liveOutput.size() == w.output.size()) return;
        pollfd ready{master, POLLIN, 0};
        require(poll(&ready, 1, 2000) == 1, "the command's output is never read",
                (long long)observer.liveOutput.size(), (long long)w.output.size());
    }
}

void send(World& w, Peer& p, std::string_view bytes) {
    if (!p.open) return;
    p.sent.append(bytes);
    model(w, p);
    for (size_t off = 0; off < bytes.size() && !p.gone;) {
        ssize_t n = ::send(p.mine.get(), bytes.data() + off, bytes.size() - off,
                           MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            off += size_t(n);
        } else if (n < 0 && errno == EAGAIN) {
            bool progress = false;
            w.daemon->step(0);
            drainPeers(w, progress);
            // The daemon holds this client's input back: only the command
            // reading again lets it go on, as a real one does sooner or later.
            if (!progress && w.daemon->pendingInput() > kiv::PtyInputHighWater)
                w.commandStopped = false;
        } else {
            p.gone = true;  // the daemon closed it: the rest is lost
        }
    }
}

void finalPeerChecks(World& w);

void finalChecks(World& w) {
    // The command got the joined clients' input, each client's in order.
    if (w.queries) return finalPeerChecks(w);
    std::string all;
    size_t senders = 0;
    bool cut = false;
    for (const Peer& p : w.peers) {
        if (p.input.empty()) continue;
        ++senders;
        all += p.input;
        cut = cut || p.gone || !p.open;
    }
    if (senders == 1 && !cut) {
        require(w.command == all, "the command's input differs", (long long)w.command.size(),
                (long long)all.size());
    } else if (!cut) {
        require(w.command.size() == all.size(), "the command's input has another length",
                (long long)w.command.size(), (long long)all.size());
    } else {
        require(w.command.size() <= all.size(), "the command got input nobody sent",
                (long long)w.command.size(), (long long)all.size());
    }
    finalPeerChecks(w);
}

void finalPeerChecks(World& w) {
    for (const Peer& p : w.peers) {
        if (p.gone || !p.open) continue;
        require(p.taken == p.received.size(), "a frame left unfinished",
                (long long)(p.received.size() - p.taken));
        // A live client got the command's output unchanged from some point
        // on, no later than where it was when it was seen live: one that
        // is no terminal, and a terminal while no window or policy gave the
        // session another size (a window of another size is repainted).
        // Another plain client's first Output is the screen's text.
        bool mirrored = p.plain ? p.witness : !w.sizes && !w.policies;
        if (p.gotSnapshot && mirrored) {
            size_t from = w.output.size() - std::min(w.output.size(), p.liveOutput.size());
            require(p.liveOutput.size() <= w.output.size() &&
                        std::string_view(w.output).substr(from) == p.liveOutput,
                    "live output is not the command's output", (long long)p.liveOutput.size(),
                    (long long)w.output.size());
            require(p.outputWhenLive == SIZE_MAX || from <= p.outputWhenLive, "live output lost",
                    (long long)from, (long long)p.outputWhenLive);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Script script(data, size);
    uint8_t setup = script.byte();

    int master = -1, slave = -1;
    winsize ws{24, 80, 0, 0};
    if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) return 0;
    World w;
    w.slave.reset(slave);
    termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    kiv::setNonBlocking(slave);

    kiv::Session s;
    s.name = SessionName;
    s.pty = kiv::Pty(kiv::UniqueFd(master), -1);
    s.term = screen::newTerminal(80, 24, 50);
    s.running = true;
    kiv::Daemon daemon(std::move(s));
    w.daemon = &daemon;

    size_t count = 1 + setup % 3;
    w.peers.resize(count);
    for (size_t k = 0; k < count; ++k) {
        Peer& p = w.peers[k];
        int fds[2];
        require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
        p.mine.reset(fds[0]);
        p.local = (setup >> (4 + k)) & 1;
        p.joined = p.local;
        p.id = daemon.adoptClient(kiv::UniqueFd(fds[1]), p.local);
        require(p.id != 0, "client refused");
    }
    // The observer: a local client that the script does not touch, live
    // from the start with the size the terminal already has.
    Peer& observer = w.peers.emplace_back();
    int fds[2];
    require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
    observer.mine.reset(fds[0]);
    observer.local = observer.joined = observer.witness = true;
    observer.id = daemon.adoptClient(kiv::UniqueFd(fds[1]), true);
    kiv::ClientRole plain;
    plain.terminal = false;
    send(w, observer, kiv::frameBytes(MsgKind::Role, kiv::rolePayload(plain)));
    catchUp(w);

    while (!script.done() && !w.othersDetached) {
        uint8_t op = script.byte() % 9;
        Peer& p = w.peers[script.byte() % count];
        switch (op) {
            case 0:
                send(w, p, script.bytes(script.byte()));
                break;
            case 1: {
                uint8_t kind = script.byte();
                std::string_view payload = script.bytes(script.byte());
                std::string role;
                if (kind % 16 == uint8_t(MsgKind::Role)) {
                    kiv::ClientRole r = kiv::readRole(payload);
                    r.detachOthers = false;
                    payload = role = kiv::rolePayload(r);
                }
                std::string frame = kiv::frameBytes(MsgKind::Input, payload);
                frame[1] = char(kind % 16);
                send(w, p, frame);
                break;
            }
            case 2: {
                std::string_view size = script.bytes(4);
                send(w, p, kiv::frameBytes(MsgKind::Resize, size));
                break;
            }
            case 3: {
                uint8_t how = script.byte() % 3;
                std::string name = how == 0 ? SessionName : how == 1 ? "other" : "fuz";
                send(w, p, kiv::frameBytes(MsgKind::Attach, name));
                break;
            }
            case 4: {
                // Output with its ESC (and C1 CSI) bytes taken out when the client byte
                // is even: input then reaches the command unfiltered.
                bool plain = (data[script.offset() - 1] & 1) == 0;
                std::string out(script.bytes(1 + script.byte()));
                if (plain) std::erase_if(out, [](char c) { return c == '\x1b' || c == '\x9b'; });
                w.queries = w.queries || out.find_first_of("\x1b\x9b") != std::string::npos;
                for (size_t off = 0; off < out.size();) {
                    ssize_t n = write(w.slave.get(), out.data() + off, out.size() - off);
                    if (n <= 0) {
                        catchUp(w);
                        continue;
                    }
                    w.output.append(out.substr(off, size_t(n)));
                    off += size_t(n);
                }
                break;
            }
            case 5:
                catchUp(w);
                break;
            case 6:
                catchUp(w);
                p.mine.reset();
                p.open = false;
                break;
            case 7:
                w.commandStopped = !w.commandStopped;
                break;
            case 8: {
                size_t length = (script.byte() % 24 + 1) * size_t{65536};
                char fill = char(script.byte());
                if (w.largeInput + length > 4 * kiv::PtyInputHighWater) break;
                w.largeInput += length;
                send(w, p, kiv::frameBytes(MsgKind::Input, std::string(length, fill)));
                break;
            }
        }
    }
    // Every input held back reaches the command once it reads again.
    w.commandStopped = false;
    if (!w.othersDetached) {
        catchUp(w);
        finalChecks(w);
    }

    // Once every client has closed its end, the daemon holds none of them.
    for (Peer& p : w.peers) {
        p.mine.reset();
        p.open = false;
    }
    for (int round = 0; daemon.clientCount() > 0; ++round) {
        require(round < 1000, "a closed client is kept", (long long)daemon.clientCount());
        daemon.step(0);
    }
    return 0;
}
