// Small helpers for tests that use real sockets.
#pragma once

#include <string>

namespace testsupport {

// The local port a socket is bound to.
int localPort(int fd);

// How many descriptors this process has open.
int openFdCount();

// How many of this process's sockets are connected to a port in
// first..last (accepted sockets, whose own port is in the range, do not
// count).
int connectionsTo(int first, int last);

// A port from `from` upwards whose `count` consecutive ports could all be
// bound on 127.0.0.1 a moment ago. Starts at a random point so that tests
// running in parallel rarely pick the same ports.
int freePortRun(int count, int from = 61000, int to = 65000);

}  // namespace testsupport
