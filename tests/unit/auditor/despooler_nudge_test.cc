// Nudging the despooler: a stored record does not wake a despooler that
// sleeps without a collector connection (it could send nothing), yet every
// other nudge (timer, reconnection, resume) still wakes it after such posts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "../logging/log_test_util.h"
#include "auditor/auditor.h"
#include "server/session_records.h"

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
  std::unique_ptr<Vigilog::Auditor> auditor(new Vigilog::Auditor());
  auditor->init(dir.path() + "/sessions", dir.path() + "/common", dir.path() + "/at", "");
  ASSERT_TRUE(waitForSleeps(log, 1));
  usleep(50000);  // any nudge of init has been taken
  const int sleeps = log.count("DEBUG Waiting for nudge");
  ASSERT_TRUE(waitForSleeps(log, sleeps));
  const int woken = log.count("DEBUG Received nudge");

  const ofw::Guid guid = ofw::Guid::generate();
  const std::string text(100, 'x');
  const struct timeval when = {1700000000, 0};
  for (int i = 0; i < 20; ++i) {
    ovgfw::OVGRequestMessage m;
    ovg::buildSessionData(m, guid, when, 2, text.data(), static_cast<uint32_t>(text.size()));
    auditor->postSessionData(guid, m);
  }
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
