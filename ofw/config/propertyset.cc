#include "ofw/config/propertyset.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "ofw/atomic_file.h"
#include "ofw/capi/dirsettings.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/logging/logger.h"
#include "ofw/config/propertysyntax.h"
#include "ofw/config/securefile.h"

namespace ofw {

using namespace propsyntax;

// ---------------------------------------------------------------------------
// LogSink

void LogSink::add(int level, const std::string& text) {
  if (records_.size() >= kMaxRecords) return;
  LoggerPtr l = getLogger("util.properties");
  if (l && !l->isLevelEnabled(level)) return;
  records_.emplace_back(level, text);
}

void LogSink::flush() {
  if (records_.empty()) return;
  std::vector<std::pair<int, std::string>> records;
  records.swap(records_);
  LoggerPtr l = getLogger("util.properties");
  if (!l) return;
  for (auto& r : records)
    if (l->isLevelEnabled(r.first)) l->logText(r.first, __FILE__, __LINE__, "properties", r.second);
}

void LogSink::take(LogSink& other) {
  for (auto& r : other.records_)
    if (records_.size() < kMaxRecords) records_.push_back(std::move(r));
  other.records_.clear();
}

namespace {

// Readers for LineReader.
std::function<long(char*, size_t)> fdFill(int fd) {
  return [fd](char* buf, size_t n) -> long {
    for (;;) {
      ssize_t r = ::read(fd, buf, n);
      if (r >= 0) return static_cast<long>(r);
      if (errno != EINTR) return -1;
    }
  };
}

std::function<long(char*, size_t)> memoryFill(const char* data, size_t length) {
  size_t pos = 0;
  return [data, length, pos](char* buf, size_t n) mutable -> long {
    size_t k = std::min(n, length - pos);
    if (k) std::memcpy(buf, data + pos, k);
    pos += k;
    return static_cast<long>(k);
  };
}

std::function<long(char*, size_t)> streamFill(FILE* f) {
  return [f](char* buf, size_t n) -> long {
    size_t r = std::fread(buf, 1, n, f);
    if (r == 0 && std::ferror(f)) return -1;
    return static_cast<long>(r);
  };
}

std::string excerpt(const std::string& line) {
  const size_t kMax = 80;
  return line.size() <= kMax ? line : line.substr(0, kMax) + "...";
}

std::mutex& tracePrefixMutex() {
  static std::mutex m;
  return m;
}
std::string& tracePrefix() {
  static std::string p = paths::PROPERTIES_TRACE_PREFIX;
  return p;
}

bool writeAll(int fd, const char* data, size_t length) {
  while (length) {
    ssize_t w = ::write(fd, data, length);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += w;
    length -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

bool PropertySet::CacheLess::operator()(const std::pair<std::string, std::string>& a,
                                        const std::pair<std::string, std::string>& b) const {
  int c = strcasecmp(a.first.c_str(), b.first.c_str());
  if (c != 0) return c < 0;
  return a.second < b.second;
}

// ---------------------------------------------------------------------------
// Construction and trace

void PropertySet::SetTracePrefix(const std::string& prefix) {
  std::lock_guard<std::mutex> g(tracePrefixMutex());
  tracePrefix() = prefix;
}

std::string PropertySet::TracePrefix() {
  std::lock_guard<std::mutex> g(tracePrefixMutex());
  return tracePrefix();
}

PropertySet::PropertySet(bool keepLiterals, int flags) : keepLiterals_(keepLiterals), flags_(flags) {
  const char* env = std::getenv("OFW_PROPERTIES2_DEBUG");
  if (!env || !*env) return;
  char* end = nullptr;
  long level = std::strtol(env, &end, 10);
  if (end == env || *end || level <= 0) return;
  std::string path = TracePrefix() + std::to_string(::getpid());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                  0600);
  if (fd < 0) return;
  struct stat st;
  // Only a regular file of our own: never append to somebody else's file.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      ((st.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0)) {
    ::close(fd);
    return;
  }
  traceFd_ = fd;
  traceLevel_ = level > 100 ? 100 : static_cast<int>(level);
}

PropertySet::~PropertySet() {
  if (traceFd_ >= 0) ::close(traceFd_);
}

void PropertySet::trace(int level, const char* fmt, ...) const {
  if (traceFd_ < 0 || level > traceLevel_) return;
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  std::string line = format("cproperties[%d] %d: ", static_cast<int>(::getpid()), level) + text + "\n";
  writeAll(traceFd_, line.data(), line.size());
}

void PropertySet::setSettingsPrefix(const std::string& prefix) {
  std::lock_guard<std::mutex> g(itemsMutex_);
  settingsPrefix_ = prefix;
}

// ---------------------------------------------------------------------------
// Loading

void PropertySet::putItem(Parsed& p, Kind kind, const std::string& name, const std::string& raw,
                          const std::string& value) {
  Index& index = kind == PROPERTY ? p.properties : p.variables;
  auto it = index.find(name);
  if (it != index.end()) {
    it->second->raw = raw;
    it->second->value = value;
    return;
  }
  p.items.push_back(Item{kind, name, value, raw});
  index[name] = std::prev(p.items.end());
}

void PropertySet::setVariables(Parsed& out) const {
  if (flags_ & FLAG_NO_DIRECTORY_VARIABLES) return;
  std::string prefix;
  {
    std::lock_guard<std::mutex> g(itemsMutex_);
    prefix = settingsPrefix_;
  }
  static const struct {
    const char* variable;
    const char* setting;
  } kVariables[] = {{"JOINNAME", "host"}, {"SITE", "site"}, {"DOMAIN", "domain"}, {"ZONE", "zonename"}};
  for (const auto& v : kVariables) {
    std::string value;
    if (!getDirectorySetting(v.setting, value, prefix)) {
      value = "<unknown>";
    } else if (std::strcmp(v.variable, "ZONE") == 0) {
      // A zone given as a distinguished name: its first RDN value.
      size_t cn = value.find("CN=");
      if (cn != std::string::npos) {
        value = value.substr(cn + 3);
        size_t comma = value.find(',');
        if (comma != std::string::npos) value.resize(comma);
      }
    }
    putItem(out, VARIABLE, v.variable, value, value);
    trace(2, "Variable %s = %s", v.variable, value.c_str());
  }
}

bool PropertySet::lookUp(const Parsed& p, const std::string& name, std::string& value) {
  auto v = p.variables.find(name);
  if (v != p.variables.end() && !v->second->value.empty()) {
    value = v->second->value;
    return true;
  }
  const char* env = std::getenv(name.c_str());
  if (env && *env) {
    value = env;
    return true;
  }
  auto prop = p.properties.find(name);
  if (prop != p.properties.end() && !prop->second->value.empty()) {
    value = prop->second->value;
    return true;
  }
  return false;
}

int PropertySet::parse(LineReader& source, Parsed& out, LogSink& sink) {
  setVariables(out);
  auto lookup = [&out](const std::string& name, std::string& value) {
    return lookUp(out, name, value);
  };
  auto process = [&](const std::string& logical) {
    std::string key, rest;
    if (!splitLine(logical, key, rest)) return;
    std::string norm = normalizeWhitespace(rest);
    std::string raw = keepLiterals_ ? norm : expandVariables(norm, lookup);
    std::string value = unescapeValue(raw, keepLiterals_);
    putItem(out, PROPERTY, key, raw, value);
    trace(2, "Property %s = %s", key.c_str(), value.c_str());
  };
  auto fail = [&](const std::string& text, size_t lineNo) {
    sink.add(Logger::WARN, "Error when parsing line: " + excerpt(text));
    trace(1, "Line %zu exceeds %zu bytes or holds a NUL byte", lineNo, kMaxLineLength);
    return -5;
  };

  std::string logical, phys;
  bool continuing = false;
  size_t lineNo = 0;
  for (;;) {
    bool overLong = false;
    int r = source.next(phys, overLong);
    if (r < 0) {
      sink.add(Logger::WARN, "Error when reading configuration after line " + std::to_string(lineNo));
      trace(1, "Read error after line %zu", lineNo);
      return -5;
    }
    if (r == 0) break;
    ++lineNo;
    trace(3, "Line %zu: %s", lineNo, phys.c_str());
    if (overLong || phys.find('\0') != std::string::npos) return fail(logical + phys, lineNo);
    if (!continuing && (phys.empty() || phys[0] == '#' || phys[0] == '!')) continue;
    bool more = endsWithContinuation(phys);
    if (more) phys.back() = ' ';
    if (logical.size() + phys.size() > kMaxLineLength) return fail(logical + phys, lineNo);
    logical += phys;
    if (more) {
      continuing = true;
      continue;
    }
    process(logical);
    logical.clear();
    continuing = false;
  }
  if (continuing) process(logical);
  return 0;
}

void PropertySet::install(Parsed& p) {
  {
    std::lock_guard<std::mutex> g(itemsMutex_);
    ++generation_;
    parsed_ = std::move(p);
    loaded_ = true;
  }
  std::lock_guard<std::mutex> g(cacheMutex_);
  cache_.clear();
}

int PropertySet::loadFrom(LineReader& source, LogSink& sink) {
  Parsed p;
  int rc = parse(source, p, sink);
  if (rc != 0) return rc;
  install(p);
  return 0;
}

int PropertySet::loadFromFile(const std::string& path, LogSink& sink) {
  {
    std::lock_guard<std::mutex> g(itemsMutex_);
    fileName_ = path;
  }
  UniqueFd fd;
  int err = 0;
  FileRefusal refusal = secureOpenForRead(path, fd, err);
  if (refusal != FileRefusal::None) {
    trace(1, "Not loading %s: the file %s (errno %d)", path.c_str(), refusalText(refusal), err);
    return refusalStatus(refusal);
  }
  trace(1, "Loading %s", path.c_str());
  LineReader reader(fdFill(fd.get()));
  int rc = loadFrom(reader, sink);
  trace(1, "Loaded %s: status %d", path.c_str(), rc);
  return rc;
}

int PropertySet::loadFromText(const char* data, size_t length, LogSink& sink) {
  if (!data && length) return -22;
  LineReader reader(memoryFill(data, length));
  return loadFrom(reader, sink);
}

int PropertySet::loadFromStream(FILE* stream, LogSink& sink) {
  if (!stream) return -22;
  LineReader reader(streamFill(stream));
  return loadFrom(reader, sink);
}

int PropertySet::reload(LogSink& sink) {
  std::string path = fileName();
  if (path.empty()) return -22;
  return loadFromFile(path, sink);
}

// ---------------------------------------------------------------------------
// Look-ups

bool PropertySet::get(const std::string& key, std::string& value) const {
  std::lock_guard<std::mutex> g(itemsMutex_);
  auto it = parsed_.properties.find(key);
  if (it == parsed_.properties.end()) return false;
  value = it->second->value;
  return true;
}

bool PropertySet::getRaw(const std::string& key, std::string& raw) const {
  std::lock_guard<std::mutex> g(itemsMutex_);
  auto it = parsed_.properties.find(key);
  if (it == parsed_.properties.end()) return false;
  raw = it->second->raw;
  return true;
}

bool PropertySet::exists(const std::string& key) const {
  std::lock_guard<std::mutex> g(itemsMutex_);
  return parsed_.properties.count(key) != 0;
}

std::vector<std::pair<std::string, std::string>> PropertySet::properties() const {
  std::vector<std::pair<std::string, std::string>> out;
  std::lock_guard<std::mutex> g(itemsMutex_);
  out.reserve(parsed_.properties.size());
  for (const Item& i : parsed_.items)
    if (i.kind == PROPERTY) out.emplace_back(i.name, i.value);
  return out;
}

std::vector<PropertySet::Item> PropertySet::items() const {
  std::lock_guard<std::mutex> g(itemsMutex_);
  return std::vector<Item>(parsed_.items.begin(), parsed_.items.end());
}

size_t PropertySet::size() const {
  std::lock_guard<std::mutex> g(itemsMutex_);
  return parsed_.properties.size();
}

std::string PropertySet::fileName() const {
  std::lock_guard<std::mutex> g(itemsMutex_);
  return fileName_;
}

// ---------------------------------------------------------------------------
// Value lists

bool PropertySet::readListFile(const std::string& path, const std::string& key,
                               std::vector<std::string>& list, LogSink& sink) const {
  UniqueFd fd;
  int err = 0;
  FileRefusal refusal = secureOpenForRead(path, fd, err);
  const std::string skip = ". Skip reading config file for property " + key;
  auto refused = [&](const char* what, const char* advice) {
    sink.add(Logger::WARN, "Config file [" + path + "] " + what + skip + ". Please ensure the file " +
                               advice + " to enhance security.");
  };
  switch (refusal) {
    case FileRefusal::None:
      break;
    case FileRefusal::NotFound:
      sink.add(Logger::INFO, "Config file does not exist: " + path);
      break;
    case FileRefusal::NoPermission:
      sink.add(Logger::WARN, "No permission to access config file [" + path + "]" + skip);
      break;
    case FileRefusal::WorldWritable:
      refused("is world writable", "is not world writable");
      break;
    case FileRefusal::Symlink:
      refused("is symlink", "is not a symlink");
      break;
    case FileRefusal::HardLinks:
      refused("has more than one hardlinks", "has only one hardlink");
      break;
    case FileRefusal::NotRoot:
      refused("is not owned by root", "is owned by root");
      break;
    case FileRefusal::NotRegular:
    case FileRefusal::Unknown:
      sink.add(Logger::WARN, "Cannot open config file [" + path + "] due to unknown error" + skip);
      break;
  }
  if (refusal != FileRefusal::None) {
    trace(1, "List file %s of %s refused: the file %s", path.c_str(), key.c_str(),
          refusalText(refusal));
    return false;
  }
  LineReader reader(fdFill(fd.get()));
  std::string line;
  for (;;) {
    bool overLong = false;
    int r = reader.next(line, overLong);
    if (r < 0) {
      sink.add(Logger::WARN, "Cannot open config file [" + path + "] due to unknown error" + skip);
      list.clear();
      return false;
    }
    if (r == 0) break;
    if (overLong) {
      // A cut line could yield a wrong name; leave the whole line out.
      sink.add(Logger::WARN, format("Config file [%s] has a line longer than %zu bytes; the line is "
                                    "ignored for property %s",
                                    path.c_str(), kMaxLineLength, key.c_str()));
      continue;
    }
    for (std::string& item : splitListFileLine(line)) list.push_back(std::move(item));
  }
  trace(2, "List %s read from %s: %zu items", key.c_str(), path.c_str(), list.size());
  return true;
}

bool PropertySet::getValueList(const std::string& key, const std::string& def,
                               std::vector<std::string>& list, LogSink& sink) {
  const std::pair<std::string, std::string> cacheKey(key, def);
  {
    std::lock_guard<std::mutex> g(cacheMutex_);
    auto it = cache_.find(cacheKey);
    if (it != cache_.end()) {
      list = it->second.second;
      return it->second.first;
    }
  }
  unsigned long generation;
  std::string raw;
  bool have = false;
  {
    std::lock_guard<std::mutex> g(itemsMutex_);
    generation = generation_.load();
    auto it = parsed_.properties.find(key);
    if (it != parsed_.properties.end() && !it->second->raw.empty()) {
      raw = it->second->raw;
      have = true;
    }
  }
  // Built with no lock held: reading a referenced file may take a while.
  list.clear();
  bool ok = true;
  const std::string& text = have ? raw : def;
  if (isFileReference(text)) {
    ok = readListFile(fileReferencePath(text), key, list, sink);
    if (!ok && have && isFileReference(def)) {
      list.clear();
      ok = readListFile(fileReferencePath(def), key, list, sink);
    }
  } else {
    list = splitValueList(text);
  }
  std::lock_guard<std::mutex> g(cacheMutex_);
  if (generation_.load() == generation) cache_[cacheKey] = std::make_pair(ok, list);
  return ok;
}

// ---------------------------------------------------------------------------
// Changes in memory

void PropertySet::invalidate(const std::string& key) {
  std::lock_guard<std::mutex> g(cacheMutex_);
  auto it = cache_.lower_bound(std::make_pair(key, std::string()));
  while (it != cache_.end() && strcasecmp(it->first.first.c_str(), key.c_str()) == 0)
    it = cache_.erase(it);
}

void PropertySet::setItem(const std::string& key, const std::string& raw, const std::string& value) {
  {
    std::lock_guard<std::mutex> g(itemsMutex_);
    ++generation_;
    putItem(parsed_, PROPERTY, key, raw, value);
  }
  invalidate(key);
}

void PropertySet::setProperty(const std::string& key, const std::string& value) {
  setItem(key, value, value);
}

void PropertySet::setValueList(const std::string& key, const std::vector<std::string>& list) {
  std::string raw = formatValueList(list);
  setItem(key, raw, unescapeValue(raw));
}

bool PropertySet::deleteProperty(const std::string& key) {
  {
    std::lock_guard<std::mutex> g(itemsMutex_);
    auto it = parsed_.properties.find(key);
    if (it == parsed_.properties.end()) return false;
    ++generation_;
    parsed_.items.erase(it->second);
    parsed_.properties.erase(it);
  }
  invalidate(key);
  return true;
}

size_t PropertySet::deletePrefix(const std::string& prefix) {
  size_t n = 0;
  {
    std::lock_guard<std::mutex> g(itemsMutex_);
    ++generation_;
    auto it = parsed_.properties.lower_bound(prefix);
    while (it != parsed_.properties.end() &&
           strncasecmp(it->first.c_str(), prefix.c_str(), prefix.size()) == 0) {
      parsed_.items.erase(it->second);
      it = parsed_.properties.erase(it);
      ++n;
    }
  }
  std::lock_guard<std::mutex> g(cacheMutex_);
  cache_.clear();
  return n;
}

void PropertySet::cleanup() {
  {
    std::lock_guard<std::mutex> g(itemsMutex_);
    ++generation_;
    parsed_.properties.clear();
    parsed_.variables.clear();
    parsed_.items.clear();
    loaded_ = false;
  }
  std::lock_guard<std::mutex> g(cacheMutex_);
  cache_.clear();
}

std::string PropertySet::expand(const std::string& text) const {
  std::lock_guard<std::mutex> g(itemsMutex_);
  return expandVariables(text, [this](const std::string& name, std::string& value) {
    return lookUp(parsed_, name, value);
  });
}

std::string PropertySet::unexpand(const std::string& text) const {
  std::vector<std::pair<std::string, std::string>> vars;
  {
    std::lock_guard<std::mutex> g(itemsMutex_);
    for (const auto& v : parsed_.variables)
      if (!v.second->value.empty() && v.second->value != "<unknown>")
        vars.emplace_back(v.second->value, v.second->name);
  }
  // Longest values first, so that a value containing another is replaced whole.
  std::sort(vars.begin(), vars.end(),
            [](const std::pair<std::string, std::string>& a,
               const std::pair<std::string, std::string>& b) { return a.first.size() > b.first.size(); });
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& v : vars) {
      if (text.compare(i, v.first.size(), v.first) == 0) {
        out += "$" + v.second;
        i += v.first.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

// ---------------------------------------------------------------------------
// Write-back

namespace {

// Removes the lock file when the write-back ends, however it ends.
class LockFile {
 public:
  LockFile(const std::string& path, LogSink& sink) : path_(path), sink_(sink) {}
  ~LockFile() {
    if (!held_) return;
    if (::unlink(path_.c_str()) == 0) {
      sink_.add(Logger::DEBUG, "Remove lock file " + path_);
    } else {
      sink_.add(Logger::WARN, "Unable to remove lock file " + path_ + ": " + errnoText(errno));
    }
  }
  int create() {
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      int e = errno;
      sink_.add(Logger::WARN, "Unable to create lock file " + path_ + ": " + errnoText(e));
      return -e;
    }
    ::close(fd);
    held_ = true;
    sink_.add(Logger::DEBUG, "Create lock file " + path_);
    return 0;
  }

 private:
  std::string path_;
  LogSink& sink_;
  bool held_ = false;
};

// A physical line with its line end as found in the file.
struct PhysLine {
  std::string bytes;  // including "\n" when present
  std::string text;   // without the line end
};

std::vector<PhysLine> splitPhysical(const std::string& content) {
  std::vector<PhysLine> lines;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t nl = content.find('\n', pos);
    size_t end = nl == std::string::npos ? content.size() : nl + 1;
    PhysLine l;
    l.bytes = content.substr(pos, end - pos);
    l.text = content.substr(pos, (nl == std::string::npos ? content.size() : nl) - pos);
    if (!l.text.empty() && l.text.back() == '\r') l.text.pop_back();
    lines.push_back(std::move(l));
    pos = end;
  }
  return lines;
}

}  // namespace

int PropertySet::writeBack(const std::string& key, const std::string& raw, LogSink& sink) {
  std::string path = fileName();
  if (path.empty() || !loaded_) {
    sink.add(Logger::ERROR, "SaveProperty call without initialising CProperties2");
    return -22;
  }
  if (key.empty()) return -22;
  const std::string newLine = formatKey(key) + " = " + sanitizeRaw(raw);
  if (newLine.size() > kMaxLineLength) {
    // Written anyway it would make the whole file unreadable.
    sink.add(Logger::WARN, format("Property %s is not saved: its line would exceed %zu bytes",
                                  key.c_str(), kMaxLineLength));
    return -22;
  }

  LockFile lock(path + ".loc", sink);
  int rc = lock.create();
  if (rc != 0) return rc;

  UniqueFd fd;
  int err = 0;
  FileRefusal refusal = secureOpenForRead(path, fd, err);
  if (refusal != FileRefusal::None) {
    sink.add(Logger::WARN, "Cannot rewrite config file [" + path + "]: the file " +
                               refusalText(refusal));
    return refusalStatus(refusal);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return -5;
  const off_t kMaxFile = 16 << 20;
  if (st.st_size > kMaxFile) {
    sink.add(Logger::WARN, "Cannot rewrite config file [" + path + "]: the file is too large");
    return -5;
  }
  std::string content;
  {
    char buf[8192];
    for (;;) {
      ssize_t r = ::read(fd.get(), buf, sizeof buf);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -5;
      if (r == 0) break;
      content.append(buf, static_cast<size_t>(r));
      if (content.size() > static_cast<size_t>(kMaxFile)) return -5;
    }
  }

  // Logical lines, exactly as the loader sees them; the key's last definition
  // (the one that takes effect) is replaced.
  std::vector<PhysLine> lines = splitPhysical(content);
  struct Group {
    size_t first, last;
    bool matches;
  };
  std::vector<Group> groups;
  for (size_t i = 0; i < lines.size();) {
    const std::string& t = lines[i].text;
    if (t.empty() || t[0] == '#' || t[0] == '!') {
      groups.push_back(Group{i, i, false});
      ++i;
      continue;
    }
    size_t j = i;
    std::string logical;
    for (;;) {
      std::string part = lines[j].text;
      bool more = endsWithContinuation(part) && j + 1 < lines.size();
      if (endsWithContinuation(part)) part.back() = ' ';
      logical += part;
      if (!more) break;
      ++j;
    }
    std::string k, rest;
    bool matches = splitLine(logical, k, rest) && strcasecmp(k.c_str(), key.c_str()) == 0;
    groups.push_back(Group{i, j, matches});
    i = j + 1;
  }
  size_t target = groups.size();
  for (size_t g = 0; g < groups.size(); ++g)
    if (groups[g].matches) target = g;

  std::string out;
  out.reserve(content.size() + newLine.size() + 2);
  for (size_t g = 0; g < groups.size(); ++g) {
    if (g == target) {
      out += newLine + "\n";
      sink.add(Logger::DEBUG, "Save line from memory: " + newLine);
      continue;
    }
    for (size_t l = groups[g].first; l <= groups[g].last; ++l) {
      out += lines[l].bytes;
      sink.add(Logger::DEBUG, "Save line from old config: " + lines[l].text);
    }
  }
  if (target == groups.size()) {
    if (!out.empty() && out.back() != '\n') out += '\n';
    out += newLine + "\n";
    sink.add(Logger::DEBUG, "Save line from memory: " + newLine);
  }

  try {
    replaceFile(path, out);  // keeps the mode and owner of the file read above
  } catch (const IOException& e) {
    sink.add(Logger::WARN, "Unable to replace config file [" + path + "]: " + errnoText(e.code()));
    return -5;
  }
  trace(1, "Saved %s in %s", key.c_str(), path.c_str());
  return 0;
}

int PropertySet::saveProperty(const std::string& key, LogSink& sink) {
  std::string raw;
  if (!isLoaded() || fileName().empty()) return writeBack(key, raw, sink);
  if (!getRaw(key, raw)) return -2;
  return writeBack(key, raw, sink);
}

int PropertySet::saveValueList(const std::string& key, const std::vector<std::string>& list,
                               LogSink& sink) {
  std::string raw = formatValueList(list);
  int rc = writeBack(key, raw, sink);
  if (rc == 0) setItem(key, raw, unescapeValue(raw));
  return rc;
}

void PropertySet::dump(FILE* out) const {
  if (!out) return;
  std::fprintf(out, "Properties dump\n");
  for (const auto& kv : properties()) std::fprintf(out, "%s = %s\n", kv.first.c_str(), kv.second.c_str());
  std::fflush(out);
}

}  // namespace ofw
