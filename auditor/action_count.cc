#include "auditor/action_count.h"

namespace ovg {

uint32_t actionCount[AC_COUNT];
std::mutex actionCountMutex;

void incrementActionCount(ActionCounter which) {
  std::lock_guard<std::mutex> g(actionCountMutex);
  ++actionCount[which];
}

uint32_t getActionCount(ActionCounter which) {
  std::lock_guard<std::mutex> g(actionCountMutex);
  return actionCount[which];
}

void resetActionCounts() {
  std::lock_guard<std::mutex> g(actionCountMutex);
  for (uint32_t& c : actionCount) c = 0;
}

}  // namespace ovg
