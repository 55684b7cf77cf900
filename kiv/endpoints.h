// The stream sockets a daemon and its clients meet on: the session's
// Unix-domain socket, and TCP over IPv4 or IPv6. Every failure is a
// SystemError with one line of text, and leaves no descriptor open.
//
// All sockets are close-on-exec, so that neither the session's command nor a
// daemon started in the background inherits another process's connections.
#pragma once

#include <chrono>
#include <string>

#include "kiv/config.h"
#include "kiv/fd.h"

namespace kiv {

// A connected blocking socket to a Unix-domain socket path.
// Raises "socket failed", "socket path too long" (over 107 bytes),
// "connect failed: <path>".
UniqueFd connectUnix(const std::string& path);

// The same, made without waiting and left non-blocking: an empty descriptor
// when the listener's queue is full (its daemon stopped or hung, with
// connections waiting that it does not take), where a blocking connect would
// wait until the daemon takes one. Raises as connectUnix when nobody listens.
UniqueFd connectUnixNow(const std::string& path);

// The daemon's listening socket on its session path (backlog 5, blocking).
// An old socket file must already be gone. Raises "socket failed",
// "socket path too long", "bind failed: <path>", "listen failed".
UniqueFd listenUnix(const std::string& path);

// A connected blocking socket to `addr` (IPv4 or IPv6) on `port`.
// Raises "socket failed", "connect failed: <address>:<port>".
UniqueFd connectTcp(const ListenAddr& addr, int port);

// As above, but gives up with the same "connect failed" error when the
// connection is not made by `deadline`. The socket returned is blocking.
UniqueFd connectTcp(const ListenAddr& addr, int port,
                    std::chrono::steady_clock::time_point deadline);

// Starts a connection without waiting for it: a non-blocking socket whose
// connection is made or under way (writable once settled; connectError then
// tells how). Raises "socket failed", or "connect failed: <address>:<port>"
// when it fails at once (nobody listens on a local port).
UniqueFd startConnectTcp(const ListenAddr& addr, int port);

// The error a connection started so ended with; 0 once it is made.
int connectError(int fd);

// A listening socket (backlog 5, blocking, SO_REUSEADDR) on `addr` and
// `port`. An IPv6 listener accepts IPv6 only. Raises "socket failed",
// "cannot bind <address>:<port>", "listen failed".
UniqueFd listenTcp(const ListenAddr& addr, int port);

// Adds O_NONBLOCK to the descriptor's status flags; failures are ignored.
void setNonBlocking(int fd);

}  // namespace kiv
