// Arbitrary bytes as a configuration file: the load must end with a status,
// never a crash; every loaded key's value list must be buildable; and the
// write-back formats must parse back to exactly what was loaded (values,
// lists, keys, and a whole store written by Properties::store).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"
#include "ofw/config/propertysyntax.h"

namespace {

using ofw::propsyntax::formatKey;
using ofw::propsyntax::formatValue;
using ofw::propsyntax::formatValueList;
using ofw::propsyntax::kMaxLineLength;

void check(bool ok) {
  if (!ok) std::abort();
}

bool fits(const std::string& line) { return line.size() <= kMaxLineLength; }

// Keys wholly in matching quotes lose them when read, so they cannot be written back.
bool writableKey(const std::string& k) {
  return !(k.size() >= 2 && (k[0] == '"' || k[0] == '\'') && k.back() == k[0]);
}

ofw::Properties* fresh(ofw::Properties& p) {
  p.setDirectorySettingsPrefix("/nonexistent/kset.");
  return &p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    ofw::getLogger("util.properties")->setLevel(ofw::Logger::FATAL);
    return true;
  }();
  (void)quiet;
  if (size > (1u << 16)) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  ofw::Properties p;
  if (fresh(p)->loadFromString(text) != 0) return 0;

  ofw::PropertyMap all = p.getMap();
  bool storable = true;
  for (const auto& kv : all) {
    (void)p.getInt(kv.first, 0);
    (void)p.getUInt(kv.first, 0);
    (void)p.getBool(kv.first, false);
    (void)p.getTime(kv.first, 's', 1);
    // A file reference would read whatever file the input names.
    if (kv.second.compare(0, 5, "file:") != 0) {
      ofw::ValueList list = p.getValueList(kv.first);
      check(list != nullptr);
      for (const std::string& item : *list) check(!item.empty());
      std::string line = "k = " + formatValueList(*list);
      if (fits(line)) {
        ofw::Properties q;
        check(fresh(q)->loadFromString(line + "\n") == 0);
        check(*q.getValueList("k") == *list);
      }
    }
    std::string line = "k = " + formatValue(kv.second);
    if (fits(line)) {
      ofw::Properties q;
      check(fresh(q)->loadFromString(line + "\n") == 0);
      check(q.getProperty("k", "<absent>") == kv.second);
    }
    if (writableKey(kv.first)) {
      line = formatKey(kv.first) + " = v";
      if (fits(line)) {
        ofw::Properties q;
        check(fresh(q)->loadFromString(line + "\n") == 0);
        ofw::PropertyMap m = q.getMap();
        check(m.size() == 1 && m.begin()->first == kv.first && m.begin()->second == "v");
      }
    }
    if (!writableKey(kv.first) || !fits(formatKey(kv.first) + " = " + formatValue(kv.second)))
      storable = false;
  }
  if (storable) {
    std::ostringstream out;
    p.store(out, "");
    ofw::Properties q;
    check(fresh(q)->loadFromString(out.str()) == 0);
    check(q.getMap() == all);
  }
  return 0;
}
