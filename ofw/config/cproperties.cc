#include "ofw/config/cproperties.h"

#include <fcntl.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "ofw/logging/logger.h"
#include "ofw/config/propertyset.h"
#include "ofw/config/propertysyntax.h"
#include "ofw/config/securefile.h"

struct CPropertiesImpl {
  CPropertiesImpl(bool keepLiterals, int flags) : set(keepLiterals, flags) {}
  ofw::PropertySet set;
};

static_assert(static_cast<int>(ofw::FileRefusal::NotFound) == CPROPS_REFUSAL_NOT_FOUND &&
                  static_cast<int>(ofw::FileRefusal::NoPermission) == CPROPS_REFUSAL_NO_PERMISSION &&
                  static_cast<int>(ofw::FileRefusal::WorldWritable) == CPROPS_REFUSAL_WORLD_WRITABLE &&
                  static_cast<int>(ofw::FileRefusal::Symlink) == CPROPS_REFUSAL_SYMLINK &&
                  static_cast<int>(ofw::FileRefusal::HardLinks) == CPROPS_REFUSAL_HARDLINKS &&
                  static_cast<int>(ofw::FileRefusal::NotRoot) == CPROPS_REFUSAL_NOT_ROOT &&
                  static_cast<int>(ofw::FileRefusal::NotRegular) == CPROPS_REFUSAL_NOT_REGULAR &&
                  static_cast<int>(ofw::FileRefusal::Unknown) == CPROPS_REFUSAL_UNKNOWN,
              "refusal numbers of the C interface");

