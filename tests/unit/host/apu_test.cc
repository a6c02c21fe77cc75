#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "host/audit_level.h"
#include "unit/host/host_test_support.h"

namespace {

using namespace hosttest;

struct ApuCase {
  std::string content;
  std::string user;
  bool permitted;
};

class ApuList : public ::testing::TestWithParam<ApuCase> {
 protected:
  TempDir dir_;
  ofw::LoggerPtr logger_ = ofw::getLogger("test.apu");
};

TEST_P(ApuList, Matches) {
  std::string path = dir_.file("apu.lst");
  writeFile(path, GetParam().content, 0644);
  EXPECT_EQ(GetParam().permitted, IsAlwaysPermittedLogin(logger_, GetParam().user.c_str(), path.c_str()))
      << GetParam().content;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ApuList,
    ::testing::Values(ApuCase{"+::::::\n", "anyone", true},
                      ApuCase{"+::::::", "anyone", true},  // no final line end
                      ApuCase{"alice::::::\n", "alice", true},
                      ApuCase{"alice::::::\n", "bob", false},
                      ApuCase{"alice::::::\n", "alic", false},
                      ApuCase{"alice::::::\n", "alice2", false},
                      ApuCase{"alice:::::\n", "alice", false},     // five colons
                      ApuCase{"+:::::\n", "anyone", false},         // five colons
                      ApuCase{"alice:::::::\n", "alice", false},   // seven colons
                      ApuCase{"::::::\n", "", false},              // empty first field
                      ApuCase{"+::::::x\n", "anyone", false},       // not exactly "+::::::"
                      ApuCase{"# comment\nbob:x:1:2:g:/h:/bin/sh\nalice::::::\n", "alice", true},
                      ApuCase{"alice::::::\r\n", "alice", true},    // first field only compared
                      ApuCase{"", "alice", false},
                      ApuCase{std::string(2000, 'a') + "\nalice::::::\n", "alice", true},
                      ApuCase{"alice::::::" + std::string(1100, 'x') + "\n", "alice", false}));

class ApuSecurity : public ::testing::Test {
 protected:
  void SetUp() override { writeFile(good_, "+::::::\n", 0644); }
  // Refused by the look-up, and the secure open names why (with errno when the open itself failed).
  void expectRefused(const std::string& path, int status, int error = 0) {
    EXPECT_FALSE(IsAlwaysPermittedLogin(logger_, "alice", path.c_str())) << path;
    int got = -1;
    EXPECT_EQ(-1, SecureOpenForRead(path.c_str(), &got)) << path;
    const int openError = errno;
    EXPECT_EQ(status, got) << path;
    if (error != 0) {
      EXPECT_EQ(error, openError) << path;
    }
  }
  TempDir dir_;
  std::string good_ = dir_.file("apu.lst");
  ofw::LoggerPtr logger_ = ofw::getLogger("test.apu");
};

TEST_F(ApuSecurity, UnsafeFilesAreRefused) {
  ASSERT_EQ(0, symlink(good_.c_str(), dir_.file("link.lst").c_str()));
  expectRefused(dir_.file("link.lst"), OVG_SECURE_OPEN_FAILED, ELOOP);
  expectRefused(dir_.path(), OVG_SECURE_NOT_REGULAR);
  expectRefused(dir_.file("missing.lst"), OVG_SECURE_OPEN_FAILED, ENOENT);
  for (mode_t mode : {0646, 0664}) {
    ASSERT_EQ(0, chmod(good_.c_str(), mode));
    expectRefused(good_, OVG_SECURE_WRITABLE);
  }
  ASSERT_EQ(0, chmod(good_.c_str(), 0644));
  ASSERT_EQ(0, link(good_.c_str(), dir_.file("second.lst").c_str()));
  expectRefused(good_, OVG_SECURE_HARDLINKS);
  ASSERT_EQ(0, unlink(dir_.file("second.lst").c_str()));
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  ASSERT_EQ(0, chown(good_.c_str(), 65534, 65534));
  expectRefused(good_, OVG_SECURE_NOT_ROOT);
}

TEST_F(ApuSecurity, RefusalsAreLoggedAndThePathMayComeFromTheConfiguration) {
  LogCapture log(dir_.file("log"));
  ASSERT_EQ(0, chmod(good_.c_str(), 0646));
  EXPECT_FALSE(IsAlwaysPermittedLogin(logger_, "alice", good_.c_str()));
  EXPECT_TRUE(log.contains("Cannot open APU list file (errno=13) (security status=3)"));
  EXPECT_FALSE(IsAlwaysPermittedLogin(logger_, "alice", dir_.file("missing.lst").c_str()));
  EXPECT_TRUE(log.contains("Cannot open APU list file (errno=2) (security status=1)"));
  int status = -1;
  EXPECT_EQ(-1, SecureOpenForRead(nullptr, &status));

  ASSERT_EQ(0, chmod(good_.c_str(), 0644));
  ofw::Properties props;
  props.setProperty("qx.apu.file.path", good_);
  EXPECT_TRUE(IsAlwaysPermittedLogin(logger_, "alice", nullptr, &props));
  EXPECT_TRUE(log.contains("The path of apu.lst is " + good_));
  EXPECT_TRUE(log.contains("All local users are APU."));
  int fd = SecureOpenForRead(good_.c_str(), &status);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(OVG_SECURE_OK, status);
  char buffer[16] = {0};
  EXPECT_EQ(8, read(fd, buffer, sizeof(buffer)));
  EXPECT_STREQ("+::::::\n", buffer);
  close(fd);
}

}  // namespace
