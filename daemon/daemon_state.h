// Process-wide state owned by the start-up.
#pragma once
#include <atomic>
#include <string>

#include "server/server_flags.h"

namespace vgd {

struct DaemonState {
  // The running server's flags (set once the server exists; read by the
  // termination signal handler).
  std::atomic<ofw::ServerFlags*> flags{nullptr};
  // Code page of session data ("utf8" or "iso-8859-1").
  std::string srcEncoding = "utf8";
  // Set at shutdown; read by the scheduler thread.
  std::atomic<bool> stopping{false};
  // Set just before the main loop starts; the scheduler sends the start event.
  std::atomic<bool> sendAuditTrailVgdStartSuccess{false};
  // -c was given: core dumps stay off whatever a reload says.
  bool noCore = false;
};

extern DaemonState gState;

void resetActionCounters();

}  // namespace vgd
