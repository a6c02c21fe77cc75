// The backlog of the spools as their files show it: records and bytes not yet
// forwarded, and the time of the oldest record. Read by opening each spool
// read-only beside the running daemon (nothing is created or written); the
// spool directories are root's, so only root sees them.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vgctl {

struct SpoolBacklog {
  std::string name;  // "common", "audit trail" or the session spool's directory name
  bool readable = false;
  std::string error;     // why it could not be read
  int64_t records = 0;
  uint64_t bytes = 0;
  bool headTimeKnown = false;
  time_t headTime = 0;  // the oldest record's time (session records carry one)
};

// The common spool, the audit-trail spool and every session spool under
// sessionsDir/<bucket>/<name>.dbq, in that order.
std::vector<SpoolBacklog> readBacklog(const std::string& commonDir, const std::string& atDir,
                                      const std::string& sessionsDir);

}  // namespace vgctl
