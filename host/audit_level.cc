#include "host/audit_level.h"

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "ofw/capi/capi_loader.h"
#include "ofw/capi/dirsettings.h"
#include "ofw/paths.h"
#include "ofw/config/properties.h"

namespace {

const char* const kLevelNames[] = {"audit_if_possible", "no_audit", "audit_required",
                                   "use_sysrights"};
const char* const kDefaultLoggerName = "ovg.vgd.auditlevel";

bool isNotSet(const std::string& value) {
  return value.empty() || strcasecmp(value.c_str(), OVG_NOT_SET) == 0;
}

// A context made for one call and freed when the call returns.
class TemporaryContext {
 public:
  TemporaryContext(AuditLevelContext* given, ofw::Properties* properties = nullptr,
                   const ofw::LoggerPtr& logger = ofw::LoggerPtr())
      : ctx_(given) {
    if (ctx_ == nullptr) {
      InitAuditLevelContext(&own_, properties, logger);
      ctx_ = &own_;
      owned_ = true;
    } else if (!ctx_->logger) {
      ctx_->logger = ofw::getLogger(kDefaultLoggerName);
    }
  }
  ~TemporaryContext() {
    if (owned_) FreeAuditLevelContext(&own_, true);
  }
  TemporaryContext(const TemporaryContext&) = delete;
  TemporaryContext& operator=(const TemporaryContext&) = delete;
  AuditLevelContext* get() const { return ctx_; }

 private:
  AuditLevelContext own_;
  AuditLevelContext* ctx_;
  bool owned_ = false;
};

// Digits only, value within 0..4294967295.
bool parseUid(const char* text, long* uid) {
  if (text == nullptr || *text == '\0') return false;
  unsigned long long value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value > 4294967295ULL) return false;
  }
  *uid = static_cast<long>(value);
  return true;
}

void logLoadError(const AuditLevelContext* ctx, int status) {
  std::string name = ctx->properties->fileName();
  const char* file = name.empty() ? ofw::paths::CONFIG_FILE : name.c_str();
  switch (status) {
    case -2:
      OFW_INFO(ctx->logger, "Error in parsing %s because file does not exist.", file);
      break;
    case -1:
    case -13:
      OFW_INFO(ctx->logger, "Error in parsing %s because of permission denied.", file);
      break;
    case -125:
      OFW_INFO(ctx->logger,
               "Error in parsing %s because of security reason.\nPlease make sure config file "
               "must be:\n1. Owned by root.\n2. Not world writable.\n3. Not a symlink.\n4. "
               "Hardlink count must be 1.\n",
               file);
      break;
    case -5:
      OFW_INFO(ctx->logger, "Error in parsing %s.", file);
      break;
    default:
      OFW_INFO(ctx->logger, "Error in parsing %s. Parameter value may not be expected. (error=%d)",
               file, status);
      break;
  }
}

int levelFrom(const ofw::Properties& properties, const char* key, const char* def) {
  std::string value = properties.getProperty(key, def);
  return OVGStringToAuditLevel(value.c_str());
}

}  // namespace

int OVGStringToAuditLevel(const char* text) {
  if (text == nullptr) return -1;
  size_t length = strnlen(text, OVG_AUDITLEVEL_MAX_TEXT + 1);
  if (length > OVG_AUDITLEVEL_MAX_TEXT || length == 0) return -1;
  std::string lower(text, length);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower[0] >= '0' && lower[0] <= '9') {
    long value = 0;
    if (!parseUid(lower.c_str(), &value)) return -1;
    return value == 0 || value == 1 ? static_cast<int>(value) : -1;
  }
  for (int i = 0; i < 4; ++i)
    if (lower == kLevelNames[i]) return i;
  return -1;
}

const char* OVGAuditLevelToString(int level) {
  if (level >= 0 && level < 4) return kLevelNames[level];
  return OVG_NOT_SET;
}

int InitAuditLevelContext(AuditLevelContext* context, ofw::Properties* properties,
                          const ofw::LoggerPtr& logger) {
  if (context == nullptr) return -22;
  context->properties = properties != nullptr ? properties : &ofw::Props();
  context->ownsProperties = false;
  context->logger = logger ? logger : ofw::getLogger(kDefaultLoggerName);
  return 0;
}

