// Temporary directories, files and a log capture for the host and user
// look-up tests.
#pragma once
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"

namespace hosttest {

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/vgd-host-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
    chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + tmp);
  }
  chmod(tmp.c_str(), mode);
  if (rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot rename " + tmp);
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Sends every record of the process, TRACE and up, to a file for the
// lifetime of the object.
class LogCapture {
 public:
  explicit LogCapture(const std::string& path) : path_(path) {
    ofw::Properties props;
    props.setProperty("logger.destination", path_);
    props.setProperty("log", "TRACE");
    ofw::Logger::ReconfigureLevels(props);
  }
  ~LogCapture() {
    ofw::Properties props;
    props.setProperty("log", "WARN");
    ofw::Logger::ReconfigureLevels(props);
    ofw::Logger::close();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string contents() const {
    ofw::Logger::flush();
    return readFile(path_);
  }
  bool contains(const std::string& text) const { return contents().find(text) != std::string::npos; }
  size_t count(const std::string& text) const {
    std::string all = contents();
    size_t n = 0;
    for (size_t pos = all.find(text); pos != std::string::npos; pos = all.find(text, pos + 1)) ++n;
    return n;
  }

 private:
  std::string path_;
};

}  // namespace hosttest
