// A reload applies vgd.dumpcore to the core-file limit, except that it never
// allows core dumps once -c turned them off.
//
// The process starts with the soft limit 0 under an unlimited hard limit, so a
// reload that allowed core dumps could raise it without any privilege; the
// limit is read in the reload hook, which runs right after the reload set it.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>

#include "server_test_util.h"

namespace {

// Runs one reload of a server whose -c flag is `noCore` and returns the core
// limit it left.
struct rlimit reloadWith(bool noCore) {
  struct rlimit seen = {};
  std::atomic<bool> reloaded{false};
  testsupport::TempDir dir;
  servertest::Loop loop(dir.file("audit"));
  loop.server.flags().noCore = noCore;
  loop.server.setReloadHook([&] {
    getrlimit(RLIMIT_CORE, &seen);
    reloaded = true;
  });
  loop.start();
  loop.server.flags().reloadPending = true;
  for (int i = 0; i < 10000 && !reloaded; ++i) {
    loop.server.wakeLoop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  loop.stop();
  EXPECT_TRUE(reloaded) << "the reload never ran";
  return seen;
}

TEST(CoreLimit, ReloadNeverAllowsCoreDumpsAfterNoCore) {
  struct rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &rl), 0);
  if (rl.rlim_max != RLIM_INFINITY) GTEST_SKIP() << "the hard core limit is already lowered";
  rl.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_CORE, &rl), 0);
  ofw::Props().setProperty("vgd.dumpcore", "true");
  EXPECT_EQ(reloadWith(false).rlim_cur, RLIM_INFINITY) << "vgd.dumpcore true did not allow core dumps";
  const struct rlimit refused = reloadWith(true);
  EXPECT_EQ(refused.rlim_cur, 0u);
  EXPECT_EQ(refused.rlim_max, 0u);
  ofw::Props().setProperty("vgd.dumpcore", "false");
}

}  // namespace
