// A running total of the bytes that a set of block queue files takes on disk,
// kept up to date by the queues themselves (each reports the change of its
// file's size after every operation, and the bytes of a file it deletes), so
// that reading it costs no system call.
//
// A queue counts its file as already accounted at the size it had when the
// queue opened it (or when the account was attached): the owner sets the
// total once from the disk (reset) after opening its queues, and may reset it
// again from the disk now and then to correct what escaped (files moved aside
// or removed by other means). Thread-safe.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

namespace ofw {

class SizeAccount {
 public:
  void add(int64_t delta) { bytes_.fetch_add(delta, std::memory_order_relaxed); }
  // Never below 0, whatever went missing.
  uint64_t bytes() const {
    const int64_t b = bytes_.load(std::memory_order_relaxed);
    return b < 0 ? 0 : static_cast<uint64_t>(b);
  }
  void reset(uint64_t bytes) { bytes_.store(static_cast<int64_t>(bytes), std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> bytes_{0};
};

typedef std::shared_ptr<SizeAccount> SizeAccountPtr;

}  // namespace ofw
