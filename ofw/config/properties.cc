#include "ofw/config/properties.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>

#include "ofw/config/cproperties.h"
#include "ofw/format.h"
#include "ofw/logging/logger.h"
#include "ofw/paths.h"
#include "ofw/config/propertydescriptors.h"
#include "ofw/config/propertyset.h"
#include "ofw/config/propertysyntax.h"

namespace ofw {

namespace {

struct ListKeyLess {
  bool operator()(const std::pair<std::string, std::string>& a,
                  const std::pair<std::string, std::string>& b) const {
    int c = strcasecmp(a.first.c_str(), b.first.c_str());
    if (c != 0) return c < 0;
    return a.second < b.second;
  }
};

void destroyHandle(CProperties2* h) {
  if (h) destroyProps(h);
}

LoggerPtr propsLogger() { return getLogger("util.properties"); }

}  // namespace

struct Properties::Impl {
  boost::shared_ptr<CProperties2> handle;
  PropertySet* set = nullptr;  // behind handle; nullptr when it could not be created
  PropertyMap map;
  std::map<std::pair<std::string, std::string>, ValueList, ListKeyLess> lists;
  unsigned long generation = 0;  // bumped by every change of map

  explicit Impl(const std::string& settingsPrefix) {
    CProperties2* h = nullptr;
    if (newProps(&h, 0, 0) == CPROPS_OK) {
      handle.reset(h, destroyHandle);
      set = propertySetOf(h);
      if (set) set->setSettingsPrefix(settingsPrefix);
    }
  }

  void eraseLists(const std::string& key) {
    auto it = lists.lower_bound(std::make_pair(key, std::string()));
    while (it != lists.end() && strcasecmp(it->first.first.c_str(), key.c_str()) == 0)
      it = lists.erase(it);
  }
};

std::string propertiesLoadErrorText(const std::string& path, int status) {
  switch (status) {
    case CPROPS_ENOENT:
      return format("Error in parsing %s because file does not exist.", path.c_str());
    case CPROPS_EPERM:
      return format("Error in parsing %s because of permission denied.", path.c_str());
    case CPROPS_ESECURITY:
      return format(
          "Error in parsing %s because of security reason.\nPlease make sure config file must be:\n"
          "1. Owned by root.\n2. Not world writable.\n3. Not a symlink.\n4. Hardlink count must be 1.\n",
          path.c_str());
    case CPROPS_EIO:
      return format("Error in parsing %s. Parameter value may not be expected. (error=%d)", path.c_str(),
                    status);
    default:
      return format("Error in parsing %s.", path.c_str());
  }
}

Properties::Properties() : settingsPrefix_(paths::KSET_PREFIX), impl_(new Impl(paths::KSET_PREFIX)) {}

Properties::Properties(const std::string& path)
    : settingsPrefix_(paths::KSET_PREFIX), impl_(new Impl(paths::KSET_PREFIX)) {
  LogSink sink;
  load(path, sink);
}

Properties::~Properties() = default;

boost::shared_ptr<Properties::Impl> Properties::current() const {
  std::lock_guard<std::mutex> g(mutex_);
  return impl_;
}

int Properties::load(const std::string& path, LogSink& sink) {
  std::string prefix;
  {
    std::lock_guard<std::mutex> g(mutex_);
    fileName_ = path;
    prefix = settingsPrefix_;
  }
  boost::shared_ptr<Impl> fresh(new Impl(prefix));
  int rc = fresh->set ? fresh->set->loadFromFile(path, sink) : CPROPS_ENOMEM;
  if (rc == 0)
    for (auto& kv : fresh->set->properties()) fresh->map[kv.first] = kv.second;
  {
    std::lock_guard<std::mutex> g(mutex_);
    status_ = rc;
    if (rc == 0) impl_ = fresh;
  }
  if (rc != 0) sink.add(Logger::INFO, propertiesLoadErrorText(path, rc));
  return rc;
}

void Properties::afterLoad() {
  if (reconfigureLogger_) Logger::ReconfigureLevels(*this);
}

int Properties::loadFromFile(const std::string& path) {
  int rc;
  {
    LogSink sink;
    rc = load(path, sink);
  }
  if (rc == 0) afterLoad();
  return rc;
}

int Properties::loadFromString(const std::string& text) {
  int rc;
  {
    LogSink sink;
    std::string prefix;
    {
      std::lock_guard<std::mutex> g(mutex_);
      prefix = settingsPrefix_;
    }
    boost::shared_ptr<Impl> fresh(new Impl(prefix));
    rc = fresh->set ? fresh->set->loadFromText(text.data(), text.size(), sink) : CPROPS_ENOMEM;
    if (rc == 0)
      for (auto& kv : fresh->set->properties()) fresh->map[kv.first] = kv.second;
    {
      std::lock_guard<std::mutex> g(mutex_);
      status_ = rc;
      if (rc == 0) {
        impl_ = fresh;
        fileName_.clear();
      }
    }
    if (rc != 0) sink.add(Logger::INFO, propertiesLoadErrorText("configuration text", rc));
  }
  if (rc == 0) afterLoad();
  return rc;
}

int Properties::reload() {
  std::string path = fileName();
  if (path.empty()) return CPROPS_EINVAL;
  return loadFromFile(path);
}

int Properties::lastLoadStatus() const {
  std::lock_guard<std::mutex> g(mutex_);
  return status_;
}

std::string Properties::fileName() const {
  std::lock_guard<std::mutex> g(mutex_);
  return fileName_;
}

void Properties::setDirectorySettingsPrefix(const std::string& prefix) {
  std::lock_guard<std::mutex> g(mutex_);
  settingsPrefix_ = prefix;
}

// ---------------------------------------------------------------------------
// Getters

std::string Properties::getProperty(const std::string& key, const std::string& def) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = impl_->map.find(key);
  return it == impl_->map.end() ? def : it->second;
}

