// The daemon's action counters, reported by the action-count query. Indexes
// 0-9 are counted by the Auditor and the collector connection, 10-13 by the
// local request handlers.
#pragma once
#include <cstdint>
#include <mutex>

namespace ovg {

enum ActionCounter {
  AC_CHECK_CONNECTION = 0,
  AC_SEND_ACTIVE_LIST = 1,
  AC_UPDATE_AGENT_STATUS = 2,
  AC_REBIND_SCP = 3,
  AC_TRY_CONNECT = 4,
  AC_POST_SESSION_DATA = 5,
  AC_FLUSH_SCP_CACHE = 6,
  AC_COLLECTOR_CONNECT = 7,
  AC_UPDATE_STATUS_FAILED = 8,
  AC_DESPOOL_FAILED = 9,
  AC_NSS_BY_NAME = 10,
  AC_NSS_BY_UID = 11,
  AC_OVGSH_CONNECT = 12,
  AC_OVGSH_DISCONNECT = 13,
  AC_COUNT = 14,
};

extern uint32_t actionCount[AC_COUNT];
extern std::mutex actionCountMutex;

void incrementActionCount(ActionCounter which);
uint32_t getActionCount(ActionCounter which);
void resetActionCounts();

}  // namespace ovg