namespace {

using ofw::LogSink;
using ofw::PropertySet;

bool valid(const CProperties2* h) { return h && h->valid == CPROPERTIES2_VALID && h->impl; }
PropertySet& setOf(CProperties2* h) { return h->impl->set; }

// NULL on allocation failure.
char* copyString(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (!p) return nullptr;
  std::memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

int makeList(const std::vector<std::string>& items, CPropsValueList** out) {
  CPropsValueList* l = static_cast<CPropsValueList*>(std::calloc(1, sizeof(CPropsValueList)));
  if (!l) return CPROPS_ENOMEM;
  if (!items.empty()) {
    l->items = static_cast<char**>(std::calloc(items.size(), sizeof(char*)));
    if (!l->items) {
      std::free(l);
      return CPROPS_ENOMEM;
    }
    for (const std::string& s : items) {
      l->items[l->count] = copyString(s);
      if (!l->items[l->count]) {
        cpropsFreeValueList(l);
        return CPROPS_ENOMEM;
      }
      ++l->count;
    }
  }
  *out = l;
  return CPROPS_OK;
}

std::vector<std::string> fromList(const CPropsValueList* list) {
  std::vector<std::string> v;
  if (!list) return v;
  for (size_t i = 0; i < list->count; ++i)
    if (list->items && list->items[i]) v.emplace_back(list->items[i]);
  return v;
}

// Runs f, turning allocation failures into CPROPS_ENOMEM. The sink is written
// by its destructor, after every lock of the set has been released.
template <typename F>
int guarded(F f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return CPROPS_ENOMEM;
  } catch (...) {
    return CPROPS_EIO;
  }
}

int opGet(CProperties2* self, const char* key, char** value) {
  if (!valid(self) || !key || !value) return CPROPS_EINVAL;
  return guarded([&] {
    std::string v;
    if (!setOf(self).get(key, v)) return CPROPS_ENOENT;
    *value = copyString(v);
    return *value ? CPROPS_OK : CPROPS_ENOMEM;
  });
}

char* opGetWithDefault(CProperties2* self, const char* key, const char* def) {
  if (!valid(self) || !key) return def ? copyString(def) : nullptr;
  try {
    std::string v;
    if (setOf(self).get(key, v)) return copyString(v);
  } catch (...) {
    return nullptr;
  }
  return def ? copyString(def) : nullptr;
}

// The value for typed getters: absent or empty -> false.
bool typedValue(CProperties2* self, const char* key, std::string& v) {
  if (!valid(self) || !key) return false;
  try {
    return setOf(self).get(key, v) && !v.empty();
  } catch (...) {
    return false;
  }
}

int opGetInt(CProperties2* self, const char* key, int def) {
  std::string v;
  return typedValue(self, key, v) ? ofw::propsyntax::toInt(v) : def;
}

unsigned int opGetUInt(CProperties2* self, const char* key, unsigned int def) {
  std::string v;
  return typedValue(self, key, v) ? ofw::propsyntax::toUInt(v) : def;
}

int opGetBool(CProperties2* self, const char* key, int def) {
  std::string v;
  bool b;
  if (!typedValue(self, key, v) || !ofw::propsyntax::toBool(v, b)) return def;
  return b ? 1 : 0;
}

long opGetTime(CProperties2* self, const char* key, char unit, long def) {
  std::string v;
  typedValue(self, key, v);
  std::vector<std::string> messages;
  long r;
  try {
    r = ofw::propsyntax::toSeconds(v, key ? key : "", unit, def, &messages);
  } catch (...) {
    return def;
  }
  LogSink sink;
  for (const std::string& m : messages) sink.add(ofw::Logger::WARN, m);
  return r;
}

int opGetValueList(CProperties2* self, const char* key, const char* def, CPropsValueList** list) {
  if (!valid(self) || !key || !list) return CPROPS_EINVAL;
  return guarded([&] {
    LogSink sink;
    std::vector<std::string> items;
    bool ok = setOf(self).getValueList(key, def ? def : "", items, sink);
    int rc = makeList(items, list);
    return rc != CPROPS_OK ? rc : ok ? CPROPS_OK : CPROPS_EIO;
  });
}

int opIsStringInPropertyList(CProperties2* self, const char* key, const char* def, const char* s) {
  if (!valid(self) || !key || !s) return CPROPS_EINVAL;
  return guarded([&] {
    LogSink sink;
    std::vector<std::string> items;
    setOf(self).getValueList(key, def ? def : "", items, sink);
    for (const std::string& i : items)
      if (i == s) return 1;
    return 0;
  });
}

int opGetPropertyList(CProperties2* self, const char* prefix, CPropsValueList** names) {
  if (!valid(self) || !names) return CPROPS_EINVAL;
  return guarded([&] {
    std::vector<std::string> out;
    size_t n = prefix ? std::strlen(prefix) : 0;
    for (const auto& kv : setOf(self).properties())
      if (!n || strncasecmp(kv.first.c_str(), prefix, n) == 0) out.push_back(kv.first);
    return makeList(out, names);
  });
}

int opValueListToString(CProperties2* self, const CPropsValueList* list, char** text) {
  if (!valid(self) || !list || !text) return CPROPS_EINVAL;
  return guarded([&] {
    *text = copyString(ofw::propsyntax::formatValueList(fromList(list)));
    return *text ? CPROPS_OK : CPROPS_ENOMEM;
  });
}

int opSetProperty(CProperties2* self, const char* key, const char* value) {
  if (!valid(self) || !key || !*key || !value) return CPROPS_EINVAL;
  return guarded([&] {
    setOf(self).setProperty(key, value);
    return CPROPS_OK;
  });
}

int opSetValueList(CProperties2* self, const char* key, const CPropsValueList* list) {
  if (!valid(self) || !key || !*key || !list) return CPROPS_EINVAL;
  return guarded([&] {
    setOf(self).setValueList(key, fromList(list));
    return CPROPS_OK;
  });
}

int opDeleteProperty(CProperties2* self, const char* key) {
  if (!valid(self) || !key) return CPROPS_EINVAL;
  return guarded([&] { return setOf(self).deleteProperty(key) ? CPROPS_OK : CPROPS_ENOENT; });
}

int opDelPropertySet(CProperties2* self, const char* prefix) {
  if (!valid(self) || !prefix) return CPROPS_EINVAL;
  return guarded([&] { return static_cast<int>(setOf(self).deletePrefix(prefix)); });
}

int opSaveProperty(CProperties2* self, const char* key) {
  if (!valid(self)) {
    LogSink sink;
    sink.add(ofw::Logger::ERROR, "SaveProperty call without initialising CProperties2");
    return CPROPS_EINVAL;
  }
  if (!key) return CPROPS_EINVAL;
  return guarded([&] {
    LogSink sink;
    return setOf(self).saveProperty(key, sink);
  });
}

int opExpand(CProperties2* self, const char* text, char** expanded) {
  if (!valid(self) || !text || !expanded) return CPROPS_EINVAL;
  return guarded([&] {
    *expanded = copyString(setOf(self).expand(text));
    return *expanded ? CPROPS_OK : CPROPS_ENOMEM;
  });
}

int opUnExpand(CProperties2* self, const char* text, char** unexpanded) {
  if (!valid(self) || !text || !unexpanded) return CPROPS_EINVAL;
  return guarded([&] {
    *unexpanded = copyString(setOf(self).unexpand(text));
    return *unexpanded ? CPROPS_OK : CPROPS_ENOMEM;
  });
}

int opReload(CProperties2* self) {
  if (!valid(self)) return CPROPS_EINVAL;
  return guarded([&] {
    LogSink sink;
    return setOf(self).reload(sink);
  });
}

int opLoadFromStream(CProperties2* self, FILE* stream) {
  if (!valid(self) || !stream) return CPROPS_EINVAL;
  return guarded([&] {
    LogSink sink;
    return setOf(self).loadFromStream(stream, sink);
  });
}

int opLoadFromFile(CProperties2* self, const char* path) {
  if (!valid(self) || !path) return CPROPS_EINVAL;
  return guarded([&] {
    LogSink sink;
    return setOf(self).loadFromFile(path, sink);
  });
}

int opSize(CProperties2* self) {
  if (!valid(self)) return CPROPS_EINVAL;
  return static_cast<int>(setOf(self).size());
}

int opIsLoaded(CProperties2* self) {
  if (!valid(self)) return 0;
  return setOf(self).isLoaded() ? 1 : 0;
}

void opCleanup(CProperties2* self) {
  if (valid(self)) setOf(self).cleanup();
}

void opDump(CProperties2* self, FILE* out) {
  if (!valid(self)) return;
  if (out) {
    setOf(self).dump(out);
    return;
  }
  FILE* tty = std::fopen("/dev/tty", "we");
  if (!tty) return;
  setOf(self).dump(tty);
  std::fclose(tty);
}

}  // namespace