void FreeAuditLevelContext(AuditLevelContext* context, bool clearProperties) {
  if (context == nullptr) return;
  if (clearProperties && context->ownsProperties) delete context->properties;
  context->properties = nullptr;
  context->ownsProperties = false;
  context->logger.reset();
}

int OVGGetOverrideDefaultAuditLevel(const ofw::Properties& properties) {
  std::string value = properties.getProperty(OVG_KEY_OVERRIDE_LEVEL, OVG_NOT_SET);
  if (strcasecmp(value.c_str(), OVG_NOT_SET) == 0)
    value = properties.getProperty(OVG_KEY_IGNORE_LEVEL, OVG_NOT_SET);
  int level = OVGStringToAuditLevel(value.c_str());
  return level < 0 ? OVG_USE_SYSRIGHTS : level;
}

int OVGGetAltZoneAuditLevel(const ofw::Properties& properties) {
  int level = levelFrom(properties, OVG_KEY_ALT_ZONE_LEVEL, "use_sysrights");
  return level < 0 ? OVG_USE_SYSRIGHTS : level;
}

int OVGGetConflictAuditLevel(const ofw::Properties& properties, int level) {
  if (properties.getBool(OVG_KEY_AUDIT_COMPAT, false)) return level;
  int conflict = levelFrom(properties, OVG_KEY_CONFLICT_LEVEL, "audit_if_possible");
  return conflict < 0 || conflict == OVG_USE_SYSRIGHTS ? OVG_AUDIT_IF_POSSIBLE : conflict;
}

int parseUserProperty(const AuditLevelContext* context, const char* entry, UserProperty* out) {
  ofw::LoggerPtr logger =
      context && context->logger ? context->logger : ofw::getLogger(kDefaultLoggerName);
  if (entry == nullptr || out == nullptr) {
    OFW_DEBUG(logger, "WARN: Invalid input user property string parameter: %p %d",
              static_cast<const void*>(entry), -1);
    return -22;
  }
  size_t length = strnlen(entry, OVG_USER_PROPERTY_MAX);
  if (length >= OVG_USER_PROPERTY_MAX) {
    OFW_DEBUG(logger, "WARN: Invalid input user property string parameter: %p %d",
              static_cast<const void*>(entry), static_cast<int>(length));
    return -22;
  }
  const ofw::Properties& properties =
      context && context->properties ? *context->properties : ofw::Props();
  int overrideDefault = OVGGetOverrideDefaultAuditLevel(properties);

  // Spaces out, and "$" in every empty field between two ':'.
  std::string text;
  text.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    char c = entry[i];
    if (c == ' ') continue;
    if (c == ':' && !text.empty() && text.back() == ':') text += '$';
    text += c;
  }

  std::vector<std::string> fields;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(':', pos);
    if (end == std::string::npos) end = text.size();
    if (end > pos) fields.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  if (fields.empty()) {
    OFW_DEBUG(logger, "WARN: Invalid input user property string parameter: %p %d",
              static_cast<const void*>(entry), static_cast<int>(length));
    return -22;
  }

  UserProperty result;
  result.name[0] = '\0';
  result.auditLevel = overrideDefault;
  result.uid = -1;
  result.userType = OVG_USERTYPE_LOCAL;
  result.malformed = 0;

  const std::string& first = fields[0];
  if (first[0] >= '0' && first[0] <= '9') {
    if (!parseUid(first.c_str(), &result.uid)) {
      result.uid = -1;
      result.malformed = 1;
    }
  } else {
    if (first.size() >= sizeof(result.name)) {
      OFW_DEBUG(logger, "WARN: username %s in property field is too long", first.c_str());
      return -22;
    }
    memcpy(result.name, first.c_str(), first.size() + 1);
  }
  if (fields.size() > 1) {
    int level = OVGStringToAuditLevel(fields[1].c_str());
    result.auditLevel = level < 0 ? overrideDefault : level;
  }
  if (fields.size() > 2) {
    if (!parseUid(fields[2].c_str(), &result.uid)) {
      result.uid = -1;
      result.malformed = 1;
    }
  }
  if (fields.size() > 3) {
    if (fields[3] == "localuser")
      result.userType = OVG_USERTYPE_LOCAL;
    else if (fields[3] == "aduser")
      result.userType = OVG_USERTYPE_AD;
    else
      result.userType = OVG_USERTYPE_OTHER;
  }
  if (fields.size() > 4) result.malformed = 1;

  if (result.malformed) OFW_DEBUG(logger, "WARN: invalid list entry format>>> %s", entry);
  OFW_TRACE(logger, "parsed user property: <%s>:%s:%ld:%d", result.name,
            OVGAuditLevelToString(result.auditLevel), result.uid, result.userType);
  *out = result;
  return 0;
}

