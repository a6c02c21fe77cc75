// The agent's state as the daemon reports it: the current state (number,
// description, installation name and attribute, audit store, collector), a
// masked copy of it that local tools read, the count of missed heartbeats
// and the daemon's start time.
//
// The masked copy follows the current state at once for every state but 7
// (not connected), which it follows only after `agent.max.missed.update.tolerance`
// (4) missed heartbeats: a short connection loss stays hidden from local
// reporting. Each change of the masked state to 7 logs one WARN, each change
// to 9 one INFO.
//
// Every member is guarded by one mutex, so any thread may call any function.
// The online probe is called with that mutex held and must not call back in.
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"

namespace Vigilog {

struct AgentStateFields {
  int state = 2;  // ovgfw::AgentState number
  std::string description;
  std::string installation;
  int installationAttribute = 0;
  std::string auditStore;
  std::string collector;
};

struct MaskedAgentState : AgentStateFields {
  bool online = false;
  bool atOnline = false;
};

// `agent.max.missed.update.tolerance`, 4 when empty.
int missedUpdateTolerance();

// The heartbeat's up time in 100-nanosecond units from the start to now;
// a clock set back before the start gives 0 (with a DEBUG line).
int64_t upTimeUnits(const struct timeval& start, time_t now, const ofw::LoggerPtr& logger);

class AgentStatus {
 public:
  // Whether the collector connection's session and audit-trail channels are up.
  typedef std::function<void(bool* online, bool* atOnline)> OnlineProbe;

  explicit AgentStatus(ofw::LoggerPtr logger);
  AgentStatus(const AgentStatus&) = delete;
  AgentStatus& operator=(const AgentStatus&) = delete;

  // Without a probe the connection counts as down.
  void setOnlineProbe(OnlineProbe probe);

  // Stores the description and the state (a changed state updates the masked
  // copy); state 9 resets the missed-heartbeat count.
  void setState(int state, const std::string& description);
  int getState();
  std::string getStateDescription();
  // Set by collector discovery and selection; read by the next masked update.
  void setInstallation(const std::string& name, int attribute);
  void setAuditStore(const std::string& name);
  void setCollector(const std::string& name);
  AgentStateFields current();

  // Brings the masked copy up to date under the rules above.
  void updateMaskedState();
  // Whether the current state (or the probe's online flag) differs from the masked copy.
  bool isStateDiffer();

  // A heartbeat reached the collector: the count goes back to 0.
  void heartbeatSucceeded();
  // A heartbeat was missed: the count goes up by one (saturating).
  void heartbeatMissed();
  uint32_t heartbeatFailures();

  void setStartTime(const struct timeval& start);
  struct timeval startTime();

  MaskedAgentState masked();
  bool isOnlineMasked();
  bool isATOnlineMasked();
  void getCurrentInfo(int32_t* state, std::string* description, std::string* installation, bool* online,
                      std::string* auditStore, std::string* collector);

 private:
  void updateMaskedLocked();
  bool differsLocked(bool online);
  void probe(bool* online, bool* atOnline);

  ofw::Mutex mutex_;
  AgentStateFields current_;
  MaskedAgentState masked_;
  uint32_t failures_ = 0;
  struct timeval start_ = {0, 0};
  OnlineProbe probe_;
  ofw::LoggerPtr logger_;
};

}  // namespace Vigilog
