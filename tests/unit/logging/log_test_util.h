// Helpers shared by the logging tests: a temporary directory and a logger
// configuration that writes to a file in it.
#pragma once
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"

namespace logtest {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vgd-logthr-XXXXXX";
    const char* p = mkdtemp(tmpl);
    path_ = p ? p : "";
  }
  ~TempDir() { removeAll(path_); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  static void removeAll(const std::string& dir) {
    if (dir.empty()) return;
    if (DIR* d = opendir(dir.c_str())) {
      while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        std::string p = dir + "/" + n;
        struct stat st;
        if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
          removeAll(p);
        else
          unlink(p.c_str());
      }
      closedir(d);
    }
    rmdir(dir.c_str());
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

inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The record texts of a log file: each line without its prefix (up to the first "]: ").
inline std::vector<std::string> readRecords(const std::string& path) {
  std::vector<std::string> out;
  for (const std::string& line : splitLines(readFile(path))) {
    size_t p = line.find("]: ");
    out.push_back(p == std::string::npos ? line : line.substr(p + 3));
  }
  return out;
}

inline bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Reconfigures the logger from the given keys on top of a file destination.
inline void configure(const std::string& logFile, const std::map<std::string, std::string>& keys) {
  ofw::Properties props;
  std::string text = "logger.destination=" + logFile + "\nlogger.file.flush.frequency=1\n";
  for (auto& kv : keys) text += kv.first + "=" + kv.second + "\n";
  props.loadFromString(text);
  ofw::Logger::ReconfigureLevels(props);
}

// Back to a quiet default (syslog, INFO) so that the next test starts clean.
inline void reset() {
  ofw::Logger::stopThread();
  ofw::Properties props;
  props.loadFromString("log=INFO\n");
  ofw::Logger::ReconfigureLevels(props);
  ofw::Logger::close();
}

}  // namespace logtest
