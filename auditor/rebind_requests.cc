#include "auditor/rebind_requests.h"

#include <chrono>

namespace Vigilog {

uint64_t RebindRequests::post() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ++posted_;
}

bool RebindRequests::wait(uint64_t ticket, int seconds, Outcome& out) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool done = answered_.wait_for(lock, std::chrono::seconds(seconds < 0 ? 0 : seconds),
                                 [&] { return cancelled_ || served_ >= ticket; });
  if (!done) return false;
  out = cancelled_ ? Outcome() : last_;
  return true;
}

uint64_t RebindRequests::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  return posted_ > served_ ? posted_ : 0;
}

bool RebindRequests::pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return posted_ > served_;
}

void RebindRequests::complete(uint64_t upTo, const Outcome& outcome) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (upTo <= served_) return;
    served_ = upTo;
    last_ = outcome;
  }
  answered_.notify_all();
}

void RebindRequests::cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  answered_.notify_all();
}

}  // namespace Vigilog
