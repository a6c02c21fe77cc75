// The flags by which other threads and signal handlers steer the server loop.
// Each is a lock-free atomic: signal handlers write them, the loop reads them
// once per iteration.
#pragma once
#include <atomic>

namespace ofw {

struct ServerFlags {
  std::atomic<bool> stop{false};
  std::atomic<bool> restart{false};
  std::atomic<bool> reloadPending{false};
  std::atomic<bool> purgeIdle{false};
  // -c was given: a reload never re-enables core dumps.
  std::atomic<bool> noCore{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "flags are written by signal handlers");
};

}  // namespace ofw
