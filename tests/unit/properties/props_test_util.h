// Temporary directories and files for the configuration tests.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ofw/config/propertyset.h"

namespace proptest {

class TempDir {
 public:
  TempDir() {
    char t[] = "/tmp/props_test_XXXXXX";
    if (!::mkdtemp(t)) throw std::runtime_error("mkdtemp failed");
    path_ = t;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Writes the file through a new inode (write + rename), with the given mode.
  std::string write(const std::string& name, const std::string& content, mode_t mode = 0644) const {
    std::string p = file(name);
    std::string tmp = p + ".tmp-write";
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out << content;
      if (!out) throw std::runtime_error("cannot write " + tmp);
    }
    if (::chmod(tmp.c_str(), mode) != 0 || ::rename(tmp.c_str(), p.c_str()) != 0)
      throw std::runtime_error("cannot install " + p);
    return p;
  }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// True when one record of the sink holds `text` (exactly, or as a part when `part`).
inline bool hasRecord(const ofw::LogSink& sink, const std::string& text, bool part = false) {
  for (const auto& r : sink.records())
    if (part ? r.second.find(text) != std::string::npos : r.second == text) return true;
  return false;
}

inline std::vector<std::string> items(std::initializer_list<const char*> l) {
  return std::vector<std::string>(l.begin(), l.end());
}

}  // namespace proptest
