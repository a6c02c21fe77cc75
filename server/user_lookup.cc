#include "server/user_lookup.h"

#include <errno.h>
#include <string.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <exception>

#include "ofw/capi/dirsettings.h"

namespace ovg {

namespace {

const char* const kPerson = "Person";
const char* const kAtLocalhostText = "@localhost";
// Longer names are no user's (login names are at most 256 bytes, directory
// names with their domain stay well below this); refusing them up front keeps
// a client's made-up names out of the negative cache, whose entries are
// counted, not sized.
const size_t kMaxUserNameLength = 512;

// Open failures are reported once per process; later attempts are retries.
std::atomic<bool> gOpenFailureLogged(false);

int parseDecimal(const std::string& text, int def) {
  if (text.empty()) return def;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// "false", "no", "0" disable; anything else, the empty value included, enables.
bool parseEnable(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return !(text == "false" || text == "no" || text == "0");
}

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The passwd field of a local entry as logged: the placeholders as they are,
// anything else (a hash) hidden.
const char* loggablePasswd(const std::string& passwd) {
  if (passwd.empty() || passwd == "x" || passwd == "*" || passwd == "!" || passwd == "!!")
    return passwd.c_str();
  return "<hidden>";
}

}  // namespace

UserLookup::UserLookup(const ofw::CapiDynamicLoader& loader, ofw::Properties& properties,
                       const std::string& passwdPath, const ofw::LoggerPtr& logger)
    : loader_(loader), properties_(properties), passwdPath_(passwdPath),
      logger_(logger ? logger : ofw::getLogger("ovg.vgd.ipcserver")),
      shimLogger_(ofw::getLogger("ovg.lrpc2shim")),
      userCache_(PASSWD_CACHE_USER), negativeCache1_(PASSWD_CACHE_NEGATIVE_NAME),
      negativeCache2_(PASSWD_CACHE_NEGATIVE_UID) {
  userCache_.setLogger(logger_);
  negativeCache1_.setLogger(logger_);
  negativeCache2_.setLogger(logger_);
  loadCacheProp();
  InitAuditLevelContext(&auditLevelContext_, &properties_);
  if (isDirectoryInstalled()) initCAPI();
}

UserLookup::~UserLookup() {
  {
    ofw::Lock lock(capiMutex_);
    capiSession_.reset();
  }
  FreeAuditLevelContext(&auditLevelContext_, true);
}

void UserLookup::loadCacheProp() { loadCacheProp(properties_); }

void UserLookup::loadCacheProp(const ofw::Properties& properties) {
  int ttl = parseDecimal(properties.getProperty("cache.time.to.live", ""), PasswdCache::kDefaultTimeToLive);
  int size = parseDecimal(properties.getProperty("cache.max.size", ""), PasswdCache::kDefaultMaxSize);
  bool positive = parseEnable(properties.getProperty("cache.enable", ""));
  bool negative = parseEnable(properties.getProperty("negative.cache.enable", ""));

  PasswdCache* all[] = {&userCache_, &negativeCache1_, &negativeCache2_};
  for (PasswdCache* cache : all) {
    cache->setTimeToLive(ttl);
    cache->setCacheSize(size);
  }
  userCache_.setType(PASSWD_CACHE_USER);
  negativeCache1_.setType(PASSWD_CACHE_NEGATIVE_NAME);
  negativeCache2_.setType(PASSWD_CACHE_NEGATIVE_UID);
  if (positive)
    userCache_.enable();
  else
    userCache_.disable();
  for (PasswdCache* cache : {&negativeCache1_, &negativeCache2_}) {
    if (negative)
      cache->enable();
    else
      cache->disable();
  }
}

bool UserLookup::isDirectoryInstalled() const { return ofw::IsDUZInstalled(loader_.getCapiPath()); }

bool UserLookup::initCAPI() {
  ofw::Lock lock(capiMutex_);
  if (capiSession_ && capiSession_->isOpen()) return true;
  OFW_TRACE(logger_, "Initializing CAPI session...");
  capiAuditLevelSupport_ = loader_.isAuditLevelAvailable();
  boost::shared_ptr<ofw::CapiSession> session(new ofw::CapiSession(loader_));
  // A library without its core functions cannot be used at all.
  int rc = loader_.isCapiCoreAvailable() ? session->open(OPW_API_VERSION, OPW_DEFAULT_TIMEOUT)
                                         : OPW_ERR_UNSUPPORTED;
  if (rc != OPW_OK || !session->isOpen()) {
    if (!gOpenFailureLogged.exchange(true))
      OFW_INFO(logger_, "Open CAPI session failed (error=%d) and will be retried later.", rc);
    return false;
  }
  OFW_DEBUG(logger_, "CAPI session successfully opened. (AuditLevel Support = %d)",
            capiAuditLevelSupport_ ? 1 : 0);
  int32_t on = 1;
  rc = loader_.opwSetOption(session->get(), OPW_OPT_UNIX_ONLY, &on, sizeof(on));
  if (rc != OPW_OK)
    OFW_DEBUG(logger_, "Set OPW_OPT_UNIX_ONLY failed: %s (%d)\n", loader_.codeText(rc).c_str(), rc);
  capiSession_ = session;
  return true;
}

bool UserLookup::isCapiSessionOpen() const {
  ofw::Lock lock(capiMutex_);
  return capiSession_ && capiSession_->isOpen();
}

bool UserLookup::capiAuditLevelSupport() const {
  ofw::Lock lock(capiMutex_);
  return capiAuditLevelSupport_;
}

boost::shared_ptr<ofw::CapiSession> UserLookup::currentSession() const {
  ofw::Lock lock(capiMutex_);
  if (capiSession_ && capiSession_->isOpen()) return capiSession_;
  return boost::shared_ptr<ofw::CapiSession>();
}

void UserLookup::dropSession(const boost::shared_ptr<ofw::CapiSession>& session, int status) {
  if (status != OPW_ERR_NOT_CONNECTED) return;
  ofw::Lock lock(capiMutex_);
  // Other threads may still use it: it closes when the last of them lets go.
  if (capiSession_ == session) capiSession_.reset();
}

bool UserLookup::readDirectoryUser(OPW_SESSION session, OPW_OBJECT object, PasswdDA& record) {
  PasswdDA r;
  long long uid = -1, gid = -1;
  if (loader_.getAttributeString(session, object, "_UnixName", r.name) != OPW_OK || r.name.empty())
    return false;
  if (loader_.opwGetAttributeInt(session, object, "_Uid", &uid) != OPW_OK ||
      loader_.opwGetAttributeInt(session, object, "_Gid", &gid) != OPW_OK)
    return false;
  // 4294967295 is (uid_t)-1, "no id".
  if (uid < 0 || uid >= 4294967295LL || gid < 0 || gid >= 4294967295LL) return false;
  r.uid = static_cast<uint32_t>(uid);
  r.gid = static_cast<uint32_t>(gid);
  // Optional attributes: absent ones stay empty.
  loader_.getAttributeString(session, object, "_GECOS", r.gecos);
  loader_.getAttributeString(session, object, "_HomeDirectory", r.dir);
  loader_.getAttributeString(session, object, "_LoginShell", r.shell);

  std::string dn, upn, domain;
  loader_.getAttributeString(session, object, "_dn", dn);
  loader_.getAttributeString(session, object, "userPrincipalName", upn);
  if (dn.empty() || loader_.domainFromDN(dn, domain) != OPW_OK || domain.empty()) {
    size_t at = upn.rfind('@');
    if (at != std::string::npos) domain = upn.substr(at + 1);
  }
  if (domain.empty())
    OFW_DEBUG(logger_, "Unable to determine the domain name when getting AD user profile.");

  r.passwd = "x";
  r.flag = true;
  record = r;
  return true;
}

bool UserLookup::kirad_getpwnam(const std::string& name, PasswdDA& record) {
  try {
    {
      ofw::Lock lock(passwdLock_);
      if (VGCIsNonBlockingUser(&auditLevelContext_, name.c_str())) {
        OFW_DEBUG(logger_, "kirad_getpwnam ignored user %s, because the user appears in user ignore list.",
                  name.c_str());
        return false;
      }
    }
    if (PasswdCache::Record hit = userCache_.findUsername(name, PASSWD_AD_USER)) {
      OFW_DEBUG(logger_, "kirad_getpwnam cache hit for user %s", name.c_str());
      record = *hit;
      return true;
    }
    if (negativeCache1_.findUsername(name, PASSWD_AD_USER)) {
      OFW_DEBUG(logger_, "kirad_getpwnam cache(-ve) hit for user %s", name.c_str());
      return false;
    }
    OFW_DEBUG(logger_, "kirad_getpwnam cache miss for user %s", name.c_str());

    initCAPI();
    boost::shared_ptr<ofw::CapiSession> session = currentSession();
    if (!session) {
      OFW_DEBUG(logger_, "CAPI session not open for user %s.", name.c_str());
      return false;
    }
    OFW_DEBUG(logger_, "kirad_getpwnam asks kirad for user %s", name.c_str());
    ofw::CapiObject object(loader_);
    int rc = loader_.opwLookupObjectByName(session->get(), name.c_str(), kPerson, object.out());
    if (rc == OPW_ERR_NOT_FOUND) {
      OFW_DEBUG(logger_, "kirad_getpwnam cannot found user %s. Add to negative cache.", name.c_str());
      PasswdDA negative;
      negative.name = name;
      negative.flag = true;
      negativeCache1_.insert(negative);
      return false;
    }
    if (rc != OPW_OK || object.get() == nullptr) {
      OFW_INFO(logger_, "CAPI failed to lookup user %s.  rc=%d", name.c_str(), rc);
      dropSession(session, rc);
      return false;
    }
    PasswdDA found;
    if (!readDirectoryUser(session->get(), object.get(), found)) {
      OFW_WARN(logger_, "Could not get attributes for user %s", name.c_str());
      return false;
    }
    OFW_DEBUG(logger_, "kirad_getpwnam found user %s. Add to cache.", name.c_str());
    userCache_.insert(found);
    record = found;
    return true;
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Get user from kirad failed. Throw an exception: %s", e.what());
    throw;
  }
}

bool UserLookup::kirad_getpwuid(uint32_t uid, PasswdDA& record) {
  const long luid = static_cast<long>(uid);
  try {
    {
      ofw::Lock lock(passwdLock_);
      if (VGCIsNonBlockingUID(&auditLevelContext_, luid)) {
        OFW_DEBUG(logger_, "kirad_getpwuid ignored UID %ld, because the uid appears in uid ignore list.",
                  luid);
        return false;
      }
    }
    if (PasswdCache::Record hit = userCache_.findUID(uid, PASSWD_AD_USER)) {
      OFW_DEBUG(logger_, "kirad_getpwuid cache hit for UID %ld", luid);
      record = *hit;
      return true;
    }
    if (negativeCache2_.findUID(uid, PASSWD_AD_USER)) {
      OFW_DEBUG(logger_, "kirad_getpwuid cache(-ve) hit for UID %ld", luid);
      return false;
    }
    OFW_DEBUG(logger_, "kirad_getpwuid cache miss for UID %ld", luid);

    initCAPI();
    boost::shared_ptr<ofw::CapiSession> session = currentSession();
    if (!session) {
      OFW_DEBUG(logger_, "CAPI session not open for UID %ld.", luid);
      return false;
    }
    OFW_DEBUG(logger_, "kirad_getpwuid asks kirad for UID %ld", luid);
    ofw::CapiObject object(loader_);
    int rc = loader_.opwLookupObjectByUnixId(session->get(), OPW_UNIXID_USER, uid, object.out());
    if (rc == OPW_ERR_NOT_FOUND) {
      OFW_DEBUG(logger_, "kirad_getpwuid cannot found UID %ld. Add to negative cache.", luid);
      PasswdDA negative;
      negative.uid = uid;
      negative.flag = true;
      negativeCache2_.insert(negative);
      return false;
    }
    if (rc != OPW_OK || object.get() == nullptr) {
      OFW_INFO(logger_, "CAPI failed to lookup UID %ld.  rc=%d", luid, rc);
      dropSession(session, rc);
      return false;
    }
    PasswdDA found;
    if (!readDirectoryUser(session->get(), object.get(), found)) {
      OFW_WARN(logger_, "Could not get attributes for UID %ld", luid);
      return false;
    }
    OFW_DEBUG(logger_, "kirad_getpwuid found UID %ld. Add to cache.", luid);
    userCache_.insert(found);
    record = found;
    return true;
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Get user from kirad failed. Throw an exception: %s", e.what());
    throw;
  }
}

void UserLookup::logFoundPasswd(const char* function, const std::string& key, const PasswdEntry& e) {
  OFW_TRACE(logger_,
            "%s: found %s, pw_name: %s, pw_passwd: %s, pw_uid: %u, pw_gid: %u, pw_gecos: %s, "
            "pw_dir: %s, pw_shell: %s",
            function, key.c_str(), e.name.c_str(), loggablePasswd(e.passwd), e.uid, e.gid,
            e.gecos.c_str(), e.dir.c_str(), e.shell.c_str());
}

bool UserLookup::passwd_getpwnam(const std::string& name, PasswdDA& record) {
  std::string trimmed = RemoveAtLocalhost(name);
  if (PasswdCache::Record hit = userCache_.findUsername(trimmed, PASSWD_LOCAL_USER)) {
    OFW_DEBUG(logger_, "passwd_getpwnam cache hit for user %s", trimmed.c_str());
    record = *hit;
    return true;
  }
  OFW_DEBUG(logger_, "passwd_getpwnam cache miss for user %s", trimmed.c_str());
  PasswdEntry entry;
  int rc = CallFrmFileGetpwnam_r(passwdPath_, trimmed, entry);
  if (rc != 0) {
    if (rc != ENOENT)
      OFW_DEBUG(logger_, "Cannot read %s: %s", passwdPath_.c_str(), strerror(rc));
    OFW_DEBUG(logger_, "passwd_getpwnam: not found %s (trimmed: %s)", name.c_str(), trimmed.c_str());
    return false;
  }
  logFoundPasswd("passwd_getpwnam", name, entry);
  PasswdDA found = PasswdDA(entry);
  OFW_DEBUG(logger_, "passwd_getpwnam found user %s (trimmed: %s). Add to cache.", name.c_str(),
            trimmed.c_str());
  userCache_.insert(found);
  record = found;
  return true;
}

bool UserLookup::passwd_getpwuid(uint32_t uid, PasswdDA& record) {
  const long luid = static_cast<long>(uid);
  if (PasswdCache::Record hit = userCache_.findUID(uid, PASSWD_LOCAL_USER)) {
    OFW_DEBUG(logger_, "passwd_getpwuid cache hit for UID %ld", luid);
    record = *hit;
    return true;
  }
  OFW_DEBUG(logger_, "passwd_getpwuid cache miss for UID %ld", luid);
  PasswdEntry entry;
  int rc = CallFrmFileGetpwuid_r(passwdPath_, uid, entry);
  if (rc != 0) {
    if (rc != ENOENT)
      OFW_DEBUG(logger_, "Cannot read %s: %s", passwdPath_.c_str(), strerror(rc));
    OFW_DEBUG(logger_, "passwd_getpwuid: not found %ld", luid);
    return false;
  }
  logFoundPasswd("passwd_getpwuid", std::to_string(uid), entry);
  PasswdDA found = PasswdDA(entry);
  OFW_DEBUG(logger_, "passwd_getpwuid found uid %ld. Add to cache.", luid);
  userCache_.insert(found);
  record = found;
  return true;
}

bool UserLookup::vgd_getpwnam(const std::string& name, PasswdDA& record, bool localOnly) {
  if (name.empty() || name.size() > kMaxUserNameLength) {
    OFW_DEBUG(logger_, "vgd_getpwnam: a name of %zu bytes is no user's", name.size());
    return false;
  }
  bool atLocalhost = EndsWithAtLocalhost(name);
  if (!localOnly && !atLocalhost && isDirectoryInstalled()) {
    OFW_TRACE(logger_, "vgd_getpwnam: query user %s info by asking kirad (username)", name.c_str());
    if (kirad_getpwnam(name, record)) {
      OFW_DEBUG(logger_, "vgd_getpwnam: user %s found by asking kirad/cache.", name.c_str());
      return true;
    }
  }
  if (atLocalhost)
    OFW_TRACE(logger_, "vgd_getpwnam: username %s ends with %s, only look up user in passwd file.",
              name.c_str(), kAtLocalhostText);
  OFW_TRACE(logger_, "vgd_getpwnam: query user %s info by reading passwd file (username)", name.c_str());
  if (passwd_getpwnam(name, record)) {
    OFW_DEBUG(logger_, "vgd_getpwnam: user %s found by reading passwd file.", name.c_str());
    return true;
  }
  OFW_DEBUG(logger_, "vgd_getpwam: user %s not found", name.c_str());
  return false;
}

bool UserLookup::vgd_getpwuid(uint32_t uid, PasswdDA& record, bool localOnly) {
  if (!localOnly && isDirectoryInstalled()) {
    OFW_TRACE(logger_, "vgd_getpwuid: query UID %u info by asking kirad (uid)", uid);
    if (kirad_getpwuid(uid, record)) {
      OFW_DEBUG(logger_, "vgd_getpwuid: UID %u found by asking kirad.", uid);
      return true;
    }
  }
  OFW_TRACE(logger_, "vgd_getpwuid: query UID %u info by reading passwd file (uid)", uid);
  if (passwd_getpwuid(uid, record)) {
    OFW_DEBUG(logger_, "vgd_getpwuid: UID %u found by reading passwd file.", uid);
    return true;
  }
  OFW_DEBUG(logger_, "vgd_getpwuid: UID %u not found", uid);
  return false;
}

bool UserLookup::getUserAndSid(const std::string& name, std::string& directoryName, std::string& sid) {
  OFW_DEBUG(shimLogger_, "getting ad info for user: %s", name.c_str());
  bool result = false;
  std::string adName, userSid;
  ofw::CapiSession session(loader_);
  int rc = loader_.isCapiCoreAvailable() ? session.open(OPW_API_VERSION, OPW_DEFAULT_TIMEOUT)
                                         : OPW_ERR_UNSUPPORTED;
  if (rc != OPW_OK) {
    OFW_DEBUG(shimLogger_, "Lrpc2Shim::getUserAndSid() unable to open lrpc2 session: %s",
              loader_.codeText(rc).c_str());
  } else {
    int32_t on = 1;
    rc = loader_.opwSetOption(session.get(), OPW_OPT_UNIX_ONLY, &on, sizeof(on));
    if (rc != OPW_OK) {
      OFW_DEBUG(shimLogger_, "Lrpc2Shim::getUserAndSid() unable to set UNIX name lookup option: %s",
                loader_.codeText(rc).c_str());
    } else {
      ofw::CapiObject object(loader_);
      rc = loader_.opwLookupObjectByName(session.get(), name.c_str(), kPerson, object.out());
      if (rc != OPW_OK || object.get() == nullptr) {
        OFW_DEBUG(shimLogger_, "Lrpc2Shim::getUserAndSid() unable to look up user object: %s",
                  loader_.codeText(rc).c_str());
      } else {
        loader_.getAttributeString(session.get(), object.get(), "_SID", userSid);
        if (loader_.getAttributeString(session.get(), object.get(), "sAMAccountName", adName) == OPW_OK)
          OFW_DEBUG(shimLogger_, "Lrpc2Shim::getUserAndSid() adName set using [%s]", adName.c_str());
        result = true;
      }
    }
  }
  if (result) {
    directoryName = adName;
    sid = userSid;
  }
  OFW_DEBUG(shimLogger_, "result: %s, name: %s sid: %s", result ? "True" : "False",
            adName.c_str(), userSid.c_str());
  return result;
}

bool UserLookup::ping() {
  OFW_DEBUG(shimLogger_, "pinging kirad");
  ofw::CapiSession session(loader_);
  bool ok = loader_.isCapiCoreAvailable() &&
            session.open(OPW_API_VERSION, OPW_DEFAULT_TIMEOUT) == OPW_OK;
  OFW_DEBUG(shimLogger_, "ping result: %s", ok ? "True" : "False");
  return ok;
}

std::string UserLookup::getUserSource(const std::string& name) {
  initCAPI();
  boost::shared_ptr<ofw::CapiSession> session = currentSession();
  if (!session || name.empty()) return std::string();
  ofw::CapiObject object(loader_);
  int rc = loader_.opwLookupObjectByName(session->get(), name.c_str(), kPerson, object.out());
  if (rc != OPW_OK || object.get() == nullptr) {
    dropSession(session, rc);
    return std::string();
  }
  std::string dn, domain;
  if (loader_.getAttributeString(session->get(), object.get(), "_dn", dn) == OPW_OK && !dn.empty() &&
      loader_.domainFromDN(dn, domain) == OPW_OK && !domain.empty())
    return lowerCase(domain);
  std::string upn;
  if (loader_.getAttributeString(session->get(), object.get(), "userPrincipalName", upn) == OPW_OK) {
    size_t at = upn.rfind('@');
    if (at != std::string::npos && at + 1 < upn.size()) return lowerCase(upn.substr(at + 1));
  }
  return std::string();
}

void UserLookup::flushCaches() {
  userCache_.flush();
  negativeCache1_.flush();
  negativeCache2_.flush();
}

PasswdCacheCounters UserLookup::cacheHits() const {
  PasswdCacheCounters total = userCache_.hits();
  total += negativeCache1_.hits();
  total += negativeCache2_.hits();
  return total;
}

PasswdCacheCounters UserLookup::cacheMisses() const {
  PasswdCacheCounters total = userCache_.misses();
  total += negativeCache1_.misses();
  total += negativeCache2_.misses();
  return total;
}

}  // namespace ovg
