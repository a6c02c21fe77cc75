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

enum class Spoil { WorldWritable, Symlink, HardLinks, NotRoot, Missing, Directory, TooLongLine, NulByte };

struct SpoilCase {
  Spoil how;
  int status;
};

// Makes dir/conf unusable in the given way; the new content would give a = 2.
void spoil(TempDir& dir, Spoil how) {
  std::string conf = dir.file("conf");
  switch (how) {
    case Spoil::WorldWritable:
      dir.write("conf", "a = 2\n", 0666);
      break;
    case Spoil::Symlink: {
      std::string other = dir.write("other", "a = 2\n");
      ASSERT_EQ(::unlink(conf.c_str()), 0);
      ASSERT_EQ(::symlink(other.c_str(), conf.c_str()), 0);
      break;
    }
    case Spoil::HardLinks:
      dir.write("conf", "a = 2\n");
      ASSERT_EQ(::link(conf.c_str(), dir.file("second").c_str()), 0);
      break;
    case Spoil::NotRoot:
      dir.write("conf", "a = 2\n");
      ASSERT_EQ(::chown(conf.c_str(), 65534, 65534), 0);
      break;
    case Spoil::Missing:
      ASSERT_EQ(::unlink(conf.c_str()), 0);
      break;
    case Spoil::Directory:
      ASSERT_EQ(::unlink(conf.c_str()), 0);
      ASSERT_EQ(::mkdir(conf.c_str(), 0755), 0);
      break;
    case Spoil::TooLongLine:
      dir.write("conf", "a = 2\nb = " + std::string(1100, 'x') + "\n");
      break;
    case Spoil::NulByte:
      dir.write("conf", std::string("a = 2\nb = \0\n", 12));
      break;
  }
}

class BadMainFile : public ::testing::TestWithParam<SpoilCase> {
 protected:
  TempDir dir;
};

TEST_P(BadMainFile, IsNotReadAtAll) {
  dir.write("conf", "a = 1\n");
  spoil(dir, GetParam().how);
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
  spoil(dir, GetParam().how);
  EXPECT_EQ(p.reload(), GetParam().status);
  EXPECT_EQ(p.lastLoadStatus(), GetParam().status);
  EXPECT_EQ(p.getInt("a", 0), 1);
  EXPECT_EQ(p.getValueList("l")->size(), 2u);
  // Repaired, the file is picked up by the next reload.
  std::error_code ec;
  std::filesystem::remove_all(conf, ec);
  dir.write("conf", "a = 3\n");
  EXPECT_EQ(p.reload(), 0);
  EXPECT_EQ(p.getInt("a", 0), 3);
  EXPECT_FALSE(p.keyExists("l"));
}

INSTANTIATE_TEST_SUITE_P(Cases, BadMainFile,
                         ::testing::Values(SpoilCase{Spoil::WorldWritable, -125}, SpoilCase{Spoil::Symlink, -125},
                                           SpoilCase{Spoil::HardLinks, -125}, SpoilCase{Spoil::NotRoot, -125},
                                           SpoilCase{Spoil::Directory, -125}, SpoilCase{Spoil::Missing, -2},
                                           SpoilCase{Spoil::TooLongLine, -5}, SpoilCase{Spoil::NulByte, -5}));

TEST(LoadReload, ReloadPicksUpChanges) {
  TempDir dir;
  std::string conf = dir.write("conf", "a = 1\nb = gone\n");
  Properties p(conf);
  ASSERT_EQ(p.getInt("a", 0), 1);
  dir.write("conf", "a = 2\nc = new\n");
  EXPECT_EQ(p.reload(), 0);
  EXPECT_EQ(p.getInt("a", 0), 2);
  EXPECT_FALSE(p.keyExists("b"));
  EXPECT_EQ(p.getProperty("c"), "new");
  // setProperty is memory only: a reload drops it.
  p.setProperty("mem", "1");
  EXPECT_EQ(p.reload(), 0);
  EXPECT_FALSE(p.keyExists("mem"));
}

TEST(LoadReload, StoreWithoutFileCannotReload) {
  Properties p;
  ASSERT_EQ(p.loadFromString("a = 1\n"), 0);
  EXPECT_EQ(p.reload(), -22);
  EXPECT_EQ(p.getInt("a", 0), 1);
  EXPECT_TRUE(p.fileName().empty());
}

}  // namespace
