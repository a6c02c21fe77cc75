// A stand-in for the directory client library: the functions of ofw/capi/capi.h,
// answered from a JSON data file (README.md) instead of the directory agent.
//
// The data file is named by OPW_STANDIN_DATA (default
// "/var/orvanepw/standin-directory.json") when a session is opened. Every call
// on a session looks at the file again: a changed file is read anew, and a
// missing or malformed one makes the call fail with OPW_ERR_NOT_CONNECTED, the
// way a directory that went away would. Set OPW_STANDIN_VERBOSE to see on
// standard error why a data file was refused.
//
// Built with CAPI_STANDIN_NOCORE the library exports only the session, code
// text, string release and audit-level calls: a library that is present but
// not complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ofw/capi/capi.h"
#include "standins/capi/directory.h"

#define OPW_EXPORT __attribute__((visibility("default")))
#ifdef CAPI_STANDIN_NOCORE
#define OPW_CORE __attribute__((visibility("hidden")))
#else
#define OPW_CORE OPW_EXPORT
#endif

extern "C" {
OPW_EXPORT opwSessionOpen_fn opwSessionOpen;
OPW_EXPORT opwSessionClose_fn opwSessionClose;
OPW_CORE opwSetOption_fn opwSetOption;
OPW_CORE opwLookupObjectByName_fn opwLookupObjectByName;
OPW_CORE opwLookupObjectByUnixId_fn opwLookupObjectByUnixId;
OPW_CORE opwLookupObjectBySid_fn opwLookupObjectBySid;
OPW_CORE opwGetAttributeStr_fn opwGetAttributeStr;
OPW_CORE opwGetAttributeInt_fn opwGetAttributeInt;
OPW_CORE opwGetAttributeBool_fn opwGetAttributeBool;
OPW_CORE opwGetAttributeList_fn opwGetAttributeList;
OPW_CORE opwIsObjectCategory_fn opwIsObjectCategory;
OPW_CORE opwValidateUserGroup_fn opwValidateUserGroup;
OPW_CORE opwLdapSearchOpen_fn opwLdapSearchOpen;
OPW_CORE opwLdapSearchNext_fn opwLdapSearchNext;
OPW_CORE opwLdapSearchInfo_fn opwLdapSearchInfo;
OPW_CORE opwLdapSearchClose_fn opwLdapSearchClose;
OPW_CORE opwLdapSearchHandle_fn opwLdapSearchHandle;
OPW_CORE opwLdapFetch_fn opwLdapFetch;
OPW_CORE opwDomainFromDN_fn opwDomainFromDN;
OPW_CORE opwFreeObject_fn opwFreeObject;
OPW_EXPORT opwFreeString_fn opwFreeString;
OPW_CORE opwFreeStringList_fn opwFreeStringList;
OPW_EXPORT opwGetOpwCodeStr_fn opwGetOpwCodeStr;
OPW_EXPORT opwGetAuditLevel_fn opwGetAuditLevel;
}

using capi_standin::Directory;
using capi_standin::Entry;
using capi_standin::Values;
using capi_standin::iequals;

namespace {

const char* const kDefaultDataFile = "/var/orvanepw/standin-directory.json";
const off_t kMaxDataFile = 64 * 1024 * 1024;

struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  struct timespec mtime = {0, 0};
  struct timespec ctime = {0, 0};

