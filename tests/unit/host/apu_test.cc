#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "host/audit_level.h"
#include "unit/host/host_test_support.h"

namespace {

using hosttest::LogCapture;
using hosttest::TempDir;
using hosttest::writeFile;

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
  void SetUp() override {
    good_ = dir_.file("apu.lst");
    writeFile(good_, "+::::::\n", 0644);
  }
  bool permitted(const std::string& path) {
    return IsAlwaysPermittedLogin(logger_, "alice", path.c_str());
  }
  TempDir dir_;
  std::string good_;
  ofw::LoggerPtr logger_ = ofw::getLogger("test.apu");
};

TEST_F(ApuSecurity, GoodFileIsRead) { EXPECT_TRUE(permitted(good_)); }

TEST_F(ApuSecurity, WorldWritableRefused) {
  LogCapture log(dir_.file("log"));
  ASSERT_EQ(0, chmod(good_.c_str(), 0646));
  EXPECT_FALSE(permitted(good_));
  EXPECT_TRUE(log.contains("Cannot open APU list file (errno=13) (security status=3)"));
}

TEST_F(ApuSecurity, GroupWritableRefused) {
  ASSERT_EQ(0, chmod(good_.c_str(), 0664));
  EXPECT_FALSE(permitted(good_));
}

TEST_F(ApuSecurity, SymlinkRefused) {
  std::string link = dir_.file("link.lst");
  ASSERT_EQ(0, symlink(good_.c_str(), link.c_str()));
  EXPECT_FALSE(permitted(link));
  int status = -1;
  EXPECT_EQ(-1, SecureOpenForRead(link.c_str(), &status));
  EXPECT_EQ(ELOOP, errno);
}

TEST_F(ApuSecurity, SecondHardLinkRefused) {
  std::string second = dir_.file("second.lst");
  ASSERT_EQ(0, link(good_.c_str(), second.c_str()));
  EXPECT_FALSE(permitted(good_));
  int status = -1;
  EXPECT_EQ(-1, SecureOpenForRead(good_.c_str(), &status));
  EXPECT_EQ(OVG_SECURE_HARDLINKS, status);
}

TEST_F(ApuSecurity, NotOwnedByRootRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  ASSERT_EQ(0, chown(good_.c_str(), 65534, 65534));
  EXPECT_FALSE(permitted(good_));
  int status = -1;
  EXPECT_EQ(-1, SecureOpenForRead(good_.c_str(), &status));
  EXPECT_EQ(OVG_SECURE_NOT_ROOT, status);
}

TEST_F(ApuSecurity, DirectoryAndMissingFileRefused) {
  LogCapture log(dir_.file("log"));
  EXPECT_FALSE(permitted(dir_.path()));
  int status = -1;
  EXPECT_EQ(-1, SecureOpenForRead(dir_.path().c_str(), &status));
  EXPECT_EQ(OVG_SECURE_NOT_REGULAR, status);
  EXPECT_FALSE(permitted(dir_.file("missing.lst")));
  EXPECT_TRUE(log.contains("Cannot open APU list file (errno=2) (security status=1)"));
  EXPECT_EQ(-1, SecureOpenForRead(nullptr, &status));
}

TEST_F(ApuSecurity, PathFromConfiguration) {
  LogCapture log(dir_.file("log"));
  ofw::Properties props;
  props.setProperty("qx.apu.file.path", good_);
  EXPECT_TRUE(IsAlwaysPermittedLogin(logger_, "alice", nullptr, &props));
  EXPECT_TRUE(log.contains("The path of apu.lst is " + good_));
  EXPECT_TRUE(log.contains("All local users are APU."));
}

TEST_F(ApuSecurity, SecureOpenGivesAReadableDescriptor) {
  int status = -1;
  int fd = SecureOpenForRead(good_.c_str(), &status);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(OVG_SECURE_OK, status);
  char buffer[16] = {0};
  EXPECT_EQ(8, read(fd, buffer, sizeof(buffer)));
  EXPECT_STREQ("+::::::\n", buffer);
  close(fd);
}

}  // namespace
