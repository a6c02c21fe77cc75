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
#include "support/test_support.h"
#include "ofw/config/properties.h"

namespace logtest {

using testsupport::TempDir;

using testsupport::readFile;

using testsupport::splitLines;

// The record texts of a log file: each line without its prefix (up to the first "]: ").
inline std::vector<std::string> readRecords(const std::string& path) {
  std::vector<std::string> out;
  for (const std::string& line : splitLines(readFile(path))) {
    size_t p = line.find("]: ");
    out.push_back(p == std::string::npos ? line : line.substr(p + 3));
  }
  return out;
}

using testsupport::fileExists;

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
