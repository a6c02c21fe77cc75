#include "auditor/rate_limit.h"

namespace Vigilog {

bool LogRateLimit::shouldPrintLog(unsigned* suppressed, time_t now) {
  std::lock_guard<std::mutex> g(mutex_);
  if (printed_ && now >= last_ && now - last_ < interval_) {
    ++skipped_;
    return false;
  }
  if (suppressed) *suppressed = skipped_;
  skipped_ = 0;
  last_ = now;
  printed_ = true;
  return true;
}

void LogRateLimit::reset() {
  std::lock_guard<std::mutex> g(mutex_);
  printed_ = false;
  skipped_ = 0;
}

}  // namespace Vigilog
