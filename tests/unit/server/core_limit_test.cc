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
#include <cstdlib>
#include <string>
#include <thread>

#include "ofw/config/properties.h"
#include "server/ipc_server.h"

namespace {

struct Seen {
  std::atomic<bool> reloaded{false};
  std::atomic<rlim_t> soft{0};
  std::atomic<rlim_t> hard{0};
};

// Runs one reload of a server whose -c flag is `noCore` and returns the core
// limits it left.
void reloadWith(bool noCore, Seen& seen) {
  char tmpl[] = "/tmp/vgd-core.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  {
    ofw::IPCServer server(dir + "/audit");
    server.flags().noCore = noCore;
    server.setReloadHook([&seen] {
      struct rlimit rl;
      getrlimit(RLIMIT_CORE, &rl);
      seen.soft = rl.rlim_cur;
      seen.hard = rl.rlim_max;
      seen.reloaded = true;
    });
    std::thread loop([&server] { server.loop(); });
    server.flags().reloadPending = true;
    for (int i = 0; i < 10000 && !seen.reloaded; ++i) {
      server.wakeLoop();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server.flags().stop = true;
    server.wakeLoop();
    loop.join();
  }
  std::system(("rm -rf " + dir).c_str());
  ASSERT_TRUE(seen.reloaded) << "the reload never ran";
}

TEST(CoreLimit, ReloadNeverAllowsCoreDumpsAfterNoCore) {
  struct rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &rl), 0);
  if (rl.rlim_max != RLIM_INFINITY) GTEST_SKIP() << "the hard core limit is already lowered";
  rl.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_CORE, &rl), 0);
  ofw::Props().setProperty("vgd.dumpcore", "true");

  Seen allowed;
  reloadWith(false, allowed);
  EXPECT_EQ(allowed.soft.load(), RLIM_INFINITY) << "vgd.dumpcore true did not allow core dumps";

  Seen refused;
  reloadWith(true, refused);
  EXPECT_EQ(refused.soft.load(), 0u);
  EXPECT_EQ(refused.hard.load(), 0u);
  ofw::Props().setProperty("vgd.dumpcore", "false");
}

}  // namespace
