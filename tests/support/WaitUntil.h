#pragma once
// Waiting for what another thread or process does: the condition is polled until it holds. The
// time limit only keeps a broken test from hanging; it is never what a test proves.
//
//   ASSERT_TRUE(testsupport::WaitUntil([&] { return server.Requests() == 2; }));
//   // between polls, pump an event loop instead of sleeping:
//   testsupport::WaitUntil(done, 10000, [] { PumpEvents(); return true; });

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace testsupport {

// Polls `done` until it holds; true then. False once `timeoutMs` of real time passed (negative:
// no limit) or `between` returned false (e.g. a server that stops). Between polls runs `between`,
// or sleeps a millisecond when there is none.
inline bool WaitUntil(const std::function<bool()>& done, int64_t timeoutMs = 10000,
                      const std::function<bool()>& between = {}) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return done();
    if (between) {
      if (!between()) return done();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}

}  // namespace testsupport