int Properties::getInt(const std::string& key, int def) const {
  std::string v = getProperty(key);
  return v.empty() ? def : propsyntax::toInt(v);
}

unsigned int Properties::getUInt(const std::string& key, unsigned int def) const {
  std::string v = getProperty(key);
  return v.empty() ? def : propsyntax::toUInt(v);
}

bool Properties::getBool(const std::string& key, bool def) const {
  bool b;
  return propsyntax::toBool(getProperty(key), b) ? b : def;
}

long Properties::getTime(const std::string& key, char unit, long def) const {
  std::vector<std::string> messages;
  long r = propsyntax::toSeconds(getProperty(key), key, unit, def, &messages);
  if (!messages.empty()) {
    LoggerPtr l = propsLogger();
    for (const std::string& m : messages) OFW_WARN(l, "%s", m.c_str());
  }
  return r;
}

ValueList Properties::getValueList(const std::string& key, const std::string& def) const {
  const std::pair<std::string, std::string> listKey(key, def);
  boost::shared_ptr<Impl> impl;
  unsigned long generation;
  {
    std::lock_guard<std::mutex> g(mutex_);
    impl = impl_;
    auto it = impl->lists.find(listKey);
    if (it != impl->lists.end()) return it->second;
    generation = impl->generation;
  }
  if (!impl->set) {
    LoggerPtr l = propsLogger();
    OFW_INFO(l, "property: cproperties module is unexpectedly not initialised. Value list %s is treated as empty.",
             key.c_str());
    return ValueList(new std::vector<std::string>());
  }
  LogSink sink;  // written after the lock below is released
  boost::shared_ptr<std::vector<std::string>> items(new std::vector<std::string>());
  impl->set->getValueList(key, def, *items, sink);
  ValueList list(items);
  std::lock_guard<std::mutex> g(mutex_);
  if (impl->generation == generation) impl->lists[listKey] = list;
  return list;
}

bool Properties::keyExists(const std::string& key) const {
  std::lock_guard<std::mutex> g(mutex_);
  return impl_->map.count(key) != 0;
}

PropertyMap Properties::findPrefix(const std::string& prefix) const {
  PropertyMap out;
  std::lock_guard<std::mutex> g(mutex_);
  // Keys with the prefix (any case) are contiguous in strcasecmp order.
  for (auto it = impl_->map.lower_bound(prefix);
       it != impl_->map.end() && strncasecmp(it->first.c_str(), prefix.c_str(), prefix.size()) == 0; ++it)
    out.insert(out.end(), *it);
  return out;
}

PropertyMap Properties::getMap() const {
  std::lock_guard<std::mutex> g(mutex_);
  return impl_->map;
}

