// A man in the middle for TCP tests: listens on a port of its own, forwards
// each connection to another port and records every byte that passes, in
// both directions.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "kiv/fd.h"

namespace testsupport {

class TcpRelay {
  public:
    // Listens on 127.0.0.1:`port` and forwards to 127.0.0.1:`target`.
    TcpRelay(int port, int target);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    // What the connecting side sent, and what it was sent back.
    std::string fromClient() const;
    std::string toClient() const;

  private:
    void serve();
    void relay(int client, int daemon);

    kiv::UniqueFd listener_;
    int target_;
    mutable std::mutex mutex_;
    std::string fromClient_, toClient_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace testsupport
