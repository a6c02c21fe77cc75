// The process-wide configuration: created once, reloaded in place, and log
// levels following each successful load. Each case runs in a fresh child
// process, so that no earlier test has created the instance yet.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"
#include "props_test_util.h"

namespace {

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
