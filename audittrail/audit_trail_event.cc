#include "audittrail/audit_trail_event.h"

#include "ofw/logging/logger.h"

namespace audittrail {

// Until the proxy library loader is in place the library counts as unavailable.
void SendAuditTrailEvent2(const char* source, int eventId, const char* product, const char* format, ...) {
  static ofw::LoggerPtr logger = ofw::getLogger("atproxy.libloader");
  (void)source;
  (void)eventId;
  (void)product;
  (void)format;
  OFW_DEBUG(logger, "Audit trail proxy library is unavailable.");
}

}  // namespace audittrail
