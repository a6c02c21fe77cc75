// The configuration store.
//
// One Properties object holds the key/value pairs of one configuration file,
// compared case-insensitively. Every getter takes the instance mutex only for
// the look-up and returns a copy (or a shared, immutable list), so any thread
// may read while another reloads. A reload parses into a new store and swaps it
// in only when the whole file was read: a failed reload keeps the running
// configuration.
#pragma once
#include <boost/shared_ptr.hpp>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ofw/strcase.h"

namespace ofw {

typedef boost::shared_ptr<const std::vector<std::string>> ValueList;
typedef std::map<std::string, std::string, StringCaseLessThan> PropertyMap;

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
  // -5 input/output or syntax error). On failure the previous store is kept.
  int loadFromFile(const std::string& path);
  // Parses text as a configuration file (tests, embedded defaults).
  int loadFromString(const std::string& text);
  // Re-reads the same file (returns the load status; the old store is kept on failure).
  int reload();
  int lastLoadStatus() const;
  const std::string& fileName() const { return fileName_; }

  std::string getProperty(const std::string& key, const std::string& def = std::string()) const;
  int getInt(const std::string& key, int def) const;
  unsigned int getUInt(const std::string& key, unsigned int def) const;
  bool getBool(const std::string& key, bool def) const;
  // Seconds; unit is one of s m h d w M y and applies to a number without unit.
  long getTime(const std::string& key, char unit, long def) const;
  ValueList getValueList(const std::string& key, const std::string& def = std::string()) const;
  bool keyExists(const std::string& key) const;
  PropertyMap findPrefix(const std::string& prefix) const;
  PropertyMap getMap() const;

  // prefix (or "vgd" when empty) + "." + name [+ "." + suffix]
  static std::string makeKey(const std::string& prefix, const std::string& name,
                             const std::string& suffix = std::string());

  // Sets a value in memory only (tests and programs without a file).
  void setProperty(const std::string& key, const std::string& value);

  // Write-back to the file: lock file ".loc", copy into ".new", rename.
  int saveProperty(const std::string& key);
  int setValueList(const std::string& key, const std::vector<std::string>& values);
  int addValueList(const std::string& key, const std::string& value);
  int delValueList(const std::string& key, const std::string& value);

  // Syntax check of the known keys, gated by the file's modification time.
  void propertiesCheck();

  struct Impl;

 private:
  std::string fileName_;
  mutable std::mutex mutex_;
  boost::shared_ptr<Impl> impl_;
};

// The daemon's one configuration: created on the first call and loaded from
// the configuration file path (paths.h); `reload` re-reads it.
Properties& Props(bool first = false, bool reload = false);
// Points Props() at another file before its first use (tools and tests).
void SetPropsPath(const std::string& path);

}  // namespace ofw
