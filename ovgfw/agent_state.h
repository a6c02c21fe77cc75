// The agent's state numbers, reported to local tools and in the session ping.
#pragma once
#include <string>

namespace ovgfw {

class AgentState {
 public:
  enum State {
    STOPPED = 1,
    INITIALIZING = 2,
    DETERMINING_INSTALLATION = 3,
    INSTALLATION_NOT_CONFIGURED = 4,
    DETERMINING_AUDIT_STORE = 5,
    NOT_IN_SCOPE = 6,
    NOT_CONNECTED = 7,
    SPOOL_DISK_FULL = 8,
    RUNNING = 9,
  };
  // The state's text; "Unknown" for any other number.
  static std::string EnumToString(int state);
};

}  // namespace ovgfw
