// The daemon of one session: it owns the command's pseudo-terminal, the
// model of its screen, the listeners, its timers and the table of client
// connections, and serves them all from one single-threaded readiness loop.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kiv/byte_queue.h"
#include "kiv/client_connection.h"
#include "kiv/deadlines.h"
#include "kiv/delivered_history.h"
#include "kiv/fd.h"
#include "kiv/key.h"
#include "kiv/log.h"
#include "kiv/reply_filter.h"
#include "kiv/selector.h"
#include "kiv/session.h"
#include "kiv/session_end.h"
#include "kiv/session_files.h"
#include "kiv/session_saver.h"

namespace kiv {

// While more input than this waits for the command, clients' Input is held
// (their other messages are still read).
inline constexpr size_t PtyInputHighWater = 1024 * 1024;
// Connections over TCP that have not sent a valid Attach yet: at most this
// many at once, at most MaxPendingPerPeer from one address, each with
// HandshakeTimeout to send its hello and proof (a real client sends them at
// once) and AttachTimeout in all, each holding no more than the one Attach
// that could succeed. A new connection is never turned away for want of a
// place: it takes the place of another (see Daemon::makeRoom).
inline constexpr size_t MaxPendingTcp = 16;
inline constexpr size_t MaxPendingPerPeer = 4;
inline constexpr auto HandshakeTimeout = std::chrono::seconds(1);
inline constexpr auto AttachTimeout = std::chrono::seconds(5);
// Refusals and closed strangers are logged at most once per this interval,
// with how many there were.
inline constexpr auto RefusalLogInterval = std::chrono::seconds(10);
// Clients past the Attach stage.
inline constexpr size_t MaxClients = 256;
// The most cells a Resize may ask for: a size past this is cut down (rows
// first), so that one erase or one repaint stays cheap whatever a client
// sends. Still more than the largest real terminal.
inline constexpr int64_t MaxCells = 1 << 20;
inline constexpr int64_t MaxGridSide = 4096;  // columns or rows, as the screen library takes
// The command's output is read until the master would block, up to this
// much, before the model and the clients see it: under load one frame
// carries several reads, while a lone echo still goes out at once.
inline constexpr size_t MasterReadBound = 64 * 1024;
// The scrollback part of an attach snapshot is kept within this many bytes
// (the newest lines win): a history of very wide lines must not make an
// attach cost without end.
inline constexpr size_t SnapshotHistoryBudget = 8 * 1024 * 1024;
// The history part of a capture is kept within this many bytes (the newest
// lines win), so that the answer stays within the client's queue.
inline constexpr size_t CaptureHistoryBudget = 8 * 1024 * 1024;
// A terminal's identity longer than this is not taken.
inline constexpr size_t MaxTerminalIdentity = 256;

// The size the grid takes for a requested one: from 1 to MaxGridSide each
// way and within MaxCells in all, cutting rows first.
WindowSize fitGrid(WindowSize wanted);

class Daemon {
  public:
    using Clock = std::chrono::steady_clock;

    // Takes the session over; creates the selector and watches the master.
    // Nothing is listened on and no file is made until start().
    explicit Daemon(Session session, Logger log = {});
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Start-up: with a listen address the key (made when there is none),
    // then the pid file, the Unix listener on the session's socket and the
    // TCP listener. Raises, leaving no file, when the key cannot be used or
    // the Unix side cannot be set up; a TCP listener that cannot be had (no
    // free port) is only logged, and TCP stays off.
    void start(const std::string& listen);
    // Serves until the session is over or `stop` is set (to the number of
    // the signal that asks for it, which the log names).
    //
    // When the command ends, every client that sees it is told how (an
    // Ended message) and the session is over. When nobody was attached, the
    // daemon stays with the final screen and history and no terminal, until
    // a client attaches: it gets the screen, then the end, and the session
    // is over when the client says the end back (a client that left before
    // it had them leaves the session as it was). A command that could not
    // be executed is not kept: its start already reported why.
    // `waitMask` is the signal mask during each wait (see Selector::wait).
    void run(const sigset_t* waitMask, const volatile sig_atomic_t& stop);
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
    ClientId adoptClient(UniqueFd fd, bool trusted, std::string peer = {});
    void useKey(const Key& key) { key_ = key; }

    const Session& session() const { return session_; }
    // How the command ended; nothing while it runs.
    const std::optional<SessionEnd>& end() const { return end_; }
    const ClientConnection* client(ClientId id) const;
    size_t clientCount() const { return clients_.size(); }
    size_t pendingInput() const { return ptyOut_.size(); }  // client input the master has not taken
    const Selector& selector() const { return sel_; }

  private:
    // Start-up and the listeners.
    void acceptClient(int listener, bool trusted);
    bool roomForClient();
    void makeRoom(const std::string& peer);
    ClientConnection* evictionCandidate(const std::string* onlyPeer);
    bool fromOwner(int fd);
    void shedConnection(int listener);
    void pauseAccepting();
    void logRefusal(const std::string& message);
    void checkSocket();
    void stopListening();

