#include "ofw/dbq/status.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "ofw/exceptions.h"
#include "spool_test_util.h"

namespace fs = std::filesystem;
using ofw::Status;
using testsupport::raised;

namespace {

class StatusTest : public testing::Test {
 protected:
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);  // a test may take them
  }

  static std::string readFile(const std::string& p) { return testsupport::readFile(p); }
  static void writeFile(const std::string& p, const std::string& c) { testsupport::writeFile(p, c); }
  struct stat statOf(const std::string& p) const {
    struct stat st;
    EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
    return st;
  }
  std::vector<std::string> entries() const { return spooltest::entries(dir_); }

  testsupport::TempDir t_;
  const std::string dir_ = t_.path();
  const std::string path_ = dir_ + "/spool.status";
};

TEST_F(StatusTest, NewStatusIsEmptyAndDoesNotCreateTheFile) {
  Status s(path_);
  EXPECT_EQ(s.getStatus(), 0);
  EXPECT_EQ(s.getTime(), 0);
  EXPECT_FALSE(s.isFlagSet(Status::FLAG_PAUSED));
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(StatusTest, FileFormatWrittenExactly) {
  Status s(path_);
  const time_t before = time(nullptr);
  s.setStatus(-7, "first line\nsecond line", 0xdeadbeef);
  // The time is whatever second the change happened in; everything else is fixed.
  EXPECT_GE(s.getTime(), before);
  EXPECT_LE(s.getTime(), time(nullptr));
  EXPECT_EQ(readFile(path_), "1\ndeadbeef\n" + std::to_string(s.getTime()) + "\n-7\nfirst line\nsecond line");
  EXPECT_EQ(ofw::formatStatusFile(0x1a, 5, 3, "x"), "1\n1a\n5\n3\nx");
}

TEST_F(StatusTest, ReadsValuesWrittenByAnotherObject) {
  writeFile(path_, "1\n3\n1700000000\n42\nlast error\n");
  Status s(path_);
  EXPECT_EQ(s.getFlags(), 3u);
  EXPECT_TRUE(s.isFlagSet(Status::FLAG_PAUSED));
  EXPECT_TRUE(s.isFlagSet(Status::FLAG_IN_PROGRESS));
  EXPECT_FALSE(s.isFlagSet(0x4));
  EXPECT_EQ(s.getStatus(), 42);
  EXPECT_EQ(s.getStatusString(), "last error\n");  // text kept to the end of the file
  EXPECT_EQ(s.getTime(), 1700000000);

  Status other(path_);
  other.clearFlag(Status::FLAG_PAUSED);
  EXPECT_FALSE(s.isFlagSet(Status::FLAG_PAUSED));  // re-read before every use
  EXPECT_EQ(s.getStatusString(), "last error\n");
  EXPECT_EQ(readFile(path_), "1\n2\n1700000000\n42\nlast error\n");  // time kept for a flag change
}

// A file another object cannot read (or of another version): the values last
// known stay, and a new object starts empty.
class StatusMalformed : public StatusTest, public testing::WithParamInterface<std::string> {};

TEST_P(StatusMalformed, IsIgnored) {
  Status s(path_);
  s.setStatus(5, "kept", 0x1);
  const time_t t = s.getTime();
  writeFile(path_, GetParam());
  EXPECT_EQ(s.getFlags(), 0x1u);
  EXPECT_EQ(s.getStatus(), 5);
  EXPECT_EQ(s.getStatusString(), "kept");
  EXPECT_EQ(s.getTime(), t);
  Status fresh(path_);
  EXPECT_EQ(fresh.getFlags(), 0u);
  EXPECT_EQ(fresh.getStatus(), 0);
  EXPECT_EQ(fresh.getStatusString(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, StatusMalformed,
                         testing::Values("", "1", "1\n2\n3\n4", "1\n2\n3\n",  // too few lines
                                         "2\nff\n123\n9\nother",                 // version 2
                                         "01\n2\n3\n4\nx", " 1\n2\n3\n4\nx",  // version not "1"
                                         "1\nzz\n3\n4\nx", "1\n\n3\n4\nx",    // bad flags
                                         "1\n100000000\n3\n4\nx",             // flags > 32 bits
                                         "1\n2\nnow\n4\nx",                   // bad time
                                         "1\n2\n3\n2147483648\nx",            // code out of range
                                         "1\n2\n3\n4x\nx",
                                         "1\n2\n3\n4\n" + std::string(Status::MAX_FILE_SIZE, 'x')));

TEST_F(StatusTest, NoWriteWhenNothingChanges) {
  Status s(path_);
  s.setStatus(1, "busy", Status::FLAG_IN_PROGRESS);
  const struct stat st1 = statOf(path_);
  s.setFlag(Status::FLAG_IN_PROGRESS);
  s.clearFlag(Status::FLAG_PAUSED);
  s.setStatus(1, "busy");
  s.setStatusString("busy");
  s.setStatus(1, "busy", Status::FLAG_IN_PROGRESS);
  const struct stat st2 = statOf(path_);
  EXPECT_EQ(st1.st_ino, st2.st_ino);
  EXPECT_EQ(st1.st_mtim.tv_sec, st2.st_mtim.tv_sec);
  EXPECT_EQ(st1.st_mtim.tv_nsec, st2.st_mtim.tv_nsec);
  // A change that does not alter a value does not write either.
  Status other(path_);
  other.setFlag(Status::FLAG_IN_PROGRESS);
  EXPECT_EQ(statOf(path_).st_ino, st1.st_ino);
}

TEST_F(StatusTest, ChangeReplacesFileAtomically) {
  Status s(path_);
  s.setFlag(Status::FLAG_PAUSED);
  EXPECT_EQ(statOf(path_).st_mode & 07777, 0644u);  // a new file's mode
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  const struct stat st1 = statOf(path_);
  s.setStatusString("paused by the collector");
  const struct stat st2 = statOf(path_);
  EXPECT_NE(st1.st_ino, st2.st_ino);  // a new file was renamed over the old one
  EXPECT_EQ(st2.st_mode & 07777, 0640u);  // its permissions kept
  EXPECT_THAT(entries(), testing::ElementsAre("spool.status"));  // no temporary left
  EXPECT_EQ(s.getStatusString(), "paused by the collector");
  EXPECT_TRUE(s.isFlagSet(Status::FLAG_PAUSED));
}

TEST_F(StatusTest, ReadersNeverSeeATornFile) {
  const std::string a(200000, 'a');
  const std::string b(200000, 'b');
  Status writer(path_);
  writer.setStatusString(a);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    Status r(path_);
    while (!done) {
      const std::string text = r.getStatusString();
      if (text != a && text != b) ++bad;
    }
  });
  for (int i = 0; i < 40; ++i) writer.setStatusString(i % 2 ? a : b);
  done = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(StatusTest, ConcurrentChangesThroughSeveralObjectsAreNotLost) {
  std::vector<std::thread> threads;
  for (unsigned bit = 0; bit < 4; ++bit) {
    threads.emplace_back([this, bit] {
      Status s(path_);
      const unsigned mine = 0x10u << bit;
      for (int i = 0; i < 15; ++i) {
        s.setFlag(mine);
        s.clearFlag(mine);
      }
      s.setFlag(mine);
    });
  }
  for (std::thread& t : threads) t.join();
  Status check(path_);
  EXPECT_EQ(check.getFlags(), 0xf0u);
}

TEST_F(StatusTest, StatusTimeChangesOnlyWithCodeOrText) {
  writeFile(path_, "1\n0\n100\n0\nold");
  Status s(path_);
  s.setStatus(0, "old", 0x3);
  EXPECT_EQ(s.getTime(), 100);
  EXPECT_EQ(s.getFlags(), 0x3u);
  s.setStatus(2, "old");
  EXPECT_GT(s.getTime(), 100);
  writeFile(path_, "1\n0\n100\n2\nold");
  s.setStatusString("new");
  EXPECT_GT(s.getTime(), 100);
  EXPECT_EQ(s.getStatus(), 2);
}

TEST_F(StatusTest, ConstructorCreatesParentDirectories) {
  const std::string nested = dir_ + "/a/b/c.status";
  Status s(nested);
  EXPECT_TRUE(fs::is_directory(dir_ + "/a/b"));
  EXPECT_EQ(statOf(dir_ + "/a/b").st_mode & 0777, 0755u);
  s.setStatusString("x");
  EXPECT_EQ(readFile(nested), "1\n0\n" + std::to_string(s.getTime()) + "\n0\nx");
}

TEST_F(StatusTest, UnwritableFileIsRefusedAtConstruction) {
  writeFile(path_, "1\n0\n0\n0\n");
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
    EXPECT_EQ(raised<ofw::IOException>([&] { Status s(path_); }).what, "No permission to write to status file");
    return;
  }
  // Root may write anything: check as an unprivileged user in a child process.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    try {
      Status s(path_);
      _exit(1);
    } catch (const ofw::IOException& e) {
      _exit(std::string(e.what()) == "No permission to write to status file" ? 0 : 2);
    } catch (...) {
      _exit(4);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(StatusTest, WriteFailureIsReportedAndLeavesNoTemporary) {
  const std::string sub = dir_ + "/sub";
  Status s(sub + "/x.status");
  fs::remove_all(sub);
  EXPECT_EQ(raised<ofw::IOException>([&] { s.setFlag(Status::FLAG_PAUSED); }).what, "Unable to write status file");
  EXPECT_FALSE(s.isFlagSet(Status::FLAG_PAUSED));  // the failed change was not adopted
  EXPECT_TRUE(entries().empty());
}

TEST_F(StatusTest, UnreadableFileIsReported) {
  fs::create_directory(path_);
  Status s(path_);
  EXPECT_EQ(raised<ofw::IOException>([&] { s.getStatus(); }).what, "Unable to open status file");
  EXPECT_EQ(raised<ofw::IOException>([&] { s.isFlagSet(1); }).what, "Unable to open status file");
}

}  // namespace
