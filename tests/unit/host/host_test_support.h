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
#include "support/test_support.h"
#include "ofw/config/properties.h"

namespace hosttest {

using testsupport::TempDir;
using testsupport::readFile;
using testsupport::writeFile;

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