int OVGGetOverrideAuditLevelForUser(AuditLevelContext* context, const char* user) {
  TemporaryContext tmp(context);
  AuditLevelContext* ctx = tmp.get();
  if (ctx->properties == nullptr || user == nullptr || *user == '\0') return OVG_NO_AUDIT;
  const ofw::Properties& props = *ctx->properties;
  const ofw::LoggerPtr& logger = ctx->logger;

  // Skip list.
  int loadStatus = props.lastLoadStatus();
  if (loadStatus != 0) {
    logLoadError(ctx, loadStatus);
  } else {
    ofw::ValueList skip = props.getValueList(OVG_KEY_SKIPLIST, "");
    if (skip) {
      for (const std::string& name : *skip) {
        if (name == user) {
          OFW_DEBUG(logger, "user %s is in skip username list, It will not be audited.", user);
          OFW_DEBUG(logger, "User %s is in %s list, use audit level no_audit", user,
                    OVG_KEY_SKIPLIST);
          return OVG_NO_AUDIT;
        }
      }
    }
  }

  // The list that assigns levels.
  const char* listKey = OVG_KEY_USER_IGNORE;
  const char* listDefault = ofw::paths::USER_IGNORE;
  if (!isNotSet(props.getProperty(OVG_KEY_OVERRIDE_USERLIST, OVG_NOT_SET))) {
    listKey = OVG_KEY_OVERRIDE_USERLIST;
    listDefault = OVG_NOT_SET;
  }
  OFW_DEBUG(logger, "Reading auditlevel from <%s> list (default %s)", listKey, listDefault);

  int level = -1;
  bool found = false;
  ofw::ValueList list = props.getValueList(listKey, listDefault);
  if (!list || list->empty()) {
    level = OVGGetAltZoneAuditLevel(props);
    OFW_DEBUG(logger, "No %s list value for checking user %s OR uid %ld, use alt zone audit level %s",
              listKey, user, OVG_NO_UID, OVGAuditLevelToString(level));
  } else {
    for (const std::string& entry : *list) {
      if (strcasecmp(entry.c_str(), OVG_NOT_SET) == 0)
        OFW_DEBUG(logger, "WARNING: bad record read from %s list: %s\n", listKey, entry.c_str());
      UserProperty prop;
      if (parseUserProperty(ctx, entry.c_str(), &prop) != 0) {
        OFW_DEBUG(logger, "WARN: %s: no user property for %s or uid %ld from parseUserProperty for list %s!!",
                  __func__, user, OVG_NO_UID, listKey);
        continue;
      }
      if (prop.name[0] != '\0' && strcmp(prop.name, user) == 0) {
        level = prop.auditLevel;
        found = true;
        OFW_DEBUG(logger, "User %s found in %s list with audit level %s", user, listKey,
                  OVGAuditLevelToString(level));
        break;
      }
    }
    if (!found) {
      level = OVGGetAltZoneAuditLevel(props);
      OFW_DEBUG(logger, "User %s not found in %s list, use alt zone audit level %s", user, listKey,
                OVGAuditLevelToString(level));
    }
  }

  // Users both in the directory and in user.ignore.
  if (level == OVG_USE_SYSRIGHTS) {
    ofw::ValueList ignore = props.getValueList(OVG_KEY_USER_IGNORE, ofw::paths::USER_IGNORE);
    if (!ignore || ignore->empty()) {
      OFW_DEBUG(logger, "No %s list value for checking conflicting user %s", OVG_KEY_USER_IGNORE,
                user);
    } else {
      for (const std::string& entry : *ignore) {
        UserProperty prop;
        if (parseUserProperty(ctx, entry.c_str(), &prop) != 0) {
          OFW_DEBUG(logger, "WARN: %s: no user property for %s from parseUserProperty for list %s!!",
                    __func__, user, OVG_KEY_USER_IGNORE);
          continue;
        }
        if (prop.name[0] != '\0' && strcmp(prop.name, user) == 0) {
          level = OVGGetConflictAuditLevel(props, level);
          OFW_DEBUG(logger, "conflicting user %s found in %s list, apply conflict audit level to %s",
                    user, OVG_KEY_USER_IGNORE, OVGAuditLevelToString(level));
          break;
        }
      }
    }
  }

  OFW_DEBUG(logger, "user %s %s, effective audit level: %s", user, found ? "found" : "not found",
            OVGAuditLevelToString(level));
  return level;
}

