#include "audittrail/at_proxy_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>

namespace audittrail {

namespace {

// dlsym gives a data pointer; POSIX guarantees it converts to the function's type.
template <typename F>
bool resolve(void* handle, const char* name, F*& slot) {
  slot = reinterpret_cast<F*>(dlsym(handle, name));
  return slot != nullptr;
}

}  // namespace

const ATProxyLibVersion ATProxyLibLoader::MINIMUM_VERSION = {1, 0, 0};

int ATProxyLibVersion::compare(const ATProxyLibVersion& other) const {
  if (major != other.major) return major < other.major ? -1 : 1;
  if (minor != other.minor) return minor < other.minor ? -1 : 1;
  if (patch != other.patch) return patch < other.patch ? -1 : 1;
  return 0;
}

ATProxyLibLoader::ATProxyLibLoader(std::string baseDir)
    : baseDir_(std::move(baseDir)), logger_(ofw::getLogger("atproxy.libloader")) {}

ATProxyLibLoader::~ATProxyLibLoader() { unloadLibrary(); }

std::string ATProxyLibLoader::libraryPath(const std::string& name) const {
  return baseDir_ + "lib64" + "/" + name + "." + "so";
}

bool ATProxyLibLoader::load() { return loadLibrary(LIBRARY_NAME) && loadSymbols() && checkVersion(); }

bool ATProxyLibLoader::loadLibrary(const std::string& name) {
  ofw::Lock lock(mutex_);
  if (handle_) return true;
  const std::string path = libraryPath(name);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    OFW_DEBUG(logger_, "Failed to locate audit trail proxy library %s (errno=%d)", path.c_str(), errno);
    return false;
  }
  handle_ = dlopen(path.c_str(), RTLD_LAZY);
  if (!handle_) {
    const char* reason = dlerror();
    OFW_DEBUG(logger_, "Failed to load audit trail proxy library %s, reason: %s", path.c_str(),
              reason ? reason : "");
    return false;
  }
  return true;
}

bool ATProxyLibLoader::loadSymbols() {
  ofw::Lock lock(mutex_);
  if (!handle_) return false;
  // Every name is tried, so that the log names each missing one.
  bool ok = true;
  struct {
    const char* name;
    bool resolved;
  } names[] = {{"ATProxyGetVersion", resolve(handle_, "ATProxyGetVersion", getVersion_)},
               {"ATProxyCheckVersion", resolve(handle_, "ATProxyCheckVersion", checkVersion_)},
               {"ATProxyInitATContext", resolve(handle_, "ATProxyInitATContext", initContext_)},
               {"ATProxyFreeATContext", resolve(handle_, "ATProxyFreeATContext", freeContext_)},
               {"ATProxySetAuditTrailEvent2", resolve(handle_, "ATProxySetAuditTrailEvent2", setEvent_)}};
  for (const auto& n : names) {
    if (n.resolved) continue;
    OFW_DEBUG(logger_, "Audit trail proxy library lacks %s", n.name);
    ok = false;
  }
  return ok;
}

bool ATProxyLibLoader::symbolsLocked() const {
  return getVersion_ && checkVersion_ && initContext_ && freeContext_ && setEvent_;
}

bool ATProxyLibLoader::getVersionLocked(ATProxyLibVersion& version) {
  if (!symbolsLocked()) return false;
  return getVersion_(&version.major, &version.minor, &version.patch) == 0;
}

bool ATProxyLibLoader::checkVersion() {
  ofw::Lock lock(mutex_);
  versionAccepted_ = false;
  OFW_DEBUG(logger_, "Checking AT proxy library version...");
  ATProxyLibVersion current;
  if (!getVersionLocked(current)) return false;
  const ATProxyLibVersion& min = MINIMUM_VERSION;
  OFW_DEBUG(logger_, "Current: %d.%d.%d Minimum: %d.%d.%d", current.major, current.minor, current.patch, min.major,
            min.minor, min.patch);
  if (current.compare(min) < 0) {
    OFW_WARN(logger_,
             "The minimum required library version is %d.%d.%d, but the audit trail proxy library is "
             "%d.%d.%d.Please use a compatible audit trail proxy library",
             min.major, min.minor, min.patch, current.major, current.minor, current.patch);
    return false;
  }
  versionAccepted_ = true;
  return true;
}

bool ATProxyLibLoader::isAvailable() {
  ofw::Lock lock(mutex_);
  return handle_ && symbolsLocked() && versionAccepted_;
}

bool ATProxyLibLoader::getVersion(ATProxyLibVersion& version) {
  ofw::Lock lock(mutex_);
  return getVersionLocked(version);
}

int ATProxyLibLoader::initATContext(void** ctx) {
  ofw::Lock lock(mutex_);
  return symbolsLocked() ? initContext_(ctx) : -1;
}

int ATProxyLibLoader::freeATContext(void** ctx) {
  ofw::Lock lock(mutex_);
  return symbolsLocked() ? freeContext_(ctx) : -1;
}

int ATProxyLibLoader::setAuditTrailEvent(void* ctx, const char* product, const char* source, int eventId,
                                         const char* userName, unsigned int uid, const char* parameters) {
  ofw::Lock lock(mutex_);
  return symbolsLocked() ? setEvent_(ctx, product, source, eventId, userName, uid, parameters) : -1;
}

void ATProxyLibLoader::unloadLibrary() {
  ofw::Lock lock(mutex_);
  getVersion_ = nullptr;
  checkVersion_ = nullptr;
  initContext_ = nullptr;
  freeContext_ = nullptr;
  setEvent_ = nullptr;
  versionAccepted_ = false;
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

boost::shared_ptr<ATProxyLibLoader> GetATProxyLibLoader() {
  // Never destroyed: the library stays loaded until the process ends.
  static boost::shared_ptr<ATProxyLibLoader>* instance = [] {
    auto* p = new boost::shared_ptr<ATProxyLibLoader>(new ATProxyLibLoader());
    (*p)->load();
    return p;
  }();
  return *instance;
}

}  // namespace audittrail
