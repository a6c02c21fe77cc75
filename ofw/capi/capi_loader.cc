#include "ofw/capi/capi_loader.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>

#include <cstdlib>

#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/logging/logger.h"

namespace ofw {

namespace {

const char* const kLoggerName = "ofw.capi";

// dlsym gives a data pointer; POSIX guarantees it converts to the function's type.
template <typename F>
void resolve(void* handle, const char* name, F*& slot, std::vector<std::string>& missing) {
  dlerror();
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) {
    missing.push_back(name);
    return;
  }
  slot = reinterpret_cast<F*>(symbol);
}

}  // namespace

const CapiDynamicLoader& CapiDynamicLoader::getInstance() {
  // Never destroyed: see the header.
  static const CapiDynamicLoader* instance = new CapiDynamicLoader(paths::CAPI_LIBRARY);
  return *instance;
}

CapiDynamicLoader::CapiDynamicLoader(const std::string& libraryPath)
    : path_(libraryPath), realPath_(libraryPath) {
  LoggerPtr logger = getLogger(kLoggerName);
  if (char* real = ::realpath(path_.c_str(), nullptr)) {
    realPath_ = real;
    std::free(real);
  }

  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) {
    loadError_ = withErrno("OPW CAPI library " + path_, errno);
    OFW_DEBUG(logger, "%s", loadError_.c_str());
    return;
  }
  handle_ = dlopen(path_.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* err = dlerror();
    loadError_ = format("Unable to load OPW CAPI library %s: %s", path_.c_str(),
                        err ? err : "unknown error");
    OFW_WARN(logger, "%s", loadError_.c_str());
    return;
  }

  resolve(handle_, "opwSessionOpen", opwSessionOpen, missing_);
  resolve(handle_, "opwSessionClose", opwSessionClose, missing_);
  resolve(handle_, "opwSetOption", opwSetOption, missing_);
  resolve(handle_, "opwLookupObjectByName", opwLookupObjectByName, missing_);
  resolve(handle_, "opwLookupObjectByUnixId", opwLookupObjectByUnixId, missing_);
  resolve(handle_, "opwLookupObjectBySid", opwLookupObjectBySid, missing_);
  resolve(handle_, "opwGetAttributeStr", opwGetAttributeStr, missing_);
  resolve(handle_, "opwGetAttributeInt", opwGetAttributeInt, missing_);
  resolve(handle_, "opwGetAttributeBool", opwGetAttributeBool, missing_);
  resolve(handle_, "opwGetAttributeList", opwGetAttributeList, missing_);
  resolve(handle_, "opwIsObjectCategory", opwIsObjectCategory, missing_);
  resolve(handle_, "opwValidateUserGroup", opwValidateUserGroup, missing_);
  resolve(handle_, "opwLdapSearchOpen", opwLdapSearchOpen, missing_);
  resolve(handle_, "opwLdapSearchNext", opwLdapSearchNext, missing_);
  resolve(handle_, "opwLdapSearchInfo", opwLdapSearchInfo, missing_);
  resolve(handle_, "opwLdapSearchClose", opwLdapSearchClose, missing_);
  resolve(handle_, "opwLdapFetch", opwLdapFetch, missing_);
  resolve(handle_, "opwDomainFromDN", opwDomainFromDN, missing_);
  resolve(handle_, "opwFreeObject", opwFreeObject, missing_);
  resolve(handle_, "opwFreeString", opwFreeString, missing_);
  resolve(handle_, "opwFreeStringList", opwFreeStringList, missing_);
  resolve(handle_, "opwGetOpwCodeStr", opwGetOpwCodeStr, missing_);
  // Everything above is the core; the two below are optional.
  coreAvailable_ = missing_.empty();
  resolve(handle_, "opwLdapSearchHandle", opwLdapSearchHandle, missing_);
  resolve(handle_, "opwGetAuditLevel", opwGetAuditLevel, missing_);

  if (!missing_.empty()) {
    std::string names;
    for (const std::string& name : missing_) {
      if (!names.empty()) names += ", ";
      names += name;
    }
    loadError_ = format("OPW CAPI library %s lacks %s", path_.c_str(), names.c_str());
    if (coreAvailable_) {
      OFW_DEBUG(logger, "%s", loadError_.c_str());
    } else {
      OFW_WARN(logger, "%s", loadError_.c_str());
    }
  }
  OFW_DEBUG(logger, "Loaded OPW CAPI library %s (core %s, audit levels %s)", realPath_.c_str(),
            coreAvailable_ ? "available" : "unavailable",
            opwGetAuditLevel ? "available" : "unavailable");
}

