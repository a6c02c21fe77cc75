// Rate limiting of repeated log lines: a line is printed at most once per
// interval; the number suppressed in between is reported with the next one.
#pragma once
#include <ctime>
#include <mutex>

namespace Vigilog {

class LogRateLimit {
 public:
  explicit LogRateLimit(int intervalSeconds = 60) : interval_(intervalSeconds) {}
  // True when the caller should print now; *suppressed gets the count skipped since.
  bool shouldPrintLog(unsigned* suppressed = nullptr, time_t now = time(nullptr));
  void reset();

 private:
  std::mutex mutex_;
  int interval_;
  time_t last_ = 0;
  bool printed_ = false;
  unsigned skipped_ = 0;
};

}  // namespace Vigilog
