// Optional TCP access to a session. No file records which port a session
// took: every daemon started with the same base port listens on the first
// free port of a 64-port window, and a client asks each port of the window
// in turn for its session by name.
#pragma once

#include <chrono>
#include <string>

#include "kiv/config.h"
#include "kiv/fd.h"

namespace kiv {

inline constexpr int PortWindow = 64;

// A client gives each port this long to connect and answer its Attach, so
// that a program that accepts but never answers cannot hold the search up.
inline constexpr std::chrono::milliseconds AttemptLimit{3000};

struct TcpListener {
    UniqueFd fd;
    int port = 0;
};

// The daemon's side: listens on the first port from `basePort` to
// basePort + 63 that can be bound. Ports outside 1..65535 are skipped.
// Raises SystemError "no free TCP port in <base>..<base + 63>".
TcpListener startTcpListener(const ListenAddr& addr, int basePort);

// The client's side: for each port of the window, connects, sends Attach
// with `sessionName` and reads one reply; the first connection answered with
// AttachOk is returned, blocking and with no time limit left on it. Any
// other reply or any failure closes that connection and moves on to the
// next port. Each attempt gets `attemptLimit`. Raises SystemError
// "connect failed: session not found on socket or tcp".
UniqueFd findTcpSession(const ListenAddr& addr, int basePort, const std::string& sessionName,
                        std::chrono::milliseconds attemptLimit = AttemptLimit);

}  // namespace kiv
