// Per-collector records of connection and transmission outcomes, kept by the
// collector connection for display (status queries) and for avoiding a
// collector for a while (the off-limits deadline).
#pragma once
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ofw/threads/mutex.h"

namespace ovgfw {

// One collector target ever tried. Times are seconds since the epoch, 0 = never.
struct ConnectionInfo {
  std::string hostPortSpn;
  time_t offLimitsUntil = 0;
  time_t lastConnected = 0;
  time_t lastTransmissionSuccess = 0;
  time_t lastConnectErrorTime = 0;
  time_t lastTransmissionErrorTime = 0;
  std::string lastConnectError;
  std::string lastTransmissionError;
};

typedef std::shared_ptr<ConnectionInfo> ConnectionInfoPtr;

// The records, keyed by the lower-cased target. Every operation takes the
// records lock; a record handed out is shared, and its fields are written
// only under that lock (through this class).
class ConnectionRecords {
 public:
  // The target's record, created empty on first use. An empty target:
  // ofw::SystemException "hostPortSpn may not be empty".
  ConnectionInfoPtr get(const std::string& target);
  // Copies of all records, taken under the lock.
  std::vector<ConnectionInfo> list() const;
  // Avoid the target until now + seconds (an empty target does nothing).
  void markOffLimits(const std::string& target, long seconds);
  // Throws OVGException "SCP: %s is avoided. Reconsider it after %d seconds."
  // while the target is off limits; resets a passed deadline to 0.
  void checkOffLimits(const std::string& target);
  void markConnected(const std::string& target);
  void markConnectError(const std::string& target, const std::string& text);
  void markTransmissionSuccess(const std::string& target);
  void markTransmissionError(const std::string& target, const std::string& text);
  // Creates records for all targets and drops every other record.
  void clean(const std::vector<std::string>& targets);

 private:
  ConnectionInfoPtr getLocked(const std::string& target);

  mutable ofw::Mutex mutex_;
  std::map<std::string, ConnectionInfoPtr> records_;
};

}  // namespace ovgfw
