// Provisional implementation: simple parsing, to be replaced by the full
// configuration layer.
#include "ofw/properties.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "ofw/paths.h"

namespace ofw {

struct Properties::Impl {
  PropertyMap map;
  int status = 0;
};

namespace {
int parseInto(std::istream& in, PropertyMap& map) {
  std::string line;
  while (std::getline(in, line)) {
    size_t i = line.find_first_not_of(" \t\r\n");
    if (i == std::string::npos || line[i] == '#' || line[i] == '!') continue;
    size_t j = line.find_first_of(" \t:=", i);
    std::string key = line.substr(i, j == std::string::npos ? std::string::npos : j - i);
    std::string value;
    if (j != std::string::npos) {
      size_t k = line.find_first_not_of(" \t:=", j);
      if (k != std::string::npos) value = line.substr(k);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.pop_back();
    }
    map[key] = value;
  }
  return 0;
}
}  // namespace

Properties::Properties() : impl_(new Impl) {}
Properties::Properties(const std::string& path) : impl_(new Impl) { loadFromFile(path); }
Properties::~Properties() = default;

int Properties::loadFromFile(const std::string& path) {
  fileName_ = path;
  std::ifstream in(path);
  boost::shared_ptr<Impl> n(new Impl);
  if (!in) {
    std::lock_guard<std::mutex> g(mutex_);
    impl_->status = -2;
    return -2;
  }
  parseInto(in, n->map);
  std::lock_guard<std::mutex> g(mutex_);
  impl_ = n;
  return 0;
}

int Properties::loadFromString(const std::string& text) {
  std::istringstream in(text);
  boost::shared_ptr<Impl> n(new Impl);
  parseInto(in, n->map);
  std::lock_guard<std::mutex> g(mutex_);
  impl_ = n;
  return 0;
}

int Properties::reload() { return fileName_.empty() ? -2 : loadFromFile(fileName_); }
int Properties::lastLoadStatus() const {
  std::lock_guard<std::mutex> g(mutex_);
  return impl_->status;
}

std::string Properties::getProperty(const std::string& key, const std::string& def) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = impl_->map.find(key);
  return it == impl_->map.end() ? def : it->second;
}

int Properties::getInt(const std::string& key, int def) const {
  std::string v = getProperty(key);
  if (v.empty()) return def;
  return static_cast<int>(std::strtol(v.c_str(), nullptr, 10));
}
unsigned int Properties::getUInt(const std::string& key, unsigned int def) const {
  std::string v = getProperty(key);
  if (v.empty()) return def;
  return static_cast<unsigned int>(std::strtoul(v.c_str(), nullptr, 10));
}
bool Properties::getBool(const std::string& key, bool def) const {
  std::string v = getProperty(key);
  for (auto& c : v) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (v == "true" || v == "yes" || v == "1") return true;
  if (v == "false" || v == "no" || v == "0") return false;
  return def;
}
long Properties::getTime(const std::string& key, char unit, long def) const {
  std::string v = getProperty(key);
  long mult = unit == 'm' ? 60 : unit == 'h' ? 3600 : 1;
  if (v.empty()) return def * mult;
  return std::strtol(v.c_str(), nullptr, 10) * mult;
}
ValueList Properties::getValueList(const std::string& key, const std::string& def) const {
  std::string v = getProperty(key, def);
  auto out = boost::shared_ptr<std::vector<std::string>>(new std::vector<std::string>);
  std::string cur;
  for (char c : v) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!cur.empty()) out->push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out->push_back(cur);
  return out;
}
bool Properties::keyExists(const std::string& key) const {
  std::lock_guard<std::mutex> g(mutex_);
  return impl_->map.count(key) != 0;
}
PropertyMap Properties::findPrefix(const std::string& prefix) const {
  PropertyMap out;
  std::lock_guard<std::mutex> g(mutex_);
  for (auto& kv : impl_->map)
    if (strncasecmp(kv.first.c_str(), prefix.c_str(), prefix.size()) == 0) out.insert(kv);
  return out;
}
PropertyMap Properties::getMap() const {
  std::lock_guard<std::mutex> g(mutex_);
  return impl_->map;
}
std::string Properties::makeKey(const std::string& prefix, const std::string& name,
                                const std::string& suffix) {
  std::string k = (prefix.empty() ? std::string("vgd") : prefix) + "." + name;
  if (!suffix.empty()) k += "." + suffix;
  return k;
}
void Properties::setProperty(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> g(mutex_);
  impl_->map[key] = value;
}
int Properties::saveProperty(const std::string&) { return -22; }
int Properties::setValueList(const std::string&, const std::vector<std::string>&) { return -22; }
int Properties::addValueList(const std::string&, const std::string&) { return -22; }
int Properties::delValueList(const std::string&, const std::string&) { return -22; }
void Properties::propertiesCheck() {}

namespace {
std::string& propsPath() {
  static std::string p = paths::CONFIG_FILE;
  return p;
}
}  // namespace

void SetPropsPath(const std::string& path) { propsPath() = path; }

Properties& Props(bool, bool reload) {
  static Properties* instance = new Properties(propsPath());
  if (reload) instance->reload();
  return *instance;
}

}  // namespace ofw