  static FileIdentity of(const struct stat& st) {
    FileIdentity id;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
  }
  bool operator==(const FileIdentity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

void complain(const std::string& path, const std::string& why) {
  if (std::getenv("OPW_STANDIN_VERBOSE"))
    std::fprintf(stderr, "capi stand-in: %s: %s\n", path.c_str(), why.c_str());
}

// Owns a descriptor; movable so a session can keep the file it loaded open.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Reads and parses the data file; OPW_ERR_NOT_CONNECTED when it cannot be used.
// On success the file stays open in *held: while it is held its inode cannot be
// reused by a replacement file, so a replaced file always looks changed.
int loadDirectory(const std::string& path, std::shared_ptr<const Directory>& directory,
                  FileIdentity& identity, FileDescriptor& held) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    complain(path, std::strerror(errno));
    return OPW_ERR_NOT_CONNECTED;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    complain(path, "not a regular file");
    return OPW_ERR_NOT_CONNECTED;
  }
  if (st.st_size > kMaxDataFile) {
    complain(path, "larger than 64 MiB");
    return OPW_ERR_NOT_CONNECTED;
  }
  std::string text;
  text.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::read(fd.get(), &text[done], text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      complain(path, std::strerror(errno));
      return OPW_ERR_NOT_CONNECTED;
    }
    if (n == 0) break;  // shrank while being read: parse what is there
    done += static_cast<size_t>(n);
  }
  text.resize(done);
  std::string error;
  std::shared_ptr<const Directory> parsed = Directory::parse(text.data(), text.size(), error);
  if (!parsed) {
    complain(path, error);
    return OPW_ERR_NOT_CONNECTED;
  }
  directory = std::move(parsed);
  identity = FileIdentity::of(st);
  held = std::move(fd);
  return OPW_OK;
}

}  // namespace

struct opw_session {
  std::mutex mutex;
  std::string path;
  std::shared_ptr<const Directory> directory;
  FileIdentity identity;
  FileDescriptor file;  // the loaded file, see loadDirectory
  bool unixOnly = false;

  // The current data, read again when the file changed.
  int current(std::shared_ptr<const Directory>& out, bool& unixOnlyOut) {
    std::lock_guard<std::mutex> lock(mutex);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      complain(path, std::strerror(errno));
      return OPW_ERR_NOT_CONNECTED;
    }
    if (!(FileIdentity::of(st) == identity)) {
      int rc = loadDirectory(path, directory, identity, file);
      if (rc != OPW_OK) return rc;
    }
    out = directory;
    unixOnlyOut = unixOnly;
    return OPW_OK;
  }
};

struct opw_object {
  Entry entry;
};

struct opw_search {
  OPW_SESSION session = nullptr;
  std::vector<Entry> results;
  size_t next = 0;
};

namespace {

template <typename F>
int guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return OPW_ERR_NO_MEMORY;
  } catch (...) {
    return OPW_ERR_INTERNAL;
  }
}

int copyString(const std::string& value, char** out) {
  char* copy = static_cast<char*>(std::malloc(value.size() + 1));
  if (copy == nullptr) return OPW_ERR_NO_MEMORY;
  std::memcpy(copy, value.c_str(), value.size() + 1);
  *out = copy;
  return OPW_OK;
}

void freeList(char** values, size_t count) {
  if (values == nullptr) return;
  for (size_t i = 0; i < count; ++i) std::free(values[i]);
  std::free(values);
}

int newObject(const Entry& entry, OPW_OBJECT* out) {
  *out = new opw_object{entry};
  return OPW_OK;
}

const std::string* firstValue(const Entry& entry, const char* name) {
  const Values* v = entry.find(name);
  return (v && !v->empty()) ? &v->front() : nullptr;
}

