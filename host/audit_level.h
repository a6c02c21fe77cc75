// Audit levels: how strictly a user's sessions are audited, decided from the
// local lists in the configuration and, when those leave it to the directory,
// from the directory client.
//
// C-style layer: plain functions over a context, integer results. Nothing here
// throws except std::bad_alloc; bad list entries, unreadable lists and
// directory failures degrade to the documented defaults.
//
// Inside the daemon the context logs straight into the daemon's own loggers;
// it never sends its records to the daemon's socket.
#pragma once
#include <sys/types.h>

#include <cstdint>

#include "ofw/logging/logger.h"

namespace ofw {
class Properties;
class CapiDynamicLoader;
}  // namespace ofw

// Audit levels.
enum {
  OVG_AUDIT_IF_POSSIBLE = 0,  // "audit_if_possible": audit when the daemon is available
  OVG_NO_AUDIT = 1,           // "no_audit"
  OVG_AUDIT_REQUIRED = 2,     // "audit_required"
  OVG_USE_SYSRIGHTS = 3       // "use_sysrights": the directory's rights decide
};

// User types of a list entry.
enum { OVG_USERTYPE_OTHER = 0, OVG_USERTYPE_LOCAL = 1, OVG_USERTYPE_AD = 2 };

// Longest level text OVGStringToAuditLevel accepts; list entries must be
// shorter than this, and a user name must fit a buffer of this size.
#define OVG_AUDITLEVEL_MAX_TEXT 4096
#define OVG_USER_PROPERTY_MAX 4096
#define OVG_USER_NAME_MAX 4096

// The UID printed when a look-up has none (the unsigned form of -1).
#define OVG_NO_UID 4294967295L

// Configuration keys and their defaults.
#define OVG_KEY_SKIPLIST "vgsh.user.skiplist"
#define OVG_KEY_OVERRIDE_USERLIST "nss.user.override.userlist"
#define OVG_KEY_USER_IGNORE "user.ignore"
#define OVG_KEY_UID_IGNORE "uid.ignore"
#define OVG_KEY_OVERRIDE_LEVEL "nss.user.override.auditlevel"
#define OVG_KEY_IGNORE_LEVEL "user.ignore.audit.level"
#define OVG_KEY_ALT_ZONE_LEVEL "nss.alt.zone.auditlevel"
#define OVG_KEY_CONFLICT_LEVEL "nss.user.conflict.auditlevel"
#define OVG_KEY_AUDIT_COMPAT "nss.audit.compat"
#define OVG_KEY_APU_PATH "qx.apu.file.path"
#define OVG_NOT_SET "not_set"

// Text -> level: -1 for null, texts longer than OVG_AUDITLEVEL_MAX_TEXT and
// unknown names. Case-insensitive. A text starting with a digit must be all
// digits and only "0" and "1" (with leading zeros) are accepted.
int OVGStringToAuditLevel(const char* text);
// Level -> name; "not_set" for any other value. Never null.
const char* OVGAuditLevelToString(int level);

// The audit-level context: the configuration it reads and where it logs.
struct AuditLevelContext {
  ofw::Properties* properties = nullptr;  // not owned unless ownsProperties
  bool ownsProperties = false;
  ofw::LoggerPtr logger;
};

// properties null: the daemon's configuration (ofw::Props(), which loads the
// configuration file on first use). logger null: the logger
// "ovg.vgd.auditlevel". Returns 0, or -22 for a null context.
int InitAuditLevelContext(AuditLevelContext* context, ofw::Properties* properties,
                          const ofw::LoggerPtr& logger = ofw::LoggerPtr());
// Releases the context; clearProperties also deletes properties it owns.
void FreeAuditLevelContext(AuditLevelContext* context, bool clearProperties = true);

// One parsed list entry.
struct UserProperty {
  char name[OVG_USER_NAME_MAX];  // empty when the entry names a UID
  int auditLevel;
  long uid;      // -1 when none
  int userType;  // OVG_USERTYPE_*
  int malformed; // non-zero when the entry did not have the expected form
};

// Parses one list entry "name-or-uid[:level[:uid[:type]]]". Spaces are
// removed and each empty field becomes "$" first. Returns 0 on success
// (malformed entries included, with malformed set), -22 for null arguments,
// an entry of OVG_USER_PROPERTY_MAX characters or more, an over-long name or
// an entry without fields. context may be null (the daemon's configuration).
int parseUserProperty(const AuditLevelContext* context, const char* entry, UserProperty* out);

// Levels derived from the configuration (see the .cc for the rules).
int OVGGetOverrideDefaultAuditLevel(const ofw::Properties& properties);
int OVGGetAltZoneAuditLevel(const ofw::Properties& properties);
int OVGGetConflictAuditLevel(const ofw::Properties& properties, int level);

// The level from the local lists only. context null: a temporary one.
int OVGGetOverrideAuditLevelForUser(AuditLevelContext* context, const char* user);

// The level for a user: the local lists, then the directory client when they
// answer OVG_USE_SYSRIGHTS and the directory client is installed.
// properties null: the daemon's configuration; loader null: the process-wide
// loader.
int VGCGetAuditLevel(const ofw::LoggerPtr& logger, const char* user,
                     ofw::Properties* properties = nullptr,
                     const ofw::CapiDynamicLoader* loader = nullptr);

// Listed in user.ignore / uid.ignore (look-ups for them never ask the
// directory). context null: a temporary one.
bool VGCIsNonBlockingUser(AuditLevelContext* context, const char* user);
bool VGCIsNonBlockingUID(AuditLevelContext* context, long uid);

// Reloads the configuration of a temporary context; always true.
bool VGCReloadAuditLevel(ofw::Properties* properties = nullptr);
// Start-up and shutdown hooks; they do nothing.
void VGCInitializeAuditLevel();
void VGCCleanupAuditLevel();

// Security status of SecureOpenForRead.
enum {
  OVG_SECURE_OK = 0,
  OVG_SECURE_OPEN_FAILED = 1,     // open or fstat failed (see errno); a symbolic link gives ELOOP
  OVG_SECURE_NOT_ROOT = 2,        // not owned by root
  OVG_SECURE_WRITABLE = 3,        // writable by group or others
  OVG_SECURE_NOT_REGULAR = 4,     // not a regular file
  OVG_SECURE_HARDLINKS = 5        // more than one hard link
};
// Opens path read-only without following a final symbolic link and checks the
// open descriptor: owned by root, not group- or world-writable, a regular
// file with exactly one link. Returns the descriptor, or -1 with errno set
// and *securityStatus telling why (EACCES for a failed check).
int SecureOpenForRead(const char* path, int* securityStatus);

// Whether the user is in the always-permitted list. path null: the value of
// qx.apu.file.path in properties (null: the daemon's configuration).
bool IsAlwaysPermittedLogin(const ofw::LoggerPtr& logger, const char* user,
                            const char* path = nullptr,
                            const ofw::Properties* properties = nullptr);