int VGCGetAuditLevel(const ofw::LoggerPtr& logger, const char* user, ofw::Properties* properties,
                     const ofw::CapiDynamicLoader* loader) {
  AuditLevelContext ctx;
  InitAuditLevelContext(&ctx, properties, logger);
  int level = OVGGetOverrideAuditLevelForUser(&ctx, user);
  FreeAuditLevelContext(&ctx, true);
  if (level != OVG_USE_SYSRIGHTS || user == nullptr) return level;

  try {
    const ofw::CapiDynamicLoader& capi =
        loader != nullptr ? *loader : ofw::CapiDynamicLoader::getInstance();
    if (!ofw::IsDUZInstalled(capi.getCapiPath())) return level;
    if (!capi.isAuditLevelAvailable()) {
      OFW_DEBUG(logger, "CAPI does not support retrieving audit levels. Upgrade OPW to make it available.");
      return level;
    }
    ofw::CapiSession session(capi);
    if (session.open(OPW_API_VERSION, OPW_DEFAULT_TIMEOUT) != OPW_OK) {
      OFW_DEBUG(logger, "CAPI failed in session open for user %s.", user);
      return level;
    }
    int directoryLevel = -1;
    int rc = capi.opwGetAuditLevel(session.get(), user, &directoryLevel);
    if (rc != OPW_OK || directoryLevel < OVG_AUDIT_IF_POSSIBLE || directoryLevel > OVG_USE_SYSRIGHTS) {
      // A value outside the known levels is as useless as no answer.
      OFW_DEBUG(logger, "CAPI failed to lookup audit level for user %s.", user);
    } else {
      level = directoryLevel;
      OFW_DEBUG(logger, "Get audit level for user %s from kirad successfully: %s.", user,
                OVGAuditLevelToString(level));
    }
  } catch (const std::exception& e) {
    OFW_DEBUG(logger, "Get audit level from kirad failed for user. Throw an exception: %s", e.what());
  }
  return level;
}

bool VGCIsNonBlockingUser(AuditLevelContext* context, const char* user) {
  TemporaryContext tmp(context);
  AuditLevelContext* ctx = tmp.get();
  if (ctx->properties == nullptr || user == nullptr || *user == '\0') return false;
  ofw::ValueList list = ctx->properties->getValueList(OVG_KEY_USER_IGNORE, ofw::paths::USER_IGNORE);
  if (!list || list->empty()) {
    OFW_DEBUG(ctx->logger, "No %s list value for checking user %s", OVG_KEY_USER_IGNORE, user);
    return false;
  }
  bool match = false;
  for (const std::string& entry : *list) {
    UserProperty prop;
    if (parseUserProperty(ctx, entry.c_str(), &prop) != 0) {
      OFW_DEBUG(ctx->logger, "WARN: %s: no user property for %s from parseUserProperty for list %s!!",
                __func__, user, OVG_KEY_USER_IGNORE);
      continue;
    }
    if (prop.name[0] != '\0' && strcmp(prop.name, user) == 0) {
      match = true;
      break;
    }
  }
  OFW_DEBUG(ctx->logger, "%s: user %s is %s type.", __func__, user,
            match ? "non-blocking" : "blocking");
  return match;
}

bool VGCIsNonBlockingUID(AuditLevelContext* context, long uid) {
  TemporaryContext tmp(context);
  AuditLevelContext* ctx = tmp.get();
  if (ctx->properties == nullptr) return false;
  ofw::ValueList list = ctx->properties->getValueList(OVG_KEY_UID_IGNORE, ofw::paths::UID_IGNORE);
  if (!list || list->empty()) {
    OFW_DEBUG(ctx->logger, "No %s list value for checking uid %ld", OVG_KEY_UID_IGNORE, uid);
    return false;
  }
  bool match = false;
  for (const std::string& entry : *list) {
    UserProperty prop;
    if (parseUserProperty(ctx, entry.c_str(), &prop) != 0) {
      OFW_DEBUG(ctx->logger, "WARN: %s: no user property for uid %ld from parseUserProperty for list %s!!",
                __func__, uid, OVG_KEY_UID_IGNORE);
      continue;
    }
    if (prop.uid >= 0 && prop.uid == uid) {
      match = true;
      break;
    }
  }
  OFW_DEBUG(ctx->logger, "%s: uid %ld is %s type.", __func__, uid,
            match ? "non-blocking" : "blocking");
  return match;
}

