// Loading the main file: the security check on the opened file, the load
// error texts, reload, and the running configuration kept by a failed reload.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ofw/config/properties.h"
#include "props_test_util.h"

namespace {

using ofw::Properties;
using proptest::TempDir;

using proptest::Unsafe;

// A main file that cannot be used, and the load status it gives; its content
// would give a = 2.
struct SpoilCase {
  Unsafe how;
  int status;
  std::string content = "a = 2\n";
};

class BadMainFile : public ::testing::TestWithParam<SpoilCase> {
 protected:
  void spoil() { proptest::makeUnsafe(dir, "conf", GetParam().how, GetParam().content); }
  TempDir dir;
};

TEST_P(BadMainFile, IsNotReadAtAll) {
  spoil();
  Properties p(dir.file("conf"));
  EXPECT_EQ(p.lastLoadStatus(), GetParam().status);
  EXPECT_TRUE(p.getMap().empty());
  EXPECT_EQ(p.getInt("a", 0), 0);
  EXPECT_EQ(p.fileName(), dir.file("conf"));
}

TEST_P(BadMainFile, FailedReloadKeepsTheRunningConfiguration) {
  std::string conf = dir.write("conf", "a = 1\nl = x, y\n");
  Properties p(conf);
  ASSERT_EQ(p.lastLoadStatus(), 0);
  ASSERT_EQ(p.getValueList("l")->size(), 2u);
  spoil();
  EXPECT_EQ(p.reload(), GetParam().status);
  EXPECT_EQ(p.lastLoadStatus(), GetParam().status);
  EXPECT_EQ(p.getInt("a", 0), 1);
  EXPECT_EQ(p.getValueList("l")->size(), 2u);
  // Repaired, the file is picked up by the next reload, which also drops what
  // only setProperty (memory) held.
  p.setProperty("mem", "1");
  proptest::makeUnsafe(dir, "conf", Unsafe::None, "a = 3\n");
  EXPECT_EQ(p.reload(), 0);
  EXPECT_EQ(p.getInt("a", 0), 3);
  EXPECT_FALSE(p.keyExists("l"));
  EXPECT_FALSE(p.keyExists("mem"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadMainFile,
    ::testing::Values(SpoilCase{Unsafe::WorldWritable, -125}, SpoilCase{Unsafe::Symlink, -125},
                      SpoilCase{Unsafe::HardLinks, -125}, SpoilCase{Unsafe::NotRoot, -125},
                      SpoilCase{Unsafe::Directory, -125}, SpoilCase{Unsafe::Missing, -2},
                      SpoilCase{Unsafe::None, -5, "a = 2\nb = " + std::string(1100, 'x') + "\n"},
                      SpoilCase{Unsafe::None, -5, std::string("a = 2\nb = \0\n", 12)}));

}  // namespace
