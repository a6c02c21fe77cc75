// Polling for a condition another thread brings about.
#pragma once
#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Polls `done` every millisecond for up to a minute (the machine is shared:
// only a hang fails); returns its last value.
inline bool waitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 60000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

}  // namespace testsupport
