// The session ping: the agent's status sent to the collector on the control
// channel, in one of four body versions.
//
// Body (after the version byte), values as a packet body encodes them:
//   1 SESSION_PING    int32 update interval, int32 state, string state
//                     description, timestamp startup time
//   2 SESSION_PING_2  version 1, then int64 up time
//   3 SESSION_PING_3  version 2, then string agent version, string host name
//   4 SESSION_PING_4  string: the payload as one compact JSON object
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <string>

namespace ovgfw {

// What the heartbeat reports; filled by the Auditor.
struct SessionPingPayload {
  int32_t updateInterval = 0;
  int32_t state = 0;  // AgentState number
  std::string stateDescription;
  struct timeval startupTime = {0, 0};
  int64_t upTime = 0;  // 100-nanosecond units, as the heartbeat computes it
  std::string agentVersion;
  std::string hostname;
  int64_t sessionOfflineStoreSize = 0;     // KiB
  int64_t auditTrailOfflineStoreSize = 0;  // KiB
  int32_t freeDiskSpace = 0;               // percent
  std::string site;
  int32_t sessionAuditing = 0;
  int32_t deploymentType = 0;
  int32_t advancedMonitoring = 0;
  int32_t despoolRate = 0;
  int32_t fbSessionAuditing = 0;
};

// The payload as one compact JSON object, members in the order of the
// protocol's table ("UpdateInterval" ... "FbSessionAuditing"); "StartupTime"
// carries the seconds, "UpTime" the payload's value as it is.
std::string getSessionPingPayloadInJson(const SessionPingPayload& payload);

// The version byte and the body of that version. Other versions:
// OVGException "Ping packet version unknown: %d.".
std::string sessionPingBody(const SessionPingPayload& payload, int version);

}  // namespace ovgfw
