// Helpers shared by the logging tests: a temporary directory and a logger
// configuration that writes to a file in it.
#pragma once
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

// Every record (TRACE and up) goes to a file for the lifetime of the object.
class LogCapture {
 public:
  // Into a file of its own, or into `path` when given.
  explicit LogCapture(const std::string& path = "") : file_(path.empty() ? dir_.file("test.log") : path) {
    ofw::Logger::SetThreadName("");
    logtest::configure(file_, {{"log", "TRACE"}});
  }
  ~LogCapture() {
    ofw::Logger::SetThreadName("");
    logtest::reset();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Records as "<LEVEL> <message>": the level unpadded, the thread name
  // ("<name> ") and the logger's dotted name dropped.
  std::vector<std::string> records() {
    ofw::Logger::flush();
    std::vector<std::string> out;
    for (const std::string& r : logtest::readRecords(file_)) {
      std::string level = r.substr(0, 5);
      std::string rest = r.size() > 6 ? r.substr(6) : std::string();
      if (!rest.empty() && rest[0] == '<') {
        size_t close = rest.find("> ");
        if (close != std::string::npos) rest = rest.substr(close + 2);
      }
      size_t space = rest.find(' ');
      if (space != std::string::npos && isLoggerName(rest.substr(0, space))) rest = rest.substr(space + 1);
      while (!level.empty() && level.back() == ' ') level.pop_back();
      out.push_back(level + " " + rest);
    }
    return out;
  }
  // Records written after mark() returned.
  size_t mark() { return records().size(); }
  std::vector<std::string> since(size_t mark) {
    std::vector<std::string> all = records();
    return std::vector<std::string>(all.begin() + static_cast<long>(std::min(mark, all.size())), all.end());
  }
  // How many records since mark are exactly "<LEVEL> <text>".
  int count(const std::string& levelAndText, size_t mark = 0) {
    std::vector<std::string> r = since(mark);
    return static_cast<int>(std::count(r.begin(), r.end(), levelAndText));
  }
  // How many records since mark contain text.
  int countContaining(const std::string& text, size_t mark = 0) {
    int n = 0;
    for (const std::string& r : since(mark))
      if (r.find(text) != std::string::npos) ++n;
    return n;
  }
  // How many records at level contain text.
  int countAt(const std::string& level, const std::string& text) {
    int n = 0;
    for (const std::string& r : records())
      if (r.compare(0, level.size() + 1, level + " ") == 0 && r.find(text) != std::string::npos) ++n;
    return n;
  }
  // The whole file, and how often a text occurs in it.
  std::string contents() {
    ofw::Logger::flush();
    return readFile(file_);
  }
  bool contains(const std::string& text) { return contents().find(text) != std::string::npos; }
  size_t occurrences(const std::string& text) {
    const std::string all = contents();
    size_t n = 0;
    for (size_t pos = all.find(text); pos != std::string::npos; pos = all.find(text, pos + 1)) ++n;
    return n;
  }
  const std::string& path() const { return file_; }

 private:
  static bool isLoggerName(const std::string& word) {
    if (word.find('.') == std::string::npos) return false;
    for (char c : word)
      if (!(islower(static_cast<unsigned char>(c)) || isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '_'))
        return false;
    return true;
  }
  TempDir dir_;
  std::string file_;
};

}  // namespace logtest
