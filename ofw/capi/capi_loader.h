// Run-time loader of the directory client library (OPW CAPI).
//
// The library is opened once with lazy binding and its functions are resolved
// by name into typed pointers (ofw/capi/capi.h). A missing library file makes the
// library unavailable; a library that lacks functions is loaded but not
// complete:
//   - core available: every function except opwGetAuditLevel and
//     opwLdapSearchHandle resolved;
//   - audit levels available: opwGetAuditLevel resolved.
// A pointer whose function did not resolve is null; callers check the
// availability first, or use the helpers below, which answer
// OPW_ERR_UNSUPPORTED for a missing function.
//
// The process-wide loader (getInstance) opens paths::CAPI_LIBRARY on first use
// and is never unloaded: library code may still run on other threads while the
// process exits. Instances built with a path (tests) close their library when
// destroyed; every object, string and session obtained through them must be
// released first. After construction a loader is read-only and may be shared
// between threads.
#pragma once
#include <string>
#include <vector>

#include "ofw/capi/capi.h"
#include "ofw/paths.h"

namespace ofw {

class CapiDynamicLoader {
 public:
  static const CapiDynamicLoader& getInstance();

  explicit CapiDynamicLoader(const std::string& libraryPath = paths::CAPI_LIBRARY);
  ~CapiDynamicLoader();
  CapiDynamicLoader(const CapiDynamicLoader&) = delete;
  CapiDynamicLoader& operator=(const CapiDynamicLoader&) = delete;

  bool isCapiLibAvailable() const { return handle_ != nullptr; }
  bool isCapiCoreAvailable() const { return coreAvailable_; }
  bool isAuditLevelAvailable() const { return opwGetAuditLevel != nullptr; }

  // The path the loader was given.
  const std::string& getCapiPath() const { return path_; }
  // The library file's real path (symbolic links resolved, as at load time);
  // the given path when it cannot be resolved (for instance a missing file).
  const std::string& getRealCapiPath() const { return realPath_; }
  // Why the library is unavailable or incomplete ("" when it is complete).
  const std::string& getLoadError() const { return loadError_; }
  // Names of the functions that did not resolve.
  const std::vector<std::string>& getMissingFunctions() const { return missing_; }

  // Helpers that own what the library returns. Each answers
  // OPW_ERR_UNSUPPORTED when the function it needs did not resolve.
  int getAttributeString(OPW_SESSION session, OPW_OBJECT object, const char* name,
                         std::string& value) const;
  int getAttributeStringList(OPW_SESSION session, OPW_OBJECT object, const char* name,
                             std::vector<std::string>& values) const;
  int domainFromDN(const std::string& dn, std::string& domain) const;
  // The library's text for a status, or "status <n>" when it has none.
  std::string codeText(int status) const;

  // The library's functions; null when not resolved.
  opwSessionOpen_fn* opwSessionOpen = nullptr;
  opwSessionClose_fn* opwSessionClose = nullptr;
  opwSetOption_fn* opwSetOption = nullptr;
  opwLookupObjectByName_fn* opwLookupObjectByName = nullptr;
  opwLookupObjectByUnixId_fn* opwLookupObjectByUnixId = nullptr;
  opwLookupObjectBySid_fn* opwLookupObjectBySid = nullptr;
  opwGetAttributeStr_fn* opwGetAttributeStr = nullptr;
  opwGetAttributeInt_fn* opwGetAttributeInt = nullptr;
  opwGetAttributeBool_fn* opwGetAttributeBool = nullptr;
  opwGetAttributeList_fn* opwGetAttributeList = nullptr;
  opwIsObjectCategory_fn* opwIsObjectCategory = nullptr;
  opwValidateUserGroup_fn* opwValidateUserGroup = nullptr;
  opwLdapSearchOpen_fn* opwLdapSearchOpen = nullptr;
  opwLdapSearchNext_fn* opwLdapSearchNext = nullptr;
  opwLdapSearchInfo_fn* opwLdapSearchInfo = nullptr;
  opwLdapSearchClose_fn* opwLdapSearchClose = nullptr;
  opwLdapSearchHandle_fn* opwLdapSearchHandle = nullptr;
  opwLdapFetch_fn* opwLdapFetch = nullptr;
  opwDomainFromDN_fn* opwDomainFromDN = nullptr;
  opwFreeObject_fn* opwFreeObject = nullptr;
  opwFreeString_fn* opwFreeString = nullptr;
  opwFreeStringList_fn* opwFreeStringList = nullptr;
  opwGetOpwCodeStr_fn* opwGetOpwCodeStr = nullptr;
  opwGetAuditLevel_fn* opwGetAuditLevel = nullptr;

 private:
  std::string path_;
  std::string realPath_;
  std::string loadError_;
  std::vector<std::string> missing_;
  void* handle_ = nullptr;
  bool coreAvailable_ = false;
};

// A directory session that is closed when the owner goes away.
class CapiSession {
 public:
  explicit CapiSession(const CapiDynamicLoader& loader) : loader_(loader) {}
  ~CapiSession() { close(); }
  CapiSession(const CapiSession&) = delete;
  CapiSession& operator=(const CapiSession&) = delete;

  // Opens (closing a session held before); OPW_ERR_UNSUPPORTED without the
  // library's session calls.
  int open(int version = OPW_API_VERSION, int timeoutSeconds = OPW_DEFAULT_TIMEOUT);
  void close();
  bool isOpen() const { return session_ != nullptr; }
  OPW_SESSION get() const { return session_; }

 private:
  const CapiDynamicLoader& loader_;
  OPW_SESSION session_ = nullptr;
};

// An object handle freed with opwFreeObject; pass out() to a look-up.
class CapiObject {
 public:
  explicit CapiObject(const CapiDynamicLoader& loader) : loader_(loader) {}
  ~CapiObject() { reset(); }
  CapiObject(const CapiObject&) = delete;
  CapiObject& operator=(const CapiObject&) = delete;

  OPW_OBJECT* out() { reset(); return &object_; }
  OPW_OBJECT get() const { return object_; }
  void reset();

 private:
  const CapiDynamicLoader& loader_;
  OPW_OBJECT object_ = nullptr;
};

// A search handle closed with opwLdapSearchClose; pass out() to opwLdapSearchOpen.
class CapiSearch {
 public:
  explicit CapiSearch(const CapiDynamicLoader& loader) : loader_(loader) {}
  ~CapiSearch() { reset(); }
  CapiSearch(const CapiSearch&) = delete;
  CapiSearch& operator=(const CapiSearch&) = delete;

  OPW_SEARCH* out() { reset(); return &search_; }
  OPW_SEARCH get() const { return search_; }
  void reset();

 private:
  const CapiDynamicLoader& loader_;
  OPW_SEARCH search_ = nullptr;
};

}  // namespace ofw