extern "C" {

int newProps(CProperties2** handle, int keepLiterals, int flags) {
  if (!handle) return CPROPS_EINVAL;
  *handle = nullptr;
  CProperties2* h = new (std::nothrow) CProperties2();
  if (!h) return CPROPS_ENOMEM;
  h->impl = new (std::nothrow) CPropertiesImpl(keepLiterals != 0, flags);
  if (!h->impl) {
    delete h;
    return CPROPS_ENOMEM;
  }
  h->get = opGet;
  h->getWithDefault = opGetWithDefault;
  h->getInt = opGetInt;
  h->getUInt = opGetUInt;
  h->getBool = opGetBool;
  h->getTime = opGetTime;
  h->getValueList = opGetValueList;
  h->isStringInPropertyList = opIsStringInPropertyList;
  h->getPropertyList = opGetPropertyList;
  h->valueListToString = opValueListToString;
  h->setProperty = opSetProperty;
  h->setValueList = opSetValueList;
  h->deleteProperty = opDeleteProperty;
  h->delPropertySet = opDelPropertySet;
  h->saveProperty = opSaveProperty;
  h->expandEnvVariables = opExpand;
  h->unExpandEnvVariables = opUnExpand;
  h->reload = opReload;
  h->loadFromStream = opLoadFromStream;
  h->loadFromFile = opLoadFromFile;
  h->size = opSize;
  h->isLoaded = opIsLoaded;
  h->cleanup = opCleanup;
  h->dump = opDump;
  h->valid = CPROPERTIES2_VALID;
  *handle = h;
  return CPROPS_OK;
}

int newPropsFromFile(CProperties2** handle, const char* path, int keepLiterals, int flags) {
  if (!path) return CPROPS_EINVAL;
  int rc = newProps(handle, keepLiterals, flags);
  if (rc != CPROPS_OK) return rc;
  return opLoadFromFile(*handle, path);
}

int newPropsFromStream(CProperties2** handle, FILE* stream, int keepLiterals, int flags) {
  if (!stream) return CPROPS_EINVAL;
  int rc = newProps(handle, keepLiterals, flags);
  if (rc != CPROPS_OK) return rc;
  return opLoadFromStream(*handle, stream);
}

int destroyProps(CProperties2* handle) {
  if (!valid(handle)) return CPROPS_EINVAL;
  handle->valid = 0;
  delete handle->impl;
  handle->impl = nullptr;
  delete handle;
  return CPROPS_OK;
}

int cpropsLoadFromBuffer(CProperties2* handle, const char* data, size_t length) {
  if (!valid(handle) || (!data && length)) return CPROPS_EINVAL;
  return guarded([&] {
    LogSink sink;
    return setOf(handle).loadFromText(data, length, sink);
  });
}

int cpropsSetSettingsPrefix(CProperties2* handle, const char* prefix) {
  if (!valid(handle) || !prefix) return CPROPS_EINVAL;
  return guarded([&] {
    setOf(handle).setSettingsPrefix(prefix);
    return CPROPS_OK;
  });
}

void cpropsSetTracePrefix(const char* prefix) {
  try {
    PropertySet::SetTracePrefix(prefix ? prefix : ofw::paths::PROPERTIES_TRACE_PREFIX);
  } catch (...) {
  }
}

void cpropsFreeValueList(CPropsValueList* list) {
  if (!list) return;
  for (size_t i = 0; i < list->count; ++i) std::free(list->items[i]);
  std::free(list->items);
  std::free(list);
}

int cpropsSecureOpen(const char* path, int* fd, int* reason) {
  if (!path || !fd) return CPROPS_EINVAL;
  int err = 0;
  *fd = -1;
  ofw::FileRefusal r;
  ofw::UniqueFd opened;
  try {
    r = ofw::secureOpenForRead(path, opened, err);
  } catch (...) {
    return CPROPS_ENOMEM;
  }
  *fd = opened.release();  // the C caller closes it
  if (reason) *reason = static_cast<int>(r);
  return ofw::refusalStatus(r);
}

}  // extern "C"

// The property set behind a handle, for ofw::Properties.
namespace ofw {
PropertySet* propertySetOf(CProperties2* handle) { return valid(handle) ? &handle->impl->set : nullptr; }
}  // namespace ofw
