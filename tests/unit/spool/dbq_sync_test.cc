// spool.sync: the value syntax, the refusal of bad values, and how many
// fdatasync calls a queue makes under each policy.
#include <gtest/gtest.h>
#include <time.h>

#include "ofw/config/properties.h"
#include "ofw/dbq/dbq_sync.h"
#include "ofw/dbq/dbqsingle.h"
#include "../logging/log_test_util.h"
#include "spool_test_util.h"

using namespace spooltest;
using ofw::CommitSync;
using ofw::SpoolSyncPolicy;

namespace {

struct SyntaxCase {
  const char* text;
  bool ok;
  SpoolSyncPolicy::Mode mode;
  int64_t intervalMs;
};

class SpoolSyncSyntax : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(SpoolSyncSyntax, ParsesOrRefusesWhole) {
  const SyntaxCase& c = GetParam();
  SpoolSyncPolicy p;
  p.mode = SpoolSyncPolicy::INTERVAL;
  p.intervalMs = 77;  // a refused value leaves this untouched
  ASSERT_EQ(parseSpoolSync(c.text, p), c.ok) << c.text;
  EXPECT_EQ(p.mode, c.ok ? c.mode : SpoolSyncPolicy::INTERVAL);
  EXPECT_EQ(p.intervalMs, c.ok ? c.intervalMs : 77);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SpoolSyncSyntax,
    ::testing::Values(SyntaxCase{"none", true, SpoolSyncPolicy::NONE, 0},
                      SyntaxCase{" Always ", true, SpoolSyncPolicy::ALWAYS, 0},
                      SyntaxCase{"interval 10", true, SpoolSyncPolicy::INTERVAL, 10},
                      SyntaxCase{"INTERVAL\t1", true, SpoolSyncPolicy::INTERVAL, 1},
                      SyntaxCase{"interval 3600000", true, SpoolSyncPolicy::INTERVAL, 3600000},
                      SyntaxCase{"interval 3600001", false, SpoolSyncPolicy::NONE, 0},
                      SyntaxCase{"interval 0", false, SpoolSyncPolicy::NONE, 0},
                      SyntaxCase{"interval -5", false, SpoolSyncPolicy::NONE, 0},
                      SyntaxCase{"interval 10ms", false, SpoolSyncPolicy::NONE, 0},
                      SyntaxCase{"interval 99999999999999999999", false, SpoolSyncPolicy::NONE, 0},
                      SyntaxCase{"interval", false, SpoolSyncPolicy::NONE, 0},
                      SyntaxCase{"always 5", false, SpoolSyncPolicy::NONE, 0},
                      SyntaxCase{"", false, SpoolSyncPolicy::NONE, 0},
                      SyntaxCase{"sometimes", false, SpoolSyncPolicy::NONE, 0}));

// A queue under a policy: the fdatasync calls of `n` enqueues, then of close(),
// and the bytes they synced.
struct Syncs {
  uint64_t enqueue, close, bytes;
  bool operator==(const Syncs& o) const { return enqueue == o.enqueue && close == o.close && bytes == o.bytes; }
};

class SpoolSyncQueue : public SpoolDirTest {
 protected:
  void TearDown() override { ofw::Props().setProperty("spool.sync", "none"); }

  Syncs run(const char* policy, int n, long pauseMs = 0) {
    ofw::Props().setProperty("spool.sync", policy);
    Single q(t.file("q" + std::to_string(++files_)));
    uint64_t s0 = CommitSync::statSyncs(), b0 = CommitSync::statSyncedBytes();
    for (int i = 0; i < n; ++i) {
      struct timespec ts = {0, pauseMs * 1000000L};
      ::nanosleep(&ts, nullptr);
      put(q, record(static_cast<uint32_t>(i), 100));
    }
    uint64_t s1 = CommitSync::statSyncs();
    q.close();
    return Syncs{s1 - s0, CommitSync::statSyncs() - s1, CommitSync::statSyncedBytes() - b0};
  }

  int files_ = 0;
};

TEST_F(SpoolSyncQueue, SyncsAtThePolicysCadence) {
  // One commit per enqueue: the master twice and the new block, and from the
  // second record on the old tail block that now links to it.
  const uint64_t kBytes = (20 * 2 + 20 + 19) * static_cast<uint64_t>(B);
  EXPECT_EQ(run("always", 20), (Syncs{20, 0, kBytes}));
  EXPECT_EQ(run("none", 20), (Syncs{0, 0, 0}));
  // A long interval: nothing during the burst, everything at close.
  EXPECT_EQ(run("interval 3600000", 20), (Syncs{0, 1, kBytes}));
  // Pauses longer than the interval: every commit syncs, close has nothing left.
  Syncs paused = run("interval 1", 5, 3);
  EXPECT_EQ(paused.enqueue, 5u);
  EXPECT_EQ(paused.close, 0u);
}

TEST_F(SpoolSyncQueue, BadValueIsWarnedAndNoneUsed) {
  logtest::LogCapture log;
  EXPECT_EQ(run("interval 10 ms", 20), (Syncs{0, 0, 0}));
  EXPECT_EQ(log.countAt("WARN", "Bad value [interval 10 ms] of spool.sync"), 1) << log.contents();
}

}  // namespace