bool parseUnsigned(const std::string& text, unsigned long long& value) {
  if (text.empty() || text.size() > 20) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    unsigned d = static_cast<unsigned>(c - '0');
    if (v > (ULLONG_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  value = v;
  return true;
}

// Name look-up: UNIX name first, then (unless UNIX-only) account name, user
// principal name and, for classes other than Person, the common name.
const Entry* findByName(const Directory& dir, const std::string& name, const std::string& cls,
                        bool unixOnly) {
  auto inClass = [&](const Entry& e) { return cls.empty() || iequals(e.category(), cls); };
  for (const Entry& e : dir.entries()) {
    const std::string* v = firstValue(e, "_UnixName");
    if (inClass(e) && v && *v == name) return &e;
  }
  if (unixOnly) return nullptr;
  const char* const kAlternatives[] = {"sAMAccountName", "userPrincipalName", "cn"};
  for (const char* attribute : kAlternatives) {
    if (iequals(attribute, "cn") && iequals(cls, "Person")) continue;
    for (const Entry& e : dir.entries()) {
      const std::string* v = firstValue(e, attribute);
      if (inClass(e) && v && iequals(*v, name)) return &e;
    }
  }
  return nullptr;
}

int checkLocation(const Directory& dir, const char* location) {
  if (location && std::strcmp(location, OPW_LOCATION_GC) == 0 && !dir.globalCatalogAvailable())
    return OPW_ERR_NOT_CONNECTED;
  return OPW_OK;
}

bool inLocation(const Entry& e, const char* location) {
  if (location == nullptr || *location == '\0' || std::strcmp(location, OPW_LOCATION_GC) == 0)
    return true;
  return iequals(e.domain, location);
}

bool inScope(const Entry& e, const capi_standin::DN& base, int scope) {
  if (base.empty()) return true;
  const auto& rdns = e.canonicalRdns;
  if (rdns.size() < base.size()) return false;
  size_t offset = rdns.size() - base.size();
  for (size_t i = 0; i < base.size(); ++i)
    if (rdns[offset + i].type != base[i].type || rdns[offset + i].value != base[i].value)
      return false;
  switch (scope) {
    case OPW_SCOPE_BASE:
      return offset == 0;
    case OPW_SCOPE_ONELEVEL:
      return offset == 1;
    default:
      return true;
  }
}

// A group given as "<GUID=...>", "<SID=...>", a bare GUID, a DN or a name.
const Entry* findGroup(const Directory& dir, const std::string& group) {
  bool badDn = false;
  if (!group.empty() && group[0] == '<') return dir.fetch(group, badDn);
  std::string digits;
  if (capi_standin::normalizeGuid(group, digits)) return dir.fetch("<GUID=" + digits + ">", badDn);
  if (group.find('=') != std::string::npos) return dir.fetch(group, badDn);
  for (const Entry& e : dir.entries()) {
    if (!iequals(e.category(), "Group")) continue;
    for (const char* attribute : {"sAMAccountName", "cn", "name", "_UnixName"}) {
      const std::string* v = firstValue(e, attribute);
      if (v && iequals(*v, group)) return &e;
    }
  }
  return nullptr;
}

bool dnListContains(const Values* values, const std::string& canonicalDn) {
  if (values == nullptr) return false;
  for (const std::string& v : *values) {
    capi_standin::DN dn;
    if (capi_standin::parseDN(v, dn) && !dn.empty() && capi_standin::canonicalDN(dn) == canonicalDn)
      return true;
  }
  return false;
}

}  // namespace

extern "C" {

int opwSessionOpen(int version, int timeoutSeconds, OPW_SESSION* session) {
  if (session == nullptr || version != OPW_API_VERSION) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    const char* path = std::getenv("OPW_STANDIN_DATA");
    std::unique_ptr<opw_session> s(new opw_session);
    s->path = (path && *path) ? path : kDefaultDataFile;
    int rc = loadDirectory(s->path, s->directory, s->identity, s->file);
    if (rc != OPW_OK) return rc;
    *session = s.release();
    return OPW_OK;
  });
}

int opwSessionClose(OPW_SESSION session) {
  if (session == nullptr) return OPW_ERR_INVALID_ARG;
  delete session;
  return OPW_OK;
}

int opwSetOption(OPW_SESSION session, int option, const void* value, size_t size) {
  if (session == nullptr || value == nullptr) return OPW_ERR_INVALID_ARG;
  if (option != OPW_OPT_UNIX_ONLY) return OPW_ERR_BAD_OPTION;
  if (size != sizeof(int32_t)) return OPW_ERR_INVALID_ARG;
  int32_t flag;
  std::memcpy(&flag, value, sizeof flag);
  std::lock_guard<std::mutex> lock(session->mutex);
  session->unixOnly = flag != 0;
  return OPW_OK;
}

int opwLookupObjectByName(OPW_SESSION session, const char* name, const char* objectClass,
                          OPW_OBJECT* object) {
  if (session == nullptr || name == nullptr || object == nullptr) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    std::shared_ptr<const Directory> dir;
    bool unixOnly = false;
    int rc = session->current(dir, unixOnly);
    if (rc != OPW_OK) return rc;
    const Entry* e = findByName(*dir, name, objectClass ? objectClass : "", unixOnly);
    return e ? newObject(*e, object) : OPW_ERR_NOT_FOUND;
  });
}

