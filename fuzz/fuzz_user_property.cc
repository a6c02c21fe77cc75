// Audit-level list entries and level texts: parseUserProperty and
// OVGStringToAuditLevel on arbitrary bytes, with the level round trip.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "host/audit_level.h"
#include "ofw/config/properties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ofw::Properties* props = [] {
    ofw::Properties* p = new ofw::Properties;
    p->loadFromString("nss.user.override.auditlevel = no_audit\n");
    return p;
  }();
  std::string text(reinterpret_cast<const char*>(data), size);  // stops at the first NUL for C callers

  int level = OVGStringToAuditLevel(text.c_str());
  if (level < -1 || level > 3) abort();
  if (level >= 0 && OVGStringToAuditLevel(OVGAuditLevelToString(level)) != level) abort();

  AuditLevelContext ctx;
  InitAuditLevelContext(&ctx, props);
  UserProperty prop;
  memset(&prop, 0x5a, sizeof(prop));
  int rc = parseUserProperty(&ctx, text.c_str(), &prop);
  if (rc == 0) {
    if (strnlen(prop.name, sizeof(prop.name)) >= sizeof(prop.name)) abort();
    if (prop.auditLevel < 0 || prop.auditLevel > 3) abort();
    if (prop.uid < -1 || prop.uid > 4294967295L) abort();
    if (prop.userType < 0 || prop.userType > 2) abort();
    // A well-formed entry printed back parses to the same values.
    if (!prop.malformed && prop.name[0] != '\0' && prop.uid >= 0) {
      std::string again = std::string(prop.name) + ":" + OVGAuditLevelToString(prop.auditLevel) +
                          ":" + std::to_string(prop.uid) + ":" +
                          (prop.userType == OVG_USERTYPE_AD ? "aduser"
                           : prop.userType == OVG_USERTYPE_LOCAL ? "localuser" : "other");
      UserProperty back;
      if (again.size() >= OVG_USER_PROPERTY_MAX) return FreeAuditLevelContext(&ctx, true), 0;
      if (parseUserProperty(&ctx, again.c_str(), &back) != 0) abort();
      if (strcmp(back.name, prop.name) != 0 || back.auditLevel != prop.auditLevel ||
          back.uid != prop.uid || back.userType != prop.userType || back.malformed)
        abort();
    }
  } else if (rc != -22) {
    abort();
  }
  FreeAuditLevelContext(&ctx, true);
  return 0;
}
