// User look-ups for the name-service module and the session handlers: the
// directory client first (with a positive and two negative caches), the local
// passwd file second; plus the state the IPC server keeps for them (passwd
// lock, audit-level context, directory session, secret cache).
//
// One instance lives as long as the IPC server. Every method may be called
// from any request thread. The loader and the properties must outlive it.
#pragma once
#include <boost/shared_ptr.hpp>
#include <stdint.h>

#include <string>

#include "host/audit_level.h"
#include "ofw/capi/capi_loader.h"
#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"
#include "ofw/paths.h"
#include "ofw/config/properties.h"
#include "server/ovs_secret_cache.h"
#include "server/passwd_cache.h"
#include "server/passwd_da.h"
#include "server/passwd_file.h"

namespace ovg {

class UserLookup {
 public:
  // Builds the caches and the audit-level context on properties, reads the
  // cache settings and, when the directory client is installed (its library
  // file exists), opens a directory session.
  UserLookup(const ofw::CapiDynamicLoader& loader, ofw::Properties& properties,
             const std::string& passwdPath = ofw::paths::PASSWD_FILE,
             const ofw::LoggerPtr& logger = ofw::getLogger("ovg.vgd.ipcserver"));
  ~UserLookup();
  UserLookup(const UserLookup&) = delete;
  UserLookup& operator=(const UserLookup&) = delete;

  // Reads cache.time.to.live, cache.max.size, cache.enable and
  // negative.cache.enable (at start and after every reload).
  void loadCacheProp();
  void loadCacheProp(const ofw::Properties& properties);

  // Opens the directory session unless one is open; true when one is open.
  bool initCAPI();
  bool isCapiSessionOpen() const;
  bool capiAuditLevelSupport() const;
  // The directory client is installed (its library file exists).
  bool isDirectoryInstalled() const;

  // The look-up of the user queries: the directory (unless localOnly, or for
  // "name@localhost") then the passwd file.
  bool vgd_getpwnam(const std::string& name, PasswdDA& record, bool localOnly);
  bool vgd_getpwuid(uint32_t uid, PasswdDA& record, bool localOnly);
  // Directory look-ups with the ignore lists and the caches. Exceptions from
  // the library are logged and passed on.
  bool kirad_getpwnam(const std::string& name, PasswdDA& record);
  bool kirad_getpwuid(uint32_t uid, PasswdDA& record);
  // Passwd-file look-ups with the user cache.
  bool passwd_getpwnam(const std::string& name, PasswdDA& record);
  bool passwd_getpwuid(uint32_t uid, PasswdDA& record);

  // The directory name (sAMAccountName) and SID of a user, on a session of
  // its own; false when the directory does not know the user.
  bool getUserAndSid(const std::string& name, std::string& directoryName, std::string& sid);
  // Whether a directory session can be opened.
  bool ping();
  // The directory's source of a user: the lower-cased domain of its DN (or of
  // its user principal name); "" when unknown.
  std::string getUserSource(const std::string& name);

  // The flush-cache request: empties the three passwd caches (the
  // name-service cache script is run by the caller).
  void flushCaches();

  // Totals over the three caches, for the action-count report.
  PasswdCacheCounters cacheHits() const;
  PasswdCacheCounters cacheMisses() const;

  PasswdCache& userCache() { return userCache_; }
  PasswdCache& negativeCache1() { return negativeCache1_; }
  PasswdCache& negativeCache2() { return negativeCache2_; }
  OvsSecretCache& secretCache() { return secretCache_; }
  ofw::Mutex& passwdLock() { return passwdLock_; }
  AuditLevelContext* auditLevelContext() { return &auditLevelContext_; }
  const std::string& passwdPath() const { return passwdPath_; }

 private:
  boost::shared_ptr<ofw::CapiSession> currentSession() const;
  // Drops the shared session after a failure that says it is no longer
  // usable, so that the next initCAPI opens a new one.
  void dropSession(const boost::shared_ptr<ofw::CapiSession>& session, int status);
  bool readDirectoryUser(OPW_SESSION session, OPW_OBJECT object, PasswdDA& record);
  void logFoundPasswd(const char* function, const std::string& key, const PasswdEntry& entry);

  const ofw::CapiDynamicLoader& loader_;
  ofw::Properties& properties_;
  std::string passwdPath_;
  ofw::LoggerPtr logger_;
  ofw::LoggerPtr shimLogger_;

  ofw::Mutex passwdLock_;
  AuditLevelContext auditLevelContext_;
  mutable ofw::Mutex capiMutex_;
  boost::shared_ptr<ofw::CapiSession> capiSession_;
  bool capiAuditLevelSupport_ = false;

  PasswdCache userCache_;
  PasswdCache negativeCache1_;
  PasswdCache negativeCache2_;
  OvsSecretCache secretCache_;
};

}  // namespace ovg
