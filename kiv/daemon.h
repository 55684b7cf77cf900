// The session daemon: one process per session that owns the command's
// pseudo-terminal, the screen model and every client connection, and serves
// them from one single-threaded readiness loop.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/byte_queue.h"
#include "kiv/fd.h"
#include "kiv/log.h"
#include "kiv/protocol.h"
#include "kiv/pty.h"
#include "kiv/reply_filter.h"
#include "kiv/selector.h"
#include "screen/terminal.h"

namespace kiv {

// Bytes a client's output queue may hold, frame headers included; a client
// that falls further behind is dropped.
inline constexpr size_t ClientQueueLimit = 16 * 1024 * 1024;
// While more input than this waits for the command, clients are not read.
inline constexpr size_t PtyInputHighWater = 1024 * 1024;
inline constexpr int ReadChunk = 4096;
// The scrollback part of an attach snapshot is kept within this many bytes
// (the newest lines win), so that the whole repaint always fits one message
// and the client's queue: a history of very wide lines must not make a
// session impossible to attach to.
inline constexpr size_t SnapshotHistoryBudget = 8 * 1024 * 1024;

struct Client {
    UniqueFd fd;
    bool attached = false;          // its Input, Resize and Detach are acted on
    bool awaitingSnapshot = false;  // joined, but no screen sent yet: no live output
    ByteQueue outBuf;               // whole frames, oldest first
    std::string inBuf;              // bytes that do not form a whole frame yet
};

struct Session {
    std::string name;
    Pty pty;                      // the master and the command's pid
    std::vector<Client> clients;  // in order of connection
    ByteQueue ptyOut;             // client input not yet written to the master
    bool running = false;
    std::unique_ptr<screen::Terminal> term;
    std::unique_ptr<Selector> sel;
    Logger* log = nullptr;
    bool inputPaused = false;  // clients are not read while ptyOut is over the mark
    ReplyFilter replies;       // one reply per query from the clients' terminals
};

// Starts the command on a new 80x24 pseudo-terminal and makes its screen.
Session newSession(const std::string& name, const std::string& command);

// Start-up, the loop and shutdown. Returns when the command's terminal has
// closed or a termination signal arrived; raises when start-up fails.
void runDaemon(const std::string& name, const std::string& command, Session& session,
               const std::string& listen, bool log);

// The handler of SIGTERM, SIGINT and SIGHUP: asks the loop to stop.
void onShutdown(int signal);

// --- attached clients -------------------------------------------------------
// A false result tells the caller to drop the client.

bool addClient(Session& s, UniqueFd fd, bool trusted);
void setInterest(Session& s, int fd, bool wantWrite);
int clientIndex(const Session& s, int fd);
bool takeClientFrame(Session& s, int index, MsgKind& kind, std::string& payload);
void removeClient(Session& s, int fd);
void dropClient(Session& s, int fd);
void flushPty(Session& s);
bool flushClient(Session& s, int index);
bool queueClient(Session& s, int index, MsgKind kind, std::string_view payload);
void broadcast(Session& s, MsgKind kind, std::string_view payload);
void queueSnapshot(Session& s, int index);
bool handleClientMsg(Session& s, int index, MsgKind kind, const std::string& payload);
bool feedClient(Session& s, Logger& log, int fd, std::string_view bytes);

// --- the command's queries to its terminal (queries.cpp) ---------------------

// After output reached the screen: answers its queries from the model when no
// client's terminal was shown them, else waits for those terminals' replies.
void answerQueries(Session& s);
// A client's input, less other terminals' replies already given, to the command.
void passInput(Session& s, int fd, std::string_view input);
// A client has gone: what it kept back, and answers nobody else will give.
void forgetWatcher(Session& s, int fd);
// Lets kept-back input go once its wait is over (see ReplyFilter::nextRelease).
void releaseReplies(Session& s);

}  // namespace kiv
