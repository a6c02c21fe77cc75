// Helpers shared by the scheduler tests: the log captured in a file, and
// resource probes that report what the test says.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/resource_monitor.h"
#include "ofw/logging/logger.h"
#include "unit/logging/log_test_util.h"

namespace schedtest {

using logtest::LogCapture;

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
