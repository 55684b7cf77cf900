// The session daemon: one process per session that owns the command's
// pseudo-terminal, the screen model and every client connection, and serves
// them from one single-threaded readiness loop.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kiv/byte_queue.h"
#include "kiv/fd.h"
#include "kiv/key.h"
#include "kiv/log.h"
#include "kiv/protocol.h"
#include "kiv/pty.h"
#include "kiv/reply_filter.h"
#include "kiv/secure_channel.h"
#include "kiv/selector.h"
#include "kiv/session_end.h"
#include "kiv/session_files.h"
#include "screen/terminal.h"

namespace kiv {

// Bytes a client's output queue may hold, frame headers included; a client
// that falls further behind is dropped.
inline constexpr size_t ClientQueueLimit = 16 * 1024 * 1024;
// While more input than this waits for the command, clients' Input is held
// (their other messages are still read).
inline constexpr size_t PtyInputHighWater = 1024 * 1024;
// Connections over TCP that have not sent a valid Attach yet: at most this
// many at once, each for at most AttachTimeout, each holding no more than
// the one Attach that could succeed.
inline constexpr size_t MaxPendingTcp = 16;
inline constexpr auto AttachTimeout = std::chrono::seconds(5);
// Clients past the Attach stage.
inline constexpr size_t MaxClients = 256;
// The most cells a Resize may ask for: a size past this is cut down (rows
// first), so that one erase or one repaint stays cheap whatever a client
// sends. Still more than the largest real terminal.
inline constexpr int64_t MaxCells = 1 << 20;
inline constexpr int64_t MaxGridSide = 4096;  // columns or rows, as the screen library takes

// The size the grid takes for a requested one: within MaxGridSide each way
// and within MaxCells in all, cutting rows first.
WindowSize fitGrid(WindowSize wanted);
inline constexpr int ReadChunk = 4096;
// The scrollback part of an attach snapshot is kept within this many bytes
// (the newest lines win): a history of very wide lines must not make an
// attach cost without end.
inline constexpr size_t SnapshotHistoryBudget = 8 * 1024 * 1024;
// A repaint is framed and sealed this much at a time, as the client's
// socket drains.
inline constexpr size_t RepaintPiece = 256 * 1024;

// Where a connection is on its way to live output.
enum class ClientStage {
    AwaitingAttach,    // a TCP connection that has not named the session yet
    AwaitingSnapshot,  // joined; no output until its first Resize brings the screen
    Live,              // gets every chunk of output and every Resize echo
};

// A client's handle: never reused within a daemon, so it stays valid (or
// finds nothing) however clients come and go.
using ClientId = uint64_t;

struct Client {
    UniqueFd fd;
    ClientStage stage = ClientStage::AwaitingAttach;
    bool overTcp = false;
    // Over TCP, every byte in and out goes through it; its handshake comes
    // before anything else the client may send.
    std::unique_ptr<SecureChannel> channel;
    ByteQueue outBuf;  // whole frames, oldest first
    // A repaint goes out in pieces as the socket drains, so that one larger
    // than the queue's bound (a huge grid full of combining marks) neither
    // costs the client its connection nor sits sealed in memory at once.
    // What the session prints meanwhile waits behind it as plain frames.
    std::string repaint;       // the screen's text not yet framed
    size_t repaintAt = 0;      // how much of it has been framed
    std::string afterRepaint;  // frames for after the repaint, not yet sealed
    bool repainting() const { return repaintAt < repaint.size(); }
    // Bytes still to go out in all.
    size_t queued() const {
        return outBuf.size() + repaint.size() - repaintAt + afterRepaint.size();
    }
    std::string inBuf;     // bytes that do not form a whole frame yet
    bool dropped = false;  // closed and forgotten once the batch of events is done
    // Hung up while its Input was held: out of the selector (a hang-up is
    // reported at every wait) until the held Input can go on.
    bool asleep = false;
    std::chrono::steady_clock::time_point attachDeadline;  // for AwaitingAttach
    // The session the client's process runs inside ("" when none or over
    // TCP), as `kiv attach` asks to refuse an attach that closes a loop.
    std::string insideOf;
    // How it left, for the log, once known ("detached: detach key", ...).
    std::string wayOut;
};

// The command on its terminal, the model of its screen and the input that
// waits for it.
struct Session {
    std::string name;
    std::vector<std::string> command;  // program and arguments, as `kiv ls` shows them
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    WindowSize size{80, 24};  // the terminal's, as the last Resize set it
    Pty pty;
    std::unique_ptr<screen::Terminal> term;
    ByteQueue ptyOut;  // client input not yet written to the master
    bool running = false;  // until the command's terminal closes
};

// Starts the command with its arguments on a new 80x24 pseudo-terminal, with
// the session's name in its environment, and makes its screen.
Session newSession(const std::string& name, const std::string& command,
                   const std::vector<std::string>& args = {});

class Daemon {
  public:
    // Takes the session over; creates the selector and watches the master.
    // Nothing is listened on and no file is made until start().
    explicit Daemon(Session session, Logger log = {});
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Start-up: the pid file, the Unix listener on the session's socket and,
    // with a listen address, the key (made when there is none) and the TCP
    // listener. Raises when the Unix side cannot be set up; a key or a TCP
    // listener that cannot be had is only logged, and TCP stays off.
    void start(const std::string& listen);
    // Serves until the session is over or onShutdown() was called.
    //
    // When the command ends, every client that sees it is told how (an
    // Ended message) and the session is over. When nobody was attached, the
    // daemon stays with the final screen and history and no terminal, until
    // a client attaches: it gets the screen, then the end, and the session
    // is over. A command that could not be executed is not kept: its start
    // already reported why.
    // `waitMask` is the signal mask during each wait (see Selector::wait).
    void run(const sigset_t* waitMask);
    // Tells every attached client that the session was killed when it had
    // not ended by itself, gives queued output its chance, closes every
    // connection, removes the session's files and closes the master.
    void shutdown();

