// Helpers shared by the scheduler tests: the log captured in a file, and
// resource probes that report what the test says.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "daemon/resource_monitor.h"
#include "ofw/logging/logger.h"
#include "unit/logging/log_test_util.h"

namespace schedtest {

// Every record (TRACE and up) goes to a file for the lifetime of the object.
class LogCapture {
 public:
  LogCapture() : file_(dir_.file("scheduler.log")) {
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
  const std::string& path() const { return file_; }

 private:
  static bool isLoggerName(const std::string& word) {
    if (word.find('.') == std::string::npos) return false;
    for (char c : word)
      if (!(islower(static_cast<unsigned char>(c)) || isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '_'))
        return false;
    return true;
  }
  logtest::TempDir dir_;
  std::string file_;
};

// The pid of a child that has exited and been reaped: no process has it
// (until the kernel hands it out again, which takes a full turn of pids).
inline int reapedChildPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  if (pid < 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return static_cast<int>(pid);
}

// Probes that report fixed, test-controlled values.
struct FakeProbes {
  long long memory = 1000;
  bool rlimitKnown = true;
  unsigned long long rlimit = 65536;
  int descriptors = 10;
  long ticksPerSecond = 100;
  std::string statPath = "/nonexistent/stat";
  Vigilog::DiskSpace space{500ull << 20, 1000ull << 20};
  std::vector<std::string> diskPaths;

  vgd::ResourceProbes probes() {
    vgd::ResourceProbes p;
    p.memoryInUse = [this] { return memory; };
    p.openFilesLimit = [this](unsigned long long* soft) {
      *soft = rlimit;
      return rlimitKnown;
    };
    p.openDescriptors = [this] { return descriptors; };
    p.clockTicksPerSecond = [this] { return ticksPerSecond; };
    p.statPath = statPath;
    p.diskSpace = [this](const std::string& path) {
      diskPaths.push_back(path);
      return space;
    };
    return p;
  }
};

}  // namespace schedtest
