#include "ovgfw/agent_state.h"

namespace ovgfw {

std::string AgentState::EnumToString(int state) {
  switch (state) {
    case STOPPED: return "Stopped";
    case INITIALIZING: return "Initializing...";
    case DETERMINING_INSTALLATION: return "Determining Installation...";
    case INSTALLATION_NOT_CONFIGURED: return "Installation is not configured";
    case DETERMINING_AUDIT_STORE: return "Determining Audit Store...";
    case NOT_IN_SCOPE: return "The agent is not in the scope of any Audit Store";
    case NOT_CONNECTED: return "The agent is not connected to a Collector";
    case SPOOL_DISK_FULL: return "The disk volume containing the spool is too full";
    case RUNNING: return "Running";
    default: return "Unknown";
  }
}

}  // namespace ovgfw
