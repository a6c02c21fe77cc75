#include "server/passwd_file.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "unit/host/host_test_support.h"

namespace {

using hosttest::TempDir;
using hosttest::writeFile;
using ovg::PasswdEntry;

struct LineCase {
  std::string line;
  bool ok;
};

class PasswdLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(PasswdLine, Parses) {
  PasswdEntry e;
  e.name = "untouched";
  EXPECT_EQ(GetParam().ok, ovg::parsePasswdLine(GetParam().line, e)) << GetParam().line;
  if (!GetParam().ok) {
    EXPECT_EQ("untouched", e.name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PasswdLine,
    ::testing::Values(LineCase{"root:x:0:0:root:/root:/bin/bash", true},
                      LineCase{"a::1:2:::", true},
                      LineCase{"a:x:4294967294:0:g:/h:/s", true},
                      LineCase{"a:x:4294967295:0:g:/h:/s", false},  // (uid_t)-1
                      LineCase{"a:x:4294967296:0:g:/h:/s", false},
                      LineCase{"a:x:99999999999999999999:0:g:/h:/s", false},
                      LineCase{"a:x:-1:0:g:/h:/s", false},
                      LineCase{"a:x:1:0x:g:/h:/s", false},
                      LineCase{"a:x::0:g:/h:/s", false},
                      LineCase{"a:x:1:0:g:/h", false},               // six fields
                      LineCase{"a:x:1:0:g:/h:/s:extra", false},      // eight fields
                      LineCase{":x:1:0:g:/h:/s", false},
                      LineCase{"+a:x:1:0:g:/h:/s", false},
                      LineCase{"-a:x:1:0:g:/h:/s", false},
                      LineCase{"+", false},
                      LineCase{"", false},
                      LineCase{std::string("a:x:1:0:g\0:/h:/s", 16), false}));

TEST(PasswdLineTest, Fields) {
  PasswdEntry e;
  ASSERT_TRUE(ovg::parsePasswdLine("ann:pw:1001:100:Ann A,,,:/home/ann:/bin/zsh\r", e));
  EXPECT_EQ("ann", e.name);
  EXPECT_EQ("pw", e.passwd);
  EXPECT_EQ(1001u, e.uid);
  EXPECT_EQ(100u, e.gid);
  EXPECT_EQ("Ann A,,,", e.gecos);
  EXPECT_EQ("/home/ann", e.dir);
  EXPECT_EQ("/bin/zsh", e.shell);
}

TEST(PasswdFileTest, FindsFirstMatchAndSkipsJunk) {
  TempDir dir;
  std::string path = dir.file("passwd");
  std::string longLine = "long:x:500:500:" + std::string(70000, 'g') + ":/h:/s\n";
  writeFile(path,
            "# comment\n"
            "\n"
            "+::::::\n"
            "garbage line\n" +
                longLine +
                std::string("evil\0", 5) + "\n"
                "root:x:0:0:root:/root:/bin/bash\n"
                "ann:x:1001:100:Ann:/home/ann:/bin/sh\n"
                "ann:x:1002:100:Second:/home/ann2:/bin/sh\n"
                "toor:x:0:0:other root:/root:/bin/sh\n"
                "last:x:77:77:no newline:/home/last:/bin/sh");
  PasswdEntry e;
  ASSERT_EQ(0, ovg::CallFrmFileGetpwnam_r(path, "ann", e));
  EXPECT_EQ(1001u, e.uid);
  ASSERT_EQ(0, ovg::CallFrmFileGetpwuid_r(path, 0, e));
  EXPECT_EQ("root", e.name);
  ASSERT_EQ(0, ovg::CallFrmFileGetpwnam_r(path, "last", e));
  EXPECT_EQ(77u, e.uid);
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "long", e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwuid_r(path, 500, e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "evil", e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "evilroot", e)) << "a NUL never joins lines";
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "nobody", e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "", e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "+", e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(dir.file("missing"), "ann", e));
  EXPECT_EQ(EISDIR, ovg::CallFrmFileGetpwnam_r(dir.path(), "ann", e));
}

TEST(PasswdFileTest, AtLocalhost) {
  EXPECT_TRUE(ovg::EndsWithAtLocalhost("bob@localhost"));
  EXPECT_FALSE(ovg::EndsWithAtLocalhost("bob@localhost.example"));
  EXPECT_FALSE(ovg::EndsWithAtLocalhost("localhost"));
  EXPECT_TRUE(ovg::EndsWithAtLocalhost("@localhost"));
  EXPECT_EQ("bob", ovg::RemoveAtLocalhost("bob@localhost"));
  EXPECT_EQ("bob@localhost", ovg::RemoveAtLocalhost("bob@localhost@localhost"));
  EXPECT_EQ("", ovg::RemoveAtLocalhost("@localhost"));
  EXPECT_EQ("bob@LOCALHOST", ovg::RemoveAtLocalhost("bob@LOCALHOST"));
}

}  // namespace