    // One wait of at most `timeoutMs` and its batch of events, then the
    // sweep of dropped clients and the due timers. False once the session
    // is over. With adoptClient() this drives a daemon in-process, over a
    // socketpair, without listeners or session files.
    bool step(int timeoutMs, const sigset_t* waitMask = nullptr);
    // Serves a connected socket as a client: `trusted` as over the Unix
    // socket (no Attach needed), else as over TCP: behind the channel of the
    // daemon's key once it has one (start() with a listen address, or
    // useKey()). Zero when the selector refuses the descriptor, which is
    // then closed.
    ClientId adoptClient(UniqueFd fd, bool trusted);
    void useKey(const Key& key) { key_ = key; }

    const Session& session() const { return session_; }
    // How the command ended; nothing while it runs.
    const std::optional<SessionEnd>& end() const { return end_; }
    const Client* client(ClientId id) const;
    size_t clientCount() const { return clients_.size(); }
    const Selector& selector() const { return sel_; }

  private:
    // The loop's parts (daemon.cpp).
    void acceptClient(int listener, bool trusted);
    bool roomFor(bool trusted);
    bool fromOwner(int fd);
    void shedConnection(int listener);
    void pauseAccepting();
    void logRefusal(const std::string& message);
    bool serviceMaster(const ReadyEvent& ev);
    void commandEnded();
    void stopListening();
    void collectStatus();
    SessionEnd endAsOfNow(SessionEnd end) const;
    std::string endPayload(const SessionEnd& end) const;
    void checkSocket();
    void runTimers();
    int msUntilNextTimer() const;
    void drainClients();

    // The clients (daemon_clients.cpp).
    void serviceClient(ClientId id, const ReadyEvent& ev);
    bool feedClient(ClientId id, std::string_view bytes);
    bool acceptAttach(Client& c, const std::string& name);
    bool handleMessage(ClientId id, MsgKind kind, const std::string& payload);
    void handleResize(ClientId id, const std::string& payload);
    std::string details() const;
    void queueSnapshot(ClientId id);
    bool queueClient(Client& c, MsgKind kind, std::string_view payload);
    bool flushClient(Client& c);
    void refillFromRepaint(Client& c);
    void broadcast(MsgKind kind, std::string_view payload);
    void dropClient(Client& c);
    void sweepClients();
    void updateInterest(Client& c);
    void flushPty();
    void updateInputPause();
    void resumeHeldInput();
    bool holdsInput(const Client& c) const;
    void expireAttachWaits();
    Client* find(ClientId id);
    Client* findByFd(int fd);

    // The command's queries to its terminal (daemon_queries.cpp).
    void answerQueries();
    void toCommand(std::string_view bytes);

    Session session_;
    Logger log_;
    Selector sel_;
    std::string socketPath_;
    // The session files as this daemon made (or found) them.
    std::optional<FileId> socketId_, pidId_, lockId_;
    UniqueFd unixListener_;
    UniqueFd tcpListener_;
    std::chrono::steady_clock::time_point nextSocketCheck_;
    // While the descriptor table is full, the spare is given up for a moment
    // to accept and close a connection, so that the listener never stays
    // readable with nothing to take it (a loop at full CPU).
    UniqueFd spare_;
    std::optional<std::chrono::steady_clock::time_point> acceptPausedUntil_;
    std::chrono::steady_clock::time_point lastRefusalLog_;
    std::map<ClientId, Client> clients_;  // in order of connection
    std::unordered_map<int, ClientId> clientByFd_;
    ClientId lastId_ = 0;
    // The command's terminal has closed and its status is awaited.
    std::optional<std::chrono::steady_clock::time_point> nextReap_;
    std::chrono::steady_clock::time_point terminalClosedAt_;
    std::optional<SessionEnd> end_;
    std::chrono::steady_clock::time_point endedAt_;
    bool over_ = false;            // the end has been seen, or is not to be kept
    bool inputPaused_ = false;     // clients' Input is held while ptyOut is over the mark
    bool heldInputWaits_ = false;  // held Input may go on: resumed after the batch
    ReplyFilter replies_;          // one reply per query from the clients' terminals
    std::optional<Key> key_;       // what TCP clients must prove; none without TCP
    // A stranger knocking in a loop must not fill the disk: refusals are
    // logged at most once per interval.
    std::chrono::steady_clock::time_point nextRefusalLog_{};
    void logRefusal(const Client& c, const char* reason);
};

// Start-up, the loop and shutdown of a session's daemon, with the log and
// the termination signals. Returns when the command's terminal has closed or
// a termination signal arrived; raises when start-up fails.
// `onListening` runs once the session can be reached.
void runDaemon(Session session, const std::string& command, const std::string& listen, bool log,
               const std::function<void()>& onListening = {});

// The handler of SIGTERM, SIGINT and SIGHUP: asks the loop to stop.
void onShutdown(int signal);

}  // namespace kiv
