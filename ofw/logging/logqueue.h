// The hand-off between callers of the logger and the background log thread.
#pragma once
#include <string>

#include "ofw/threads/runqueue.h"

namespace ofw {

// Writes a rendered record to the destination (opened on first use): the log
// file when one is open, syslog(priority, "%s", text) otherwise.
void FinalRendering(int priority, const char* text);

// One rendered record (at most 1,024 bytes) and its syslog priority.
class QueuedMessage : public QueueAble {
 public:
  QueuedMessage(int priority, const char* text) : priority_(priority), text_(text) {}
  void run() override { FinalRendering(priority_, text_.c_str()); }
  std::string describe() const override { return text_; }
  const std::string& getText() const { return text_; }
  int getPriority() const { return priority_; }

 private:
  int priority_;
  std::string text_;
};

}  // namespace ofw
