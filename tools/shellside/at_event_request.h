// The request of a local program reporting an audit-trail event
// (AuditTrailSessionData2), in the field order the daemon's handler reads:
// string, string, uint32 event id, blob seconds (8 bytes), blob microseconds
// (8 bytes), string, string, blob user SID (sent empty), string session GUID
// text ("" for none), blob pid (8 bytes), then per parameter uint32 type and
// blob value, and uint32 0 (END). Used by the test client and the proxy
// library stand-in; depends on lrpc2 alone.
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lrpc2/msg.h"

namespace ovg {

struct ATEventRequest {
  std::string first;
  std::string second;
  uint32_t eventId = 0;
  struct timeval time = {0, 0};
  std::string fifth;
  std::string sixth;
  std::string session;
  uint64_t pid = 0;
  std::vector<std::string> strings;  // each a UTF8STRING parameter
};

// An event of this process at the current time.
ATEventRequest atEventNow(uint32_t eventId);
// Writes the request's fields into m (before MsgComplete).
void writeATEventRequest(LRPC2Msg* m, const ATEventRequest& e);

}  // namespace ovg