PropertyMap Properties::filter(
    const std::function<bool(const std::string& key, const std::string& value)>& keep) const {
  PropertyMap all = getMap();  // the predicate runs without the lock
  PropertyMap out;
  for (auto& kv : all)
    if (keep(kv.first, kv.second)) out.insert(out.end(), kv);
  return out;
}

void Properties::dump() const {
  std::ofstream tty("/dev/tty");
  if (tty) dump(tty);
}

void Properties::dump(std::ostream& out) const {
  out << "Properties dump\n";
  for (auto& kv : getMap()) out << kv.first << " = " << kv.second << "\n";
  out.flush();
}

void Properties::store(std::ostream& out, const std::string& header) const {
  if (!header.empty()) out << "#" << header << "\n";
  for (auto& kv : getMap())
    out << propsyntax::formatKey(kv.first) << " = " << propsyntax::formatValue(kv.second) << "\n";
  out.flush();
}

std::string Properties::makeKey(const std::string& prefix, const std::string& name,
                                const std::string& suffix) {
  std::string k = (prefix.empty() ? std::string("vgd") : prefix) + "." + name;
  if (!suffix.empty()) k += "." + suffix;
  return k;
}

// ---------------------------------------------------------------------------
// Changes

void Properties::setProperty(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> g(mutex_);
  if (impl_->set) impl_->set->setProperty(key, value);
  impl_->map[key] = value;
  impl_->eraseLists(key);
  ++impl_->generation;
}

int Properties::saveProperty(const std::string& key) {
  LogSink sink;  // declared first: written after the locks are released
  std::lock_guard<std::mutex> w(writeMutex_);
  boost::shared_ptr<Impl> impl = current();
  if (!impl->set) {
    sink.add(Logger::ERROR, "SaveProperty call without initialising CProperties2");
    return CPROPS_EINVAL;
  }
  return impl->set->saveProperty(key, sink);
}

namespace {
// Applies a successful list write-back to the map of `impl`.
void applyList(Properties::Impl& impl, std::mutex& mutex, const std::string& key) {
  std::string stored;
  impl.set->get(key, stored);
  std::lock_guard<std::mutex> g(mutex);
  impl.map[key] = stored;
  impl.eraseLists(key);
  ++impl.generation;
}
}  // namespace

int Properties::setValueList(const std::string& key, const std::vector<std::string>& values) {
  LogSink sink;
  std::lock_guard<std::mutex> w(writeMutex_);
  boost::shared_ptr<Impl> impl = current();
  if (!impl->set) {
    sink.add(Logger::ERROR, "SaveProperty call without initialising CProperties2");
    return CPROPS_EINVAL;
  }
  int rc = impl->set->saveValueList(key, values, sink);
  if (rc == 0) applyList(*impl, mutex_, key);
  return rc;
}

int Properties::changeList(const std::string& key, const std::string& value, bool add) {
  LogSink sink;
  std::lock_guard<std::mutex> w(writeMutex_);
  boost::shared_ptr<Impl> impl = current();
  if (!impl->set) {
    sink.add(Logger::ERROR, "SaveProperty call without initialising CProperties2");
    return CPROPS_EINVAL;
  }
  std::string raw;
  if (impl->set->getRaw(key, raw) && propsyntax::isFileReference(raw)) {
    sink.add(Logger::WARN, "Value list " + key + " refers to a file and is not changed here");
    return CPROPS_EINVAL;
  }
  std::vector<std::string> items;
  impl->set->getValueList(key, "", items, sink);
  if (add) {
    if (std::find(items.begin(), items.end(), value) != items.end()) return 0;
    items.push_back(value);
  } else {
    auto end = std::remove(items.begin(), items.end(), value);
    if (end == items.end()) return 0;
    items.erase(end, items.end());
  }
  int rc = impl->set->saveValueList(key, items, sink);
  if (rc == 0) applyList(*impl, mutex_, key);
  return rc;
}

int Properties::addValueList(const std::string& key, const std::string& value) {
  return changeList(key, value, true);
}

int Properties::delValueList(const std::string& key, const std::string& value) {
  return changeList(key, value, false);
}

// ---------------------------------------------------------------------------
// Syntax check

