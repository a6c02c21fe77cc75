// The property set behind a C properties handle (ofw/config/cproperties.h).
//
// It holds the items of one parsed file in file order: variables (kind 0, set
// from the directory client's settings before parsing) and properties (kind 1),
// each with its name, its stored value (escapes and enclosing quotes removed)
// and its raw value (after `$` expansion, before unescaping). Names are
// compared without regard to case; the last definition in the file wins.
// Value lists are built from raw values and cached per key and default.
//
// Concurrency: one mutex guards the items, a second one the list cache. A list
// is built (files read) with neither held; an item change bumps a generation
// counter first, so a list built from the old value is never cached after the
// change. No log record is written while either mutex is held: messages are
// collected in a LogSink and written by its owner once every lock is released
// (the logger reads the configuration itself).
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ofw/paths.h"
#include "ofw/config/strcase.h"

struct CProperties2;

namespace ofw {

namespace propsyntax {
class LineReader;
}

// Log records gathered under a lock and written later on "util.properties".
class LogSink {
 public:
  LogSink() = default;
  ~LogSink() { flush(); }
  LogSink(const LogSink&) = delete;
  LogSink& operator=(const LogSink&) = delete;

  void add(int level, const std::string& text);
  // Writes and forgets the records.
  void flush();
  const std::vector<std::pair<int, std::string>>& records() const { return records_; }
  // Moves the records of another sink behind these.
  void take(LogSink& other);

 private:
  static constexpr size_t kMaxRecords = 4096;
  std::vector<std::pair<int, std::string>> records_;
};

class PropertySet {
 public:
  enum Kind { VARIABLE = 0, PROPERTY = 1 };
  // Flag: do not read the directory client's settings (variables stay unset).
  static constexpr int FLAG_NO_DIRECTORY_VARIABLES = 1;

  struct Item {
    Kind kind;
    std::string name;
    std::string value;  // stored: unescaped, unquoted
    std::string raw;    // as read: expanded, still escaped
  };

  PropertySet(bool keepLiterals, int flags);
  ~PropertySet();
  PropertySet(const PropertySet&) = delete;
  PropertySet& operator=(const PropertySet&) = delete;

  // Process-wide prefix of the trace file (default paths::PROPERTIES_TRACE_PREFIX);
  // affects sets created afterwards. The trace file is prefix + pid.
  static void SetTracePrefix(const std::string& prefix);
  static std::string TracePrefix();

  // Prefix of the directory client's settings files (default paths::KSET_PREFIX).
  void setSettingsPrefix(const std::string& prefix);

  // Loads a file / text. The items are replaced only when the whole input was
  // parsed; on failure the set keeps what it had. Returns 0 or -2 missing,
  // -1 no permission, -125 refused for security, -5 read or syntax error.
  int loadFromFile(const std::string& path, LogSink& sink);
  int loadFromText(const char* data, size_t length, LogSink& sink);
  int loadFromStream(FILE* stream, LogSink& sink);
  // Loads the file of the last loadFromFile again (-22 when there is none).
  int reload(LogSink& sink);

  bool get(const std::string& key, std::string& value) const;
  bool getRaw(const std::string& key, std::string& raw) const;
  bool exists(const std::string& key) const;
  // The properties (kind 1) in file order.
  std::vector<std::pair<std::string, std::string>> properties() const;
  std::vector<Item> items() const;
  size_t size() const;
  bool isLoaded() const { return loaded_.load(); }
  std::string fileName() const;

  // Value list of `key` (or of `def` when the key is absent or empty).
  // Returns false when a referenced file could not be used (the list is then
  // what the fallback gave, possibly empty).
  bool getValueList(const std::string& key, const std::string& def,
                    std::vector<std::string>& list, LogSink& sink);

  // In memory. setProperty takes the value as file text would be (it is the
  // raw value; the stored value is the same text).
  void setProperty(const std::string& key, const std::string& value);
  // raw = the list formatted in file syntax, stored = its unescaped form.
  void setValueList(const std::string& key, const std::vector<std::string>& list);
  void setItem(const std::string& key, const std::string& raw, const std::string& value);
  bool deleteProperty(const std::string& key);
  size_t deletePrefix(const std::string& prefix);
  void cleanup();

  // `$` expansion of arbitrary text with this set's variables, the
  // environment and its properties; and the reverse for the variables.
  std::string expand(const std::string& text) const;
  std::string unexpand(const std::string& text) const;

  // Write-back to the loaded file: "<file>.loc" is created exclusively, the
  // file is copied into "<file>.new" with the key's last definition replaced
  // (or the key appended), the copy is renamed over the file and the lock file
  // removed. The file must pass the security check. Returns 0 or a negative
  // status; the file is unchanged on failure.
  int writeBack(const std::string& key, const std::string& raw, LogSink& sink);
  // Writes the key's current raw value back.
  int saveProperty(const std::string& key, LogSink& sink);
  // Formats the list, writes it back and, on success, sets it in memory.
  int saveValueList(const std::string& key, const std::vector<std::string>& list, LogSink& sink);

  void dump(FILE* out) const;
  void trace(int level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));

 private:
  typedef std::list<Item> ItemList;
  typedef std::map<std::string, ItemList::iterator, StringCaseLessThan> Index;
  struct Parsed {
    ItemList items;
    Index properties;
    Index variables;
  };
  int parse(propsyntax::LineReader& source, Parsed& out, LogSink& sink);
  // The value of ${name}: a variable, else the environment, else a property
  // (empty values do not count); false when none has one.
  static bool lookUp(const Parsed& p, const std::string& name, std::string& value);
  int loadFrom(propsyntax::LineReader& source, LogSink& sink);
  void setVariables(Parsed& out) const;
  static void putItem(Parsed& p, Kind kind, const std::string& name, const std::string& raw,
                      const std::string& value);
  void install(Parsed& p);
  void invalidate(const std::string& key);
  bool readListFile(const std::string& path, const std::string& key,
                    std::vector<std::string>& list, LogSink& sink) const;

  const bool keepLiterals_;
  const int flags_;
  std::string settingsPrefix_ = paths::KSET_PREFIX;

  mutable std::mutex itemsMutex_;
  Parsed parsed_;
  std::string fileName_;
  std::atomic<bool> loaded_{false};
  std::atomic<unsigned long> generation_{0};

  // Key compared without regard to case, default exactly.
  struct CacheLess {
    bool operator()(const std::pair<std::string, std::string>& a,
                    const std::pair<std::string, std::string>& b) const;
  };
  mutable std::mutex cacheMutex_;
  std::map<std::pair<std::string, std::string>, std::pair<bool, std::vector<std::string>>,
           CacheLess>
      cache_;

  int traceLevel_ = 0;
  int traceFd_ = -1;
};

// The set behind a C handle; nullptr for an invalid handle.
PropertySet* propertySetOf(CProperties2* handle);

}  // namespace ofw