int opwLookupObjectByUnixId(OPW_SESSION session, int idType, unsigned int id, OPW_OBJECT* object) {
  if (session == nullptr || object == nullptr) return OPW_ERR_INVALID_ARG;
  if (idType != OPW_UNIXID_USER && idType != OPW_UNIXID_GROUP) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    std::shared_ptr<const Directory> dir;
    bool unixOnly = false;
    int rc = session->current(dir, unixOnly);
    if (rc != OPW_OK) return rc;
    const char* attribute = idType == OPW_UNIXID_USER ? "_Uid" : "_Gid";
    const char* category = idType == OPW_UNIXID_USER ? "Person" : "Group";
    for (const Entry& e : dir->entries()) {
      if (!iequals(e.category(), category)) continue;
      const std::string* v = firstValue(e, attribute);
      unsigned long long n;
      if (v && parseUnsigned(*v, n) && n == id) return newObject(e, object);
    }
    return OPW_ERR_NOT_FOUND;
  });
}

int opwLookupObjectBySid(OPW_SESSION session, const char* sid, OPW_OBJECT* object) {
  if (session == nullptr || sid == nullptr || object == nullptr) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    std::shared_ptr<const Directory> dir;
    bool unixOnly = false;
    int rc = session->current(dir, unixOnly);
    if (rc != OPW_OK) return rc;
    for (const Entry& e : dir->entries()) {
      const std::string* v = firstValue(e, "_SID");
      if (v && iequals(*v, sid)) return newObject(e, object);
    }
    return OPW_ERR_NOT_FOUND;
  });
}

int opwGetAttributeStr(OPW_SESSION session, OPW_OBJECT object, const char* name, char** value) {
  if (object == nullptr || name == nullptr || value == nullptr) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    const std::string* v = firstValue(object->entry, name);
    return v ? copyString(*v, value) : OPW_ERR_NO_ATTRIBUTE;
  });
}

int opwGetAttributeInt(OPW_SESSION session, OPW_OBJECT object, const char* name,
                       long long* value) {
  if (object == nullptr || name == nullptr || value == nullptr) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    const std::string* v = firstValue(object->entry, name);
    if (v == nullptr) return OPW_ERR_NO_ATTRIBUTE;
    const std::string& t = *v;
    bool negative = !t.empty() && t[0] == '-';
    unsigned long long magnitude;
    if (!parseUnsigned(negative ? t.substr(1) : t, magnitude)) return OPW_ERR_BAD_VALUE;
    if (negative) {
      if (magnitude > static_cast<unsigned long long>(LLONG_MAX) + 1) return OPW_ERR_BAD_VALUE;
      *value = magnitude == static_cast<unsigned long long>(LLONG_MAX) + 1
                   ? LLONG_MIN
                   : -static_cast<long long>(magnitude);
    } else {
      if (magnitude > static_cast<unsigned long long>(LLONG_MAX)) return OPW_ERR_BAD_VALUE;
      *value = static_cast<long long>(magnitude);
    }
    return OPW_OK;
  });
}

int opwGetAttributeBool(OPW_SESSION session, OPW_OBJECT object, const char* name, int* value) {
  if (object == nullptr || name == nullptr || value == nullptr) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    const std::string* v = firstValue(object->entry, name);
    if (v == nullptr) return OPW_ERR_NO_ATTRIBUTE;
    if (iequals(*v, "TRUE") || *v == "1" || iequals(*v, "yes")) {
      *value = 1;
    } else if (iequals(*v, "FALSE") || *v == "0" || iequals(*v, "no")) {
      *value = 0;
    } else {
      return OPW_ERR_BAD_VALUE;
    }
    return OPW_OK;
  });
}

