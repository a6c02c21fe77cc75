// Run-time loader of the audit-trail proxy library, through which the daemon
// raises its own audit-trail events (start, stop, refusals).
//
// load() opens <base>lib64/libat_proxy.so, resolves its five functions and
// accepts it only when its version is at least 1.0.0. The library is used only
// when all three steps succeeded (isAvailable); a missing, incomplete or older
// library disables the daemon's own events and nothing else.
//
// Every operation takes the loader's mutex, so one loader may be shared by all
// threads. The process-wide loader (GetATProxyLibLoader) is created and loaded
// once, on first use, from "/usr/share/orvanepw/"; loaders built with another
// base directory (tests) close their library when destroyed.
#pragma once
#include <boost/shared_ptr.hpp>
#include <string>

#include "audittrail/at_proxy_api.h"
#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"

namespace audittrail {

struct ATProxyLibVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
  // <0, 0, >0 as this version is older than, equal to or newer than other
  // (major, then minor, then patch).
  int compare(const ATProxyLibVersion& other) const;
};

class ATProxyLibLoader {
 public:
  static constexpr const char* DEFAULT_BASE_DIR = "/usr/share/orvanepw/";
  static constexpr const char* LIBRARY_NAME = "libat_proxy";
  static const ATProxyLibVersion MINIMUM_VERSION;

  explicit ATProxyLibLoader(std::string baseDir = DEFAULT_BASE_DIR);
  ~ATProxyLibLoader();
  ATProxyLibLoader(const ATProxyLibLoader&) = delete;
  ATProxyLibLoader& operator=(const ATProxyLibLoader&) = delete;

  // loadLibrary(LIBRARY_NAME), then loadSymbols(), then checkVersion().
  bool load();
  // Opens <base> + "lib64" + "/" + name + ".so" (lazy binding).
  bool loadLibrary(const std::string& name);
  // True when all five functions resolved.
  bool loadSymbols();
  // True when the library's version is at least MINIMUM_VERSION.
  bool checkVersion();
  bool isAvailable();
  // The calls below answer -1 unless the functions resolved.
  bool getVersion(ATProxyLibVersion& version);
  int initATContext(void** ctx);
  int freeATContext(void** ctx);
  int setAuditTrailEvent(void* ctx, const char* product, const char* source, int eventId, const char* userName,
                         unsigned int uid, const char* parameters);
  void unloadLibrary();

  std::string libraryPath(const std::string& name) const;

 private:
  bool symbolsLocked() const;
  bool getVersionLocked(ATProxyLibVersion& version);

  ofw::Mutex mutex_;
  std::string baseDir_;
  void* handle_ = nullptr;
  bool versionAccepted_ = false;
  ATProxyGetVersionFn* getVersion_ = nullptr;
  ATProxyCheckVersionFn* checkVersion_ = nullptr;
  ATProxyInitATContextFn* initContext_ = nullptr;
  ATProxyFreeATContextFn* freeContext_ = nullptr;
  ATProxySetAuditTrailEvent2Fn* setEvent_ = nullptr;
  ofw::LoggerPtr logger_;
};

// The process-wide loader, created and loaded on first use.
boost::shared_ptr<ATProxyLibLoader> GetATProxyLibLoader();

}  // namespace audittrail
