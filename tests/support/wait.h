// Waiting for a condition in tests that run real processes: the condition
// is polled until it holds or the limit passes. A limit only costs time
// when the test is about to fail anyway, so callers choose generous ones.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

using namespace std::chrono_literals;

// Polls `done` until it returns true (then true) or `limit` has passed
// (then false). It is asked once more after the limit: on a loaded machine
// the wait may have slept through the end of the limit, and the condition
// deserves a look at what happened meanwhile.
template <typename Pred>
bool waitUntil(Pred done, std::chrono::milliseconds limit = 10s,
               std::chrono::milliseconds interval = 50ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(interval);
    }
    return done();
}

}  // namespace testsupport
