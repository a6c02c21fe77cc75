// One audit-trail event reported by a local program, the checks of its
// sender-laid-out fields, and the audit-trail message it is spooled as.
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <string>

#include "ofw/guid.h"
#include "ofw/logging/logger.h"

namespace audittrail {

// An event time; absent when the sender sent none (the message then carries
// the current time).
struct EventTime {
  bool present = false;
  struct timeval tv = {0, 0};
};

// AuditTrailSessionData: a blob holding the sender's struct timeval. 16 bytes
// (64-bit seconds and microseconds) and 8 bytes (32-bit ones) are read; an
// empty blob is no time; any other length logs the WARN line and gives 0.
EventTime eventTimeFromTimeval(const std::string& blob, const ofw::LoggerPtr& logger);
// AuditTrailSessionData2: seconds and microseconds, 8 bytes each. Both empty
// is no time; a part of another length logs its WARN line and is 0.
EventTime eventTimeFromParts(const std::string& seconds, const std::string& microseconds,
                             const ofw::LoggerPtr& logger);
// 8 bytes give the 64-bit pid; any other length gives 0.
uint64_t pidFromBlob(const std::string& blob);
// The session GUID of its 8-4-4-4-12 text; any other text logs the DEBUG line
// and gives the all-zero GUID.
ofw::Guid sessionGuidFromText(const std::string& text, const ofw::LoggerPtr& logger);

struct ATEvent {
  std::string first;   // request field 1
  std::string second;  // request field 2
  uint32_t eventId = 0;
  EventTime time;
  std::string fifth;   // request field 5
  std::string sixth;   // request field 6
  ofw::Guid session;
  uint64_t pid = 0;
  std::string parameters;  // the rendered parameter list
};

// The audit-trail message's bytes (the spooled record), in order: byte 2,
// first, second, int32 event id, timestamp (now when absent), fifth, sixth,
// "" (the user SID is not forwarded), session GUID, int32 pid (0 when it
// does not fit in 32 bits), parameter list, int64 pid.
std::string buildATMessage(const ATEvent& event, const ofw::LoggerPtr& logger);

}  // namespace audittrail
