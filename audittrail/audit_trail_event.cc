#include "audittrail/audit_trail_event.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdarg>
#include <vector>

#include "audittrail/at_proxy_loader.h"
#include "ofw/format.h"
#include "ofw/logging/logger.h"

namespace audittrail {

namespace {

// The user name of uid, or "" when it has none.
std::string userNameOf(uid_t uid) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name) return "";
  return found->pw_name;
}

}  // namespace

int sendAuditTrailEvent(ATProxyLibLoader& loader, const char* source, int eventId, const char* product,
                        const char* parameters) {
  ofw::LoggerPtr logger = ofw::getLogger("atproxy.libloader");
  if (!loader.isAvailable()) {
    OFW_DEBUG(logger, "Audit trail proxy library is unavailable.");
    return -1;
  }
  const uid_t uid = getuid();
  std::string user = userNameOf(uid);
  if (user.empty()) {
    std::string uidText = std::to_string(static_cast<unsigned long>(uid));
    OFW_WARN(logger, "Failed to get username of %s when sending audit trail event (eventID: %d)", uidText.c_str(),
             eventId);
    user = "uid " + uidText;
  }
  void* ctx = nullptr;
  int rc = loader.initATContext(&ctx);
  if (rc == 0) {
    OFW_TRACE(logger, "Setting audit trail event...");
    rc = loader.setAuditTrailEvent(ctx, product ? product : DEFAULT_PRODUCT, source ? source : "", eventId,
                                   user.c_str(), static_cast<unsigned int>(uid), parameters);
    loader.freeATContext(&ctx);
  }
  if (rc != 0) OFW_WARN(logger, "Failed to send audit trail event (eventID: %d). Return code: %d", eventId, rc);
  return rc;
}

void SendAuditTrailEvent2(const char* source, int eventId, const char* product, const char* format, ...) {
  std::string parameters;
  if (format) {
    va_list ap;
    va_start(ap, format);
    parameters = ofw::vformat(format, ap);
    va_end(ap);
  }
  sendAuditTrailEvent(*GetATProxyLibLoader(), source, eventId, product, format ? parameters.c_str() : nullptr);
}

}  // namespace audittrail