CapiDynamicLoader::~CapiDynamicLoader() {
  if (handle_ != nullptr) dlclose(handle_);
}

int CapiDynamicLoader::getAttributeString(OPW_SESSION session, OPW_OBJECT object,
                                          const char* name, std::string& value) const {
  if (opwGetAttributeStr == nullptr || opwFreeString == nullptr) return OPW_ERR_UNSUPPORTED;
  char* text = nullptr;
  int rc = opwGetAttributeStr(session, object, name, &text);
  if (rc != OPW_OK) return rc;
  if (text == nullptr) return OPW_ERR_NO_ATTRIBUTE;
  try {
    value.assign(text);
  } catch (...) {
    opwFreeString(text);
    throw;
  }
  opwFreeString(text);
  return OPW_OK;
}

int CapiDynamicLoader::getAttributeStringList(OPW_SESSION session, OPW_OBJECT object,
                                              const char* name,
                                              std::vector<std::string>& values) const {
  if (opwGetAttributeList == nullptr || opwFreeStringList == nullptr) return OPW_ERR_UNSUPPORTED;
  char** list = nullptr;
  size_t count = 0;
  int rc = opwGetAttributeList(session, object, name, &list, &count);
  if (rc != OPW_OK) return rc;
  std::vector<std::string> result;
  try {
    result.reserve(count);
    for (size_t i = 0; i < count && list != nullptr; ++i) result.emplace_back(list[i] ? list[i] : "");
  } catch (...) {
    opwFreeStringList(list, count);
    throw;
  }
  opwFreeStringList(list, count);
  values.swap(result);
  return OPW_OK;
}

int CapiDynamicLoader::domainFromDN(const std::string& dn, std::string& domain) const {
  if (opwDomainFromDN == nullptr || opwFreeString == nullptr) return OPW_ERR_UNSUPPORTED;
  char* text = nullptr;
  int rc = opwDomainFromDN(dn.c_str(), &text);
  if (rc != OPW_OK) return rc;
  if (text == nullptr) return OPW_ERR_BAD_DN;
  try {
    domain.assign(text);
  } catch (...) {
    opwFreeString(text);
    throw;
  }
  opwFreeString(text);
  return OPW_OK;
}

std::string CapiDynamicLoader::codeText(int status) const {
  const char* text = opwGetOpwCodeStr ? opwGetOpwCodeStr(status) : nullptr;
  return text ? std::string(text) : format("status %d", status);
}

int CapiSession::open(int version, int timeoutSeconds) {
  close();
  if (loader_.opwSessionOpen == nullptr || loader_.opwSessionClose == nullptr)
    return OPW_ERR_UNSUPPORTED;
  OPW_SESSION session = nullptr;
  int rc = loader_.opwSessionOpen(version, timeoutSeconds, &session);
  if (rc != OPW_OK) return rc;
  if (session == nullptr) return OPW_ERR_INTERNAL;
  session_ = session;
  return OPW_OK;
}

void CapiSession::close() {
  if (session_ != nullptr) {
    loader_.opwSessionClose(session_);
    session_ = nullptr;
  }
}

void CapiObject::reset() {
  if (object_ != nullptr) {
    if (loader_.opwFreeObject) loader_.opwFreeObject(object_);
    object_ = nullptr;
  }
}

void CapiSearch::reset() {
  if (search_ != nullptr) {
    if (loader_.opwLdapSearchClose) loader_.opwLdapSearchClose(search_);
    search_ = nullptr;
  }
}

}  // namespace ofw