std::vector<PropertyCheckFinding> Properties::propertiesCheck() {
  std::vector<PropertyCheckFinding> findings;
  auto note = [&findings](int level, const std::string& key, const std::string& text) {
    findings.push_back(PropertyCheckFinding{level, key, text});
  };
  std::string path, prefix;
  {
    std::lock_guard<std::mutex> g(mutex_);
    path = fileName_;
    prefix = settingsPrefix_;
  }
  LogSink sink;
  if (!path.empty()) {
    std::lock_guard<std::mutex> c(checkMutex_);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      note(Logger::INFO, "", format("Problem to access config file %s. (%s)", path.c_str(),
                                    errnoText(errno).c_str()));
    } else if (checked_ && st.st_mtim.tv_sec == checkedMtime_.tv_sec &&
               st.st_mtim.tv_nsec == checkedMtime_.tv_nsec) {
      note(Logger::DEBUG, "", "Config file has not changed since last check. Skipping.");
    } else {
      checked_ = true;
      checkedMtime_ = st.st_mtim;
      // The file as it is now, which may differ from the running configuration.
      PropertySet set(false, 0);
      set.setSettingsPrefix(prefix);
      int rc = set.loadFromFile(path, sink);
      if (rc != 0) {
        note(Logger::INFO, "", propertiesLoadErrorText(path, rc));
      } else {
        auto checkRow = [&](const PropertyDescriptor& row) {
          std::string value, raw;
          if (!set.get(row.key, value)) return;
          set.getRaw(row.key, raw);
          note(Logger::TRACE, row.key,
               format("Check syntax of properties %s with value %s", row.key, value.c_str()));
          if (value.size() >= propsyntax::kLineBuffer)
            note(Logger::INFO, row.key,
                 format("Parameter %s has value with length larger than %d. Checking may not be complete.",
                        row.key, static_cast<int>(propsyntax::kLineBuffer)));
          std::string reason = checkPropertyValue(row, row.type == PropertyType::LIST ? raw : value);
          if (reason.empty()) return;
          if (row.type == PropertyType::INT) {
            note(Logger::WARN, row.key,
                 format("Syntax error found for parameter %s with value %d. %s", row.key,
                        propsyntax::toInt(value), reason.c_str()));
          } else {
            note(Logger::WARN, row.key,
                 format("Syntax error found for parameter %s with value %s. %s", row.key, value.c_str(),
                        reason.c_str()));
          }
        };
        for (const PropertyDescriptor& row : kProductProperties) checkRow(row);
        for (const PropertyDescriptor& row : kFrameworkProperties) checkRow(row);
        for (size_t i = 0; i < kProjectPropertyCount; ++i) checkRow(kProjectProperties[i]);
      }
    }
  }
  sink.flush();
  LoggerPtr l = propsLogger();
  for (const PropertyCheckFinding& f : findings)
    if (l->isLevelEnabled(f.level)) l->logText(f.level, __FILE__, __LINE__, __func__, f.text);
  return findings;
}

// ---------------------------------------------------------------------------
// The process-wide instance

namespace {

std::recursive_mutex& propsMutex() {
  static std::recursive_mutex m;
  return m;
}
std::atomic<Properties*> gProps{nullptr};
Properties* gCreating = nullptr;  // while the first load runs (guarded by propsMutex)
std::string& propsPath() {
  static std::string p = paths::CONFIG_FILE;
  return p;
}

}  // namespace

void SetPropsPath(const std::string& path) {
  std::lock_guard<std::recursive_mutex> g(propsMutex());
  propsPath() = path;
}

Properties& Props(bool first, bool reload) {
  (void)first;
  Properties* p = gProps.load(std::memory_order_acquire);
  if (p) {
    if (reload) p->reload();
    return *p;
  }
  LogSink sink;
  Properties* created = nullptr;
  {
    std::lock_guard<std::recursive_mutex> g(propsMutex());
    p = gProps.load(std::memory_order_acquire);
    if (!p) {
      // Anything the first load does that reads the configuration again on
      // this thread sees the new, still empty instance instead of waiting
      // for itself; other threads wait here until it is loaded.
      if (gCreating) return *gCreating;
      created = new Properties();
      created->reconfigureLogger_ = true;
      gCreating = created;
      created->load(propsPath(), sink);
      gCreating = nullptr;
      gProps.store(created, std::memory_order_release);
      p = created;
    }
  }
  if (created) {
    // Logged and applied once the instance is published and no lock is held.
    sink.flush();
    if (created->lastLoadStatus() == 0) created->afterLoad();
    return *created;
  }
  if (reload) p->reload();
  return *p;
}

}  // namespace ofw