bool VGCReloadAuditLevel(ofw::Properties* properties) {
  AuditLevelContext ctx;
  InitAuditLevelContext(&ctx, properties);
  if (ctx.properties->fileName().empty())
    ctx.properties->loadFromFile(ofw::paths::CONFIG_FILE);
  else
    ctx.properties->reload();
  FreeAuditLevelContext(&ctx, true);
  return true;
}

void VGCInitializeAuditLevel() {}
void VGCCleanupAuditLevel() {}

int SecureOpenForRead(const char* path, int* securityStatus) {
  int dummy;
  int* status = securityStatus ? securityStatus : &dummy;
  *status = OVG_SECURE_OPEN_FAILED;
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  int check = OVG_SECURE_OK;
  if (!S_ISREG(st.st_mode))
    check = OVG_SECURE_NOT_REGULAR;
  else if (st.st_uid != 0)
    check = OVG_SECURE_NOT_ROOT;
  else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    check = OVG_SECURE_WRITABLE;
  else if (st.st_nlink != 1)
    check = OVG_SECURE_HARDLINKS;
  if (check != OVG_SECURE_OK) {
    ::close(fd);
    *status = check;
    errno = EACCES;
    return -1;
  }
  // Regular file: later reads must block normally.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  *status = OVG_SECURE_OK;
  return fd;
}

namespace {

// Reads one line of at most maxLength bytes (newline removed). A longer line
// is consumed whole and reported as too long. Returns 1 for a line, 0 at end
// of file, -1 on a read error.
int readLine(FILE* f, std::string& line, size_t maxLength, bool& tooLong) {
  line.clear();
  tooLong = false;
  int c;
  bool any = false;
  while ((c = fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') return 1;
    if (line.size() < maxLength)
      line += static_cast<char>(c);
    else
      tooLong = true;
  }
  if (ferror(f)) return -1;
  return any ? 1 : 0;
}

}  // namespace

bool IsAlwaysPermittedLogin(const ofw::LoggerPtr& logger, const char* user, const char* path,
                            const ofw::Properties* properties) {
  std::string apuPath;
  if (path != nullptr) {
    apuPath = path;
  } else {
    const ofw::Properties& props = properties ? *properties : ofw::Props();
    apuPath = props.getProperty(OVG_KEY_APU_PATH, ofw::paths::APU_LIST);
  }
  OFW_DEBUG(logger, "The path of apu.lst is %s", apuPath.c_str());

  int security = OVG_SECURE_OK;
  int fd = SecureOpenForRead(apuPath.c_str(), &security);
  if (fd < 0) {
    OFW_DEBUG(logger, "Cannot open APU list file (errno=%d) (security status=%d)", errno, security);
    return false;
  }
  FILE* f = fdopen(fd, "r");
  if (f == nullptr) {
    int err = errno;
    ::close(fd);
    OFW_DEBUG(logger, "Cannot open APU list file (errno=%d) (security status=%d)", err, security);
    return false;
  }

  bool permitted = false;
  std::string line;
  for (;;) {
    bool tooLong = false;
    int rc = readLine(f, line, 1024, tooLong);
    if (rc == 0) break;
    if (rc < 0) {
      OFW_DEBUG(logger, "Cannot get the next line from APU list (errno=%d)", errno);
      break;
    }
    if (tooLong) continue;
    if (line == "+::::::") {
      OFW_DEBUG(logger, "All local users are APU.");
      permitted = true;
      break;
    }
    size_t colons = 0;
    for (char c : line)
      if (c == ':') ++colons;
    size_t firstEnd = line.find(':');
    if (colons != 6 || firstEnd == 0 || firstEnd == std::string::npos) continue;
    if (user != nullptr && line.compare(0, firstEnd, user) == 0 && strlen(user) == firstEnd) {
      permitted = true;
      break;
    }
  }
  fclose(f);
  return permitted;
}