int opwGetAttributeList(OPW_SESSION session, OPW_OBJECT object, const char* name, char*** values,
                        size_t* count) {
  if (object == nullptr || name == nullptr || values == nullptr || count == nullptr)
    return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    const Values* v = object->entry.find(name);
    if (v == nullptr || v->empty()) return OPW_ERR_NO_ATTRIBUTE;
    char** list = static_cast<char**>(std::calloc(v->size() + 1, sizeof(char*)));
    if (list == nullptr) return OPW_ERR_NO_MEMORY;
    for (size_t i = 0; i < v->size(); ++i) {
      if (copyString((*v)[i], &list[i]) != OPW_OK) {
        freeList(list, i);
        return OPW_ERR_NO_MEMORY;
      }
    }
    *values = list;
    *count = v->size();
    return OPW_OK;
  });
}

int opwIsObjectCategory(OPW_SESSION session, OPW_OBJECT object, const char* category,
                        int* result) {
  if (object == nullptr || category == nullptr || result == nullptr) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    std::string mine = object->entry.category();
    // A category may be written as its schema DN ("CN=Person,CN=Schema,...").
    capi_standin::DN dn;
    if (mine.find('=') != std::string::npos && capi_standin::parseDN(mine, dn) && !dn.empty())
      mine = dn.front().value;
    *result = !mine.empty() && iequals(mine, category) ? 1 : 0;
    return OPW_OK;
  });
}

int opwValidateUserGroup(OPW_SESSION session, OPW_OBJECT object, const char* group,
                         int* isMember) {
  if (session == nullptr || object == nullptr || group == nullptr || isMember == nullptr)
    return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    std::shared_ptr<const Directory> dir;
    bool unixOnly = false;
    int rc = session->current(dir, unixOnly);
    if (rc != OPW_OK) return rc;
    const Entry* g = findGroup(*dir, group);
    if (g == nullptr) return OPW_ERR_NOT_FOUND;
    // The member's full record: the object may hold only the attributes a search asked for.
    const Entry* member = dir->findByCanonicalDn(object->entry.canonicalDn);
    if (member == nullptr) member = &object->entry;
    *isMember = dnListContains(member->find("memberOf"), g->canonicalDn) ||
                        dnListContains(g->find("member"), member->canonicalDn)
                    ? 1
                    : 0;
    return OPW_OK;
  });
}

int opwLdapSearchOpen(OPW_SESSION session, const char* location, const char* filter,
                      const char* base, const char* const* attributes, int scope, int sizeLimit,
                      int timeLimit, OPW_SEARCH* search) {
  if (session == nullptr || filter == nullptr || search == nullptr) return OPW_ERR_INVALID_ARG;
  if (scope < OPW_SCOPE_BASE || scope > OPW_SCOPE_SUBTREE || sizeLimit < 0 || timeLimit < 0)
    return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    std::shared_ptr<const Directory> dir;
    bool unixOnly = false;
    int rc = session->current(dir, unixOnly);
    if (rc != OPW_OK) return rc;
    rc = checkLocation(*dir, location);
    if (rc != OPW_OK) return rc;
    capi_standin::Filter parsed;
    std::string error;
    if (!capi_standin::parseFilter(filter, parsed, error)) return OPW_ERR_BAD_FILTER;
    capi_standin::DN baseDn;
    if (!capi_standin::parseDN(base ? base : "", baseDn)) return OPW_ERR_BAD_DN;
    for (auto& rdn : baseDn) {
      rdn.type = capi_standin::lower(rdn.type);
      rdn.value = capi_standin::lower(rdn.value);
    }
    std::unique_ptr<opw_search> s(new opw_search);
    s->session = session;
    for (const Entry& e : dir->entries()) {
      if (sizeLimit > 0 && s->results.size() >= static_cast<size_t>(sizeLimit)) break;
      if (inLocation(e, location) && inScope(e, baseDn, scope) &&
          capi_standin::matches(parsed, e))
        s->results.push_back(e.restrictedTo(attributes));
    }
    *search = s.release();
    return OPW_OK;
  });
}

int opwLdapSearchNext(OPW_SEARCH search, OPW_OBJECT* object) {
  if (search == nullptr || object == nullptr) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    if (search->next >= search->results.size()) return OPW_ERR_NO_MORE_RESULTS;
    *object = new opw_object{std::move(search->results[search->next])};
    ++search->next;
    return OPW_OK;
  });
}

