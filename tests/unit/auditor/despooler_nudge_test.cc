// Nudging the despooler: a stored record does not wake a despooler that
// sleeps without a collector connection (it could send nothing), yet every
// other nudge (timer, reconnection, resume) still wakes it after such posts.
#include <gtest/gtest.h>
#include <unistd.h>

#include "../logging/log_test_util.h"
#include "auditor_test_util.h"

namespace {

// Polls until the despooler has logged `sleeps` waits, for at most 5 s.
bool waitForSleeps(logtest::LogCapture& log, int sleeps) {
  for (int i = 0; i < 500; ++i) {
    if (log.count("DEBUG Waiting for nudge") >= sleeps) return true;
    usleep(10000);
  }
  return false;
}

TEST(DespoolerNudge, RecordsDoNotWakeAnOfflineDespoolerOtherNudgesDo) {
  logtest::TempDir dir;
  logtest::LogCapture log;
  std::unique_ptr<Vigilog::Auditor> auditor = auditortest::newAuditor(dir.path());
  ASSERT_TRUE(waitForSleeps(log, 1));
  usleep(50000);  // any nudge of init has been taken
  const int sleeps = log.count("DEBUG Waiting for nudge");
  ASSERT_TRUE(waitForSleeps(log, sleeps));
  const int woken = log.count("DEBUG Received nudge");

  auditortest::post(*auditor, ofw::Guid::generate(), std::string(100, 'x'), 20);
  usleep(100000);
  EXPECT_EQ(log.count("DEBUG Received nudge"), woken) << "a record woke an offline despooler";

  for (int round = 1; round <= 2; ++round) {
    auditor->nudgeDespooler();
    ASSERT_TRUE(waitForSleeps(log, sleeps + round)) << "the nudge after offline posts was lost (round " << round << ")";
    EXPECT_EQ(log.count("DEBUG Received nudge"), woken + round);
  }
  auditor.reset();
}

}  // namespace
