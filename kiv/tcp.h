// Optional TCP access to a session. No file records which port a session
// took: every daemon started with the same base port listens on the first
// free port of a 64-port window, and a client asks each port of the window
// in turn for its session by name, inside a channel that both ends have
// proved the per-user key on (secure_channel.h).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "kiv/config.h"
#include "kiv/errors.h"
#include "kiv/fd.h"
#include "kiv/key.h"
#include "kiv/secure_channel.h"

namespace kiv {

inline constexpr int PortWindow = 64;

// A client gives each port this long to answer its Attach, and at most
// SilenceLimit to take the connection and as long to answer the hello, so
// that a program that never answers holds the search up for little.
inline constexpr std::chrono::milliseconds AttemptLimit{3000};
inline constexpr std::chrono::milliseconds SilenceLimit{500};

// The search found no session, but a daemon closed a connection before
// answering (its waiting places were taken): not "no such session".
class TcpRefused : public SystemError {
  public:
    using SystemError::SystemError;
};

struct TcpListener {
    UniqueFd fd;
    int port = 0;
};

// The daemon's side: listens on the first port from `basePort` to
// basePort + 63 that can be bound. Ports outside 1..65535 are skipped.
// Raises SystemError "no free TCP port in <base>..<base + 63>".
TcpListener startTcpListener(const ListenAddr& addr, int basePort);

// Small writes go out at once instead of waiting for the peer to
// acknowledge earlier ones: a keystroke is one small record. Failures are
// ignored (the connection only gets slower).
void setNoDelay(int fd);

// A session found over TCP: the connection, the channel every later byte
// goes through, and the plain bytes that came after AttachOk.
struct TcpSession {
    UniqueFd fd;
    std::unique_ptr<SecureChannel> channel;
    std::string received;
};

// The client's side: for each port of the window, connects and runs the
// handshake with `key`; only once the peer there has proved the key does it
// send Attach with `sessionName`, sealed, and read one reply. The first
// connection answered with AttachOk is returned, blocking and with no time
// limit left on it. A peer that fails the proof (an impostor), any other
// reply and any failure close that connection and move on to the next port.
// Each attempt gets `attemptLimit`; ports that did not take the connection
// within SilenceLimit are set aside, and given `attemptLimit` in all, at once,
// after the others. Raises SystemError "connect failed:
// session not found on socket or tcp", followed by the ports whose daemon
// closed the connection on the client's proof (KeyError: "refuses this
// machine's key") and those that closed it before answering at all
// (TcpRefused: "refused the connection").
TcpSession findTcpSession(const ListenAddr& addr, int basePort, const std::string& sessionName,
                          const Key& key, std::chrono::milliseconds attemptLimit = AttemptLimit);

}  // namespace kiv
