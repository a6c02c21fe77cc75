#include "auditor/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "auditor/disk_quota.h"
#include "auditor/rate_limit.h"

namespace Vigilog {
namespace {

TEST(AuditRegistry, FirstRegistrationWins) {
  AuditRegistry r;
  EXPECT_TRUE(r.addTTY("/dev/pts/3", "A"));
  EXPECT_FALSE(r.addTTY("/dev/pts/3", "B"));
  EXPECT_EQ(r.getSessionIDFromTTY("/dev/pts/3"), "A");
  EXPECT_TRUE(r.addPSID(100, "A"));
  EXPECT_FALSE(r.addPSID(100, "B"));
  EXPECT_EQ(r.getSessionIDFromPSID(100), "A");
  EXPECT_TRUE(r.addVuvoPID(200, "A"));
  EXPECT_FALSE(r.addVuvoPID(200, "B"));
  EXPECT_EQ(r.getSessionIDFromVuvoPID(200), "A");
  EXPECT_EQ(r.getSessionIDFromTTY("/dev/pts/9"), "");
}

// A session only ever removes what it registered: ending session B (or
// undoing its failed start) must not unregister A on the same tty/psid/pid.
TEST(AuditRegistry, RemovalIsByOwner) {
  AuditRegistry r;
  r.addTTY("/dev/pts/1", "A");
  r.addPSID(10, "A");
  r.addVuvoPID(20, "A");
  r.removeTTY("/dev/pts/1", "B");
  r.removePSID(10, "B");
  r.removeVuvoPID(20, "B");
  EXPECT_TRUE(r.isTTYAuditing("/dev/pts/1"));
  EXPECT_TRUE(r.isPSIDAuditing(10));
  EXPECT_TRUE(r.isVuvoAuditing(20));
  r.removeTTY("/dev/pts/1", "A");
  r.removePSID(10, "A");
  r.removeVuvoPID(20, "A");
  EXPECT_FALSE(r.isTTYAuditing("/dev/pts/1"));
  EXPECT_FALSE(r.isPSIDAuditing(10));
  EXPECT_FALSE(r.isVuvoAuditing(20));
}

TEST(AuditRegistry, UtmpEntities) {
  AuditRegistry r;
  EXPECT_TRUE(r.addUtmpEntity("g1", "/dev/pts/1", "pts/1"));
  EXPECT_FALSE(r.addUtmpEntity("g1", "/dev/pts/2", "pts/2"));
  EXPECT_TRUE(r.removeUtmpEntity("g1"));
  EXPECT_TRUE(r.removeUtmpEntity("g1"));  // absent counts as success
  EXPECT_TRUE(r.addUtmpEntity("g1", "/dev/pts/2", "pts/2"));
}

TEST(AuditRegistry, PurgeDropsEverythingOfGoneSessionsWhateverTheyRegistered) {
  AuditRegistry r;
  r.addVuvoPID(1001, "dead");
  r.addTTY("/dev/pts/4", "dead");
  r.addPSID(1001, "dead");
  r.addCmdAuditOvgsh(1001, "dead");
  r.addTTY("/dev/pts/6", "no-pid");  // a resume below version 4: no pid entry
  r.addPSID(1003, "no-pid");
  r.addVuvoPID(0, "pid-0");  // a start below version 5: pid 0, not a dead shell
  r.addTTY("/dev/pts/7", "pid-0");
  r.addVuvoPID(1002, "alive");
  r.addTTY("/dev/pts/5", "alive");
  time_t now = time(nullptr);
  std::map<std::string, int> asked;
  auto gone = [&asked](const std::string& id, int pid) {
    asked[id] = pid;
    return id != "alive" && id != "pid-0";
  };
  // Too young to purge, and nobody asked.
  EXPECT_EQ(r.purgeGoneSessions(now, 300, gone), 0);
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(r.purgeGoneSessions(now + 301, 300, gone), 2);
  EXPECT_EQ(asked, (std::map<std::string, int>{{"alive", 1002}, {"dead", 1001}, {"no-pid", 0}, {"pid-0", 0}}));
  EXPECT_EQ(r.ttyCount(), 2u);
  EXPECT_EQ(r.psidCount(), 0u);
  EXPECT_EQ(r.pidCount(), 2u);
  EXPECT_TRUE(r.isTTYAuditing("/dev/pts/5"));
  EXPECT_TRUE(r.isTTYAuditing("/dev/pts/7"));
  EXPECT_TRUE(r.isVuvoAuditing(0));
}

TEST(AuditRegistry, ConcurrentAddsHaveOneWinnerPerKey) {
  AuditRegistry r;
  std::atomic<int> wins{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&r, &wins, t] {
      for (int i = 0; i < 200; ++i)
        if (r.addPSID(i, "s" + std::to_string(t))) ++wins;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wins.load(), 200);
  EXPECT_EQ(r.psidCount(), 200u);
}

struct QuotaCase {
  uint64_t freeBytes, totalBytes;
  const char* setting;
  bool over;
};
class DiskQuota : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(DiskQuota, FloorRule) {
  auto logger = ofw::getLogger("test.quota");
  const QuotaCase& c = GetParam();
  DiskThreshold t = parseDiskThreshold(c.setting, "spool.diskspace.min", DiskThreshold{true, 10}, logger);
  DiskSpace s{c.freeBytes, c.totalBytes};
  EXPECT_EQ(isOverQuota(s, t, logger), c.over) << c.setting << " free " << c.freeBytes;
}

const uint64_t GiB = 1ull << 30;
INSTANTIATE_TEST_SUITE_P(
    Cases, DiskQuota,
    ::testing::Values(QuotaCase{99 * GiB / 1000, GiB, "10", true},     // 9.9 % free
                      QuotaCase{109 * GiB / 1000, GiB, "10", true},    // 10.9 % truncates to 10
                      QuotaCase{11 * GiB / 100, GiB, "10", false},     // 11 %
                      QuotaCase{500ull << 20, 100 * GiB, "500MB", true},
                      QuotaCase{(500ull << 20) + 1024, 100 * GiB, "500mb", false},
                      QuotaCase{1024, 100 * GiB, "1KB", true},
                      QuotaCase{2048, 100 * GiB, "1KB", false},
                      QuotaCase{4096, 100 * GiB, "4096B", true},
                      QuotaCase{5 * GiB, 10 * GiB, "2TB", true},
                      QuotaCase{0, 0, "10", false},  // unknown total: never over
                      // Bad settings fall back to the 10 % default instead of refusing everything.
                      QuotaCase{50 * GiB, 100 * GiB, "500M", false},
                      QuotaCase{50 * GiB, 100 * GiB, "500", false},
                      QuotaCase{5 * GiB, 100 * GiB, "500", true},
                      QuotaCase{50 * GiB, 100 * GiB, "", false},
                      QuotaCase{50 * GiB, 100 * GiB, "99999999999999999999999", false}));

TEST(DiskThresholdParse, StrictForms) {
  auto logger = ofw::getLogger("test.quota");
  DiskThreshold def{true, 12};
  DiskThreshold t = parseDiskThreshold("3GB", "k", def, logger);
  EXPECT_FALSE(t.percent);
  EXPECT_EQ(t.value, 3ull << 30);
  t = parseDiskThreshold("100", "k", def, logger);
  EXPECT_TRUE(t.percent);
  EXPECT_EQ(t.value, 100u);
  for (const char* bad : {"101", "10%", "x", "MB", "10 MB", "-5", "20000000TB"}) {
    t = parseDiskThreshold(bad, "k", def, logger);
    EXPECT_TRUE(t.percent) << bad;
    EXPECT_EQ(t.value, 12u) << bad;
  }
}

TEST(LogRateLimit, OncePerIntervalWithSuppressedCount) {
  LogRateLimit limit(60);
  unsigned skipped = 99;
  EXPECT_TRUE(limit.shouldPrintLog(&skipped, 1000));
  EXPECT_EQ(skipped, 0u);
  EXPECT_FALSE(limit.shouldPrintLog(nullptr, 1010));
  EXPECT_FALSE(limit.shouldPrintLog(nullptr, 1059));
  EXPECT_TRUE(limit.shouldPrintLog(&skipped, 1060));
  EXPECT_EQ(skipped, 2u);
  limit.reset();
  EXPECT_TRUE(limit.shouldPrintLog(&skipped, 1061));
}

}  // namespace
}  // namespace Vigilog
