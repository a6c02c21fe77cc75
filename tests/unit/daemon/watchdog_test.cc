// The watchdog start: its command line, and a child that neither hangs nor
// logs when another thread holds the loggers' destination lock at fork time.
#include "daemon/watchdog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ofw/logging/logger.h"
#include "support/test_support.h"
#include "support/wait_until.h"
#include "ofw/config/properties.h"

namespace {

using testsupport::readFile;

// The system call a thread of this process is blocked in ("" when unknown).
std::string blockedSyscall(long tid) {
  std::string text = readFile("/proc/self/task/" + std::to_string(tid) + "/syscall");
  return text.substr(0, text.find(' '));
}

// Keeps the loggers' destination lock held by another thread: that thread
// writes a record to a log destination that is a FIFO nobody reads, and the
// logger opens its destination inside the lock, where open(2) of the FIFO
// waits for a reader. Released (the record read and the destination reset to
// syslog) when destroyed.
class HeldLoggerLock {
 public:
  explicit HeldLoggerLock(const std::string& dir) : fifo_(dir + "/log.fifo") {
    if (mkfifo(fifo_.c_str(), 0600) != 0) return;
    ofw::Props().setProperty("logger.destination", fifo_);
    ofw::Props().setProperty("logger.queue.size", "0");
    ofw::Props().setProperty("log", "ERROR");
    ofw::Logger::ReconfigureLevels(ofw::Props());
    writer_ = std::thread([this] {
      tid_.store(static_cast<long>(syscall(SYS_gettid)));
      OFW_ERROR(ofw::getLogger("unit.watchdog.holder"), "record that holds the destination lock");
    });
    // Until the writer waits in open(2) of the FIFO, inside the lock.
    const std::string openat = std::to_string(SYS_openat);
    for (int i = 0; i < 3000 && !held_; ++i) {
      long tid = tid_.load();
      held_ = tid != 0 && blockedSyscall(tid) == openat;
      if (!held_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~HeldLoggerLock() {
    if (!writer_.joinable()) return;
    int reader = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
    writer_.join();
    ofw::Props().setProperty("logger.destination", "syslog");
    ofw::Props().setProperty("log", "INFO");
    ofw::Logger::ReconfigureLevels(ofw::Props());
    ofw::Logger::close();
    if (reader >= 0) close(reader);
  }
  HeldLoggerLock(const HeldLoggerLock&) = delete;
  HeldLoggerLock& operator=(const HeldLoggerLock&) = delete;

  bool held() const { return held_; }

 private:
  std::string fifo_;
  std::thread writer_;
  std::atomic<long> tid_{0};
  bool held_ = false;
};

class WatchdogStart : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "log files are written only by root";
  }

  // Starts the watchdog with fd 2 going to a file of the test directory.
  pid_t start(const std::string& program, std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int err = open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int saved = dup(2);
    dup2(err, 2);
    pid_t pid = vgd::startWatchdog(ofw::getLogger("ovg.vgd"), program.c_str(), static_cast<int>(args.size()),
                                   argv.data());
    dup2(saved, 2);
    close(saved);
    close(err);
    return pid;
  }

  // The child's wait status. A child that has not ended after a minute is
  // hung (it has nothing to wait for): it is killed and -1 returned.
  static int waitChild(pid_t pid) {
    int status = 0;
    if (testsupport::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; })) return status;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }

  testsupport::TempDir tmp_;
  const std::string dir_ = tmp_.path();
};

TEST_F(WatchdogStart, ProgramRunsWithPidAndArgumentsWhileLoggerLockIsHeld) {
  std::string marker = dir_ + "/marker";
  const std::string script = tmp_.write("watch.sh", "#!/bin/sh\necho \"$*\" > " + marker + "\n", 0755);

  HeldLoggerLock held(dir_);
  ASSERT_TRUE(held.held()) << "the logger never waited inside its destination lock";
  pid_t pid = start(script, {"vgd", "-d", "--nocore"});
  ASSERT_GT(pid, 0);
  int status = waitChild(pid);
  ASSERT_NE(status, -1) << "the watchdog child hung";
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(readFile(marker), std::to_string(getpid()) + " -d --nocore\n");
}

TEST_F(WatchdogStart, ExecFailureIsWrittenToStderrAndExitsOneWhileLoggerLockIsHeld) {
  HeldLoggerLock held(dir_);
  ASSERT_TRUE(held.held()) << "the logger never waited inside its destination lock";
  pid_t pid = start(dir_ + "/no-such-watchdog", {"vgd"});
  ASSERT_GT(pid, 0);
  // A child that logged its failure would wait for the lock forever.
  int status = waitChild(pid);
  ASSERT_NE(status, -1) << "the watchdog child hung after a failed exec";
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(readFile(dir_ + "/stderr"), "Unable to exec ovgwatch: error " + std::to_string(ENOENT) + "\n");
}

}  // namespace