int opwLdapSearchInfo(OPW_SEARCH search, size_t* total, size_t* returned) {
  if (search == nullptr) return OPW_ERR_INVALID_ARG;
  if (total) *total = search->results.size();
  if (returned) *returned = search->next;
  return OPW_OK;
}

int opwLdapSearchClose(OPW_SEARCH search) {
  if (search == nullptr) return OPW_ERR_INVALID_ARG;
  delete search;
  return OPW_OK;
}

int opwLdapSearchHandle(OPW_SEARCH search, OPW_SESSION* session) {
  if (search == nullptr || session == nullptr) return OPW_ERR_INVALID_ARG;
  *session = search->session;
  return OPW_OK;
}

int opwLdapFetch(OPW_SESSION session, const char* location, const char* dn,
                 const char* const* attributes, OPW_OBJECT* object) {
  if (session == nullptr || dn == nullptr || object == nullptr) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    std::shared_ptr<const Directory> dir;
    bool unixOnly = false;
    int rc = session->current(dir, unixOnly);
    if (rc != OPW_OK) return rc;
    rc = checkLocation(*dir, location);
    if (rc != OPW_OK) return rc;
    bool badDn = false;
    const Entry* e = dir->fetch(dn, badDn);
    if (badDn) return OPW_ERR_BAD_DN;
    if (e == nullptr || !inLocation(*e, location)) return OPW_ERR_NOT_FOUND;
    *object = new opw_object{e->restrictedTo(attributes)};
    return OPW_OK;
  });
}

int opwDomainFromDN(const char* dn, char** domain) {
  if (dn == nullptr || domain == nullptr) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    capi_standin::DN parsed;
    std::string text;
    if (!capi_standin::parseDN(dn, parsed) || !capi_standin::domainOfDN(parsed, text))
      return OPW_ERR_BAD_DN;
    return copyString(text, domain);
  });
}

void opwFreeObject(OPW_OBJECT object) { delete object; }

void opwFreeString(char* value) { std::free(value); }

void opwFreeStringList(char** values, size_t count) { freeList(values, count); }

const char* opwGetOpwCodeStr(int code) {
  switch (code) {
    case OPW_OK: return "Success";
    case OPW_ERR_INVALID_ARG: return "Invalid argument";
    case OPW_ERR_NO_MEMORY: return "Out of memory";
    case OPW_ERR_NOT_CONNECTED: return "Unable to contact the directory";
    case OPW_ERR_NOT_FOUND: return "Object not found";
    case OPW_ERR_NO_ATTRIBUTE: return "Attribute not present";
    case OPW_ERR_BAD_VALUE: return "Attribute value has the wrong type";
    case OPW_ERR_NO_MORE_RESULTS: return "No more results";
    case OPW_ERR_BAD_FILTER: return "Invalid search filter";
    case OPW_ERR_BAD_DN: return "Invalid distinguished name";
    case OPW_ERR_UNSUPPORTED: return "Operation not supported";
    case OPW_ERR_BAD_OPTION: return "Unknown option";
    case OPW_ERR_INTERNAL: return "Internal error";
    default: return "Unknown error";
  }
}

int opwGetAuditLevel(OPW_SESSION session, const char* user, int* level) {
  if (session == nullptr || user == nullptr || level == nullptr) return OPW_ERR_INVALID_ARG;
  return guarded([&] {
    std::shared_ptr<const Directory> dir;
    bool unixOnly = false;
    int rc = session->current(dir, unixOnly);
    if (rc != OPW_OK) return rc;
    int found = -1;
    if (dir->auditLevelFor(user, found)) {
      *level = found;
      return OPW_OK;
    }
    const Entry* e = findByName(*dir, user, "Person", unixOnly);
    if (e == nullptr) return OPW_ERR_NOT_FOUND;
    const std::string* v = firstValue(*e, "auditLevel");
    if (v == nullptr) return OPW_ERR_NO_ATTRIBUTE;
    found = capi_standin::parseAuditLevel(*v);
    if (found < 0) return OPW_ERR_BAD_VALUE;
    *level = found;
    return OPW_OK;
  });
}

}  // extern "C"