    // The command's end.
    void commandEnded();
    void collectStatus();
    SessionEnd endAsOfNow(SessionEnd end) const;
    std::string endPayload(const SessionEnd& end) const;

    // The command's side: its output to the model and every client, the
    // clients' input and the model's answers to it.
    bool serviceMaster(const ReadyEvent& ev);
    SharedBytes readOutput(bool& ended);
    void giveBackBacklog();
    void broadcast(const SharedBytes& frame);
    void answerQueries();
    void toCommand(std::string_view bytes);
    void flushPty();
    void updateInputPause();
    void resumeHeldInput();
    void typeAhead();

    // The clients' side.
    void serviceClient(ClientConnection& c, const ReadyEvent& ev);
    void serviceKeyboard(ClientConnection& c);
    void typed(ClientConnection& c, std::string_view keys);
    void watchKeyboard(ClientConnection& c, bool watched);
    void applyEvents(ClientConnection& c);
    bool apply(ClientConnection& c, const ClientEvent& e);
    bool acceptAttach(ClientConnection& c, std::string_view name);
    void handleResize(ClientConnection& c, std::string_view payload);
    void applyRole(ClientConnection& c, const ClientRole& role);
    void detachOthers(ClientConnection& keep);
    void touch(ClientConnection& c);

    // The session's size from the clients' windows, and the repaints that
    // keep every terminal showing what the model shows.
    std::optional<WindowSize> wantedSize() const;
    // `fresh`: a client that has just joined and is sent its screen anyway.
    bool resizeSession(ClientConnection* fresh = nullptr);
    void echoSize();
    void tellAll(MsgKind kind, std::string_view payload);
    void owe(ClientConnection& c);
    void paintOwed();
    void schedulePaint(Clock::time_point at);
    void watchStall(ClientConnection& c);
    std::string details() const;
    bool sendCapture(ClientConnection& c, std::string_view request);
    void dropClient(ClientConnection& c);
    void sweepClients();
    void updateInterest(ClientConnection& c);
    ClientConnection* find(ClientId id);

    // Timers.
    Clock::time_point now();
    int msUntilNextTimer();
    void runTimers();
    void scheduleReplies();
    void scheduleUpdate();
    void drainClients();

    // The saved record.
    void startSaving();
    void scheduleSave();
    int commandPid() const;

    Session session_;
    Logger log_;
    Selector sel_;
    Deadlines timers_;
    // The time of this wakeup, read at most once per wakeup.
    std::optional<Clock::time_point> now_;
    std::optional<Clock::time_point> repliesAt_, updateAt_;  // the soonest of each kind scheduled
    std::string socketPath_;
    // The session files as this daemon made (or found) them.
    std::optional<FileId> socketId_, pidId_, lockId_;
    bool socketBlocked_ = false;  // something not ours stands at the socket path
    UniqueFd unixListener_;
    UniqueFd tcpListener_;
    // While the descriptor table is full, the spare is given up for a moment
    // to accept and close a connection, so that the listener never stays
    // readable with nothing to take it (a loop at full CPU).
    UniqueFd spare_;
    std::optional<Clock::time_point> acceptPausedUntil_;
    // A stranger knocking in a loop must not fill the disk: refusals are
    // logged at most once per interval, with how many there were.
    Clock::time_point nextRefusalLog_{};
    size_t refusalsUnlogged_ = 0;
    std::map<ClientId, std::unique_ptr<ClientConnection>> clients_;  // in order of connection
    std::unordered_map<int, ClientConnection*> clientByFd_;
    std::vector<ClientId> droppedIds_;
    ClientId lastId_ = 0;
    // Output is framed once, in place behind a header, and its buffer is
    // reused once no client's queue holds a share of it.
    std::shared_ptr<char[]> frame_;
    // The command's terminal has closed and its status is awaited.
    bool reaping_ = false;
    Clock::time_point terminalClosedAt_;
    std::optional<SessionEnd> end_;
    Clock::time_point endedAt_;
    bool over_ = false;            // the end has been seen, or is not to be kept
    ByteQueue ptyOut_;             // client input not yet written to the master
    bool inputPaused_ = false;     // clients' Input is held while ptyOut_ is over the mark
    bool heldInputWaits_ = false;  // held Input may go on: resumed after the batch
    ReplyFilter replies_;          // one reply per query from the clients' terminals
    SizePolicy policy_ = SizePolicy::Latest;  // as the last client to attach chose it
    uint64_t activity_ = 0;                   // counts attaches, keys and resizes
    std::vector<ClientId> owing_, stillOwing_;  // clients owed a repaint
    size_t backlog_ = 0;  // the most a client has had queued since memory was given back
    std::optional<Clock::time_point> paintAt_;
    std::optional<Key> key_;       // what TCP clients must prove; none without TCP
    DeliveredHistory delivered_;   // how much of the history each user terminal holds
    // The session's saved record; none when driven in-process or when the
    // state directory cannot be trusted.
    std::unique_ptr<SessionSaver> saver_;
    std::optional<Clock::time_point> saveAt_;
    bool quiet_ = false;  // the last wait brought no events
    const volatile sig_atomic_t* stop_ = nullptr;  // run()'s stop request
};

}  // namespace kiv
