// The configuration store.
//
// One Properties object holds the key/value pairs of one configuration file,
// compared case-insensitively. Every getter takes the instance mutex only for
// the look-up and returns a copy (or a shared, immutable list), so any thread
// may read while another reloads. A reload parses into a new store and swaps it
// in only when the whole file was read: a failed reload keeps the running
// configuration.
//
// Parsing, variables, value lists and write-back are done by the C properties
// layer (ofw/config/cproperties.h); this class copies the parsed pairs into its map.
// No log record is written while the instance mutex is held (the logger reads
// the configuration itself).
#pragma once
#include <boost/shared_ptr.hpp>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "ofw/config/strcase.h"

namespace ofw {

typedef boost::shared_ptr<const std::vector<std::string>> ValueList;
typedef std::map<std::string, std::string, StringCaseLessThan> PropertyMap;

// One finding of the syntax check: the level it is logged at, the key (empty
// for findings about the file) and the logged text.
struct PropertyCheckFinding {
  int level;
  std::string key;
  std::string text;
};

class LogSink;

class Properties {
 public:
  // An empty store bound to no file.
  Properties();
  // Loads `path`; a missing or refused file leaves the store empty (see lastLoadStatus()).
  explicit Properties(const std::string& path);
  ~Properties();
  Properties(const Properties&) = delete;
  Properties& operator=(const Properties&) = delete;

  // Parses `path` into a new store and swaps it in on success. Returns 0 or the
  // C layer's negative status (-2 missing, -1 no permission, -125 security,
  // -5 input/output or syntax error). On failure the previous store is kept
  // and the failure is logged at INFO; the store stays bound to `path`.
  int loadFromFile(const std::string& path);
  // Parses text as a configuration file (tests, embedded defaults); binds no file.
  int loadFromString(const std::string& text);
  // Re-reads the same file (returns the load status; the old store is kept on
  // failure; -22 when no file is bound).
  int reload();
  int lastLoadStatus() const;
  std::string fileName() const;
  // Prefix of the directory client's settings files read for the variables
  // JOINNAME, SITE, DOMAIN and ZONE at the next load (default paths::KSET_PREFIX).
  void setDirectorySettingsPrefix(const std::string& prefix);

  // The stored text when the key exists (an empty value is returned as empty), else `def`.
  std::string getProperty(const std::string& key, const std::string& def = std::string()) const;
  // strtol base 10 truncated to 32 bits; absent or empty -> def; not a number -> 0.
  int getInt(const std::string& key, int def) const;
  unsigned int getUInt(const std::string& key, unsigned int def) const;
  // true/yes/1 and false/no/0 in any case; anything else, absent or empty -> def.
  bool getBool(const std::string& key, bool def) const;
  // Seconds; unit is one of s m h d w M y and applies to a number without
  // unit and to `def`. -1 stays -1; another negative value or an unknown unit
  // gives def × unit (logged).
  long getTime(const std::string& key, char unit, long def) const;
  // The key's value list (or that of `def` when the key is absent or empty);
  // "file:" values are read from the file if it passes the security check.
  // Built once per key and default until the next reload or change.
  ValueList getValueList(const std::string& key, const std::string& def = std::string()) const;
  bool keyExists(const std::string& key) const;
  // All pairs whose key starts with the prefix (any case).
  PropertyMap findPrefix(const std::string& prefix) const;
  PropertyMap getMap() const;
  PropertyMap filter(const std::function<bool(const std::string& key, const std::string& value)>& keep) const;
  // "Properties dump" and every pair, to /dev/tty or to a stream.
  void dump() const;
  void dump(std::ostream& out) const;
  // Every pair in file syntax (loadable again), after a "#" header line when
  // the header is not empty.
  void store(std::ostream& out, const std::string& header) const;

  // prefix (or "vgd" when empty) + "." + name [+ "." + suffix]
  static std::string makeKey(const std::string& prefix, const std::string& name,
                             const std::string& suffix = std::string());

  // Sets a value in memory only (tests and programs without a file). The value
  // is taken as the file would hold it: getValueList splits it as written.
  void setProperty(const std::string& key, const std::string& value);

  // Write-back to the file: lock file ".loc", copy into ".new", rename. The
  // memory is changed only when the file was written. 0 or a negative status.
  int saveProperty(const std::string& key);
  int setValueList(const std::string& key, const std::vector<std::string>& values);
  // Adds the value when it is not in the list yet / removes every occurrence;
  // nothing is written when the list does not change. A list that refers to a
  // file is not changed here (-22).
  int addValueList(const std::string& key, const std::string& value);
  int delValueList(const std::string& key, const std::string& value);

  // Syntax check of the known keys present in the file, gated by the file's
  // modification time. The findings are logged and returned.
  std::vector<PropertyCheckFinding> propertiesCheck();

  struct Impl;

 private:
  friend Properties& Props(bool first, bool reload);

  // Parses `path` and swaps the result in on success; messages go to `sink`.
  int load(const std::string& path, LogSink& sink);
  void afterLoad();
  int changeList(const std::string& key, const std::string& value, bool add);
  boost::shared_ptr<Impl> current() const;

  std::string fileName_;
  std::string settingsPrefix_;
  int status_ = 0;
  bool reconfigureLogger_ = false;
  mutable std::mutex mutex_;
  boost::shared_ptr<Impl> impl_;
  std::mutex writeMutex_;  // one write-back at a time
  std::mutex checkMutex_;
  bool checked_ = false;
  struct timespec checkedMtime_ = {0, 0};
};

// The INFO text logged when loading `path` failed with `status`.
std::string propertiesLoadErrorText(const std::string& path, int status);

// The daemon's one configuration: created on the first call (thread-safe) and
// loaded from the configuration file path (paths.h, or SetPropsPath); a later
// call with `reload` re-reads it. Each successful load reconfigures the log levels.
Properties& Props(bool first = false, bool reload = false);
// Points Props() at another file before its first use (tools and tests).
void SetPropsPath(const std::string& path);

}  // namespace ofw
