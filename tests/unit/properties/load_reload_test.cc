// Loading the main file: the security check on the opened file, the load
// error texts, reload, and the running configuration kept by a failed reload;
// the process-wide configuration, created once, reloaded in place, and log
// levels following each successful load. Each singleton case runs in a fresh
// child process, so that no earlier test has created the instance yet.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ofw/config/properties.h"
#include "ofw/logging/logger.h"
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

using ofw::Logger;
using ofw::Props;

#define CHECK_OR_EXIT(cond, code) \
  do {                            \
    if (!(cond)) std::exit(code); \
  } while (0)

class PropsSingleton : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PropsSingleton, CreatedOnceFromTheConfiguredPathAndReloaded) {
  proptest::TempDir dir;
  std::string conf = dir.write("conf", "log = WARN\nvgd.x = 1\n");
  EXPECT_EXIT(
      {
        ofw::SetPropsPath(conf);
        std::vector<std::thread> threads;
        std::atomic<ofw::Properties*> seen[8];
        for (int i = 0; i < 8; ++i)
          threads.emplace_back([&seen, i] { seen[i] = &Props(); });
        for (auto& t : threads) t.join();
        for (int i = 1; i < 8; ++i) CHECK_OR_EXIT(seen[i].load() == seen[0].load(), 2);
        CHECK_OR_EXIT(Props().getInt("vgd.x", 0) == 1, 3);
        CHECK_OR_EXIT(Props().fileName() == conf, 4);
        CHECK_OR_EXIT(Logger::GetRootLogger()->getEffectiveLevel() == Logger::WARN, 5);

        dir.write("conf", "log = DEBUG\nvgd.x = 2\n");
        CHECK_OR_EXIT(&Props(false, true) == seen[0].load(), 6);
        CHECK_OR_EXIT(Props().getInt("vgd.x", 0) == 2, 7);
        CHECK_OR_EXIT(Logger::GetRootLogger()->getEffectiveLevel() == Logger::DEBUG, 8);

        // A failed reload keeps both the values and the levels.
        dir.write("conf", "log = ERROR\nvgd.x = 3\n", 0666);
        Props(false, true);
        CHECK_OR_EXIT(Props().lastLoadStatus() == -125, 9);
        CHECK_OR_EXIT(Props().getInt("vgd.x", 0) == 2, 10);
        CHECK_OR_EXIT(Logger::GetRootLogger()->getEffectiveLevel() == Logger::DEBUG, 11);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(PropsSingleton, MissingFileGivesAnEmptyStoreThatALaterReloadFills) {
  proptest::TempDir dir;
  std::string conf = dir.file("conf");
  EXPECT_EXIT(
      {
        ofw::SetPropsPath(conf);
        CHECK_OR_EXIT(Props().lastLoadStatus() == -2, 2);
        CHECK_OR_EXIT(Props().getMap().empty(), 3);
        dir.write("conf", "vgd.x = 5\n");
        Props(false, true);
        CHECK_OR_EXIT(Props().getInt("vgd.x", 0) == 5, 4);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
