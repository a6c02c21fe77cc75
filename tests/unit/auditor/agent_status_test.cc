// The agent state and its masked copy: a disconnection shows locally only
// after the tolerated number of missed heartbeats, with one WARN; every
// other state and a reconnection show at once; the up time of the heartbeat.
#include "auditor/agent_status.h"

#include <gtest/gtest.h>

#include <string>

#include "ofw/config/properties.h"
#include "ovgfw/agent_state.h"
#include "unit/logging/log_test_util.h"

namespace Vigilog {
namespace {

using logtest::LogCapture;

const int kNotConnected = ovgfw::AgentState::NOT_CONNECTED;
const int kRunning = ovgfw::AgentState::RUNNING;

class MaskedState : public ::testing::Test {
 protected:
  MaskedState() : status_(ofw::getLogger("ovg.vgd.auditor")) {
    status_.setOnlineProbe([this](bool* online, bool* atOnline) {
      *online = online_;
      *atOnline = atOnline_;
    });
  }
  ~MaskedState() override { ofw::Props().setProperty("agent.max.missed.update.tolerance", ""); }

  // Connected to c1 and running: the masked copy follows.
  void run() {
    online_ = atOnline_ = true;
    status_.setCollector("c1");
    status_.setState(kRunning, "");
  }
  // The collector is lost: the despooler's backoff.
  void lose() {
    online_ = atOnline_ = false;
    status_.heartbeatMissed();
    status_.setState(kNotConnected, "connection reset");
  }
  // A heartbeat while not connected.
  void miss() {
    status_.heartbeatMissed();
    status_.updateMaskedState();
  }

  LogCapture log_;
  bool online_ = false;
  bool atOnline_ = false;
  AgentStatus status_;
};

// Tolerance setting and the miss (counting the one of the loss) at which the masked state turns to 7.
struct Tolerance {
  const char* text;
  uint32_t missesToShow;
};
class MaskedStateTolerance : public MaskedState, public ::testing::WithParamInterface<Tolerance> {};

TEST_P(MaskedStateTolerance, DisconnectionShowsAfterTheToleratedMissesWithOneWarn) {
  ofw::Props().setProperty("agent.max.missed.update.tolerance", GetParam().text);
  run();
  ASSERT_EQ(status_.masked().state, kRunning);
  ASSERT_TRUE(status_.isOnlineMasked());
  ASSERT_TRUE(status_.isATOnlineMasked());
  EXPECT_EQ(log_.count("INFO Connected to collector: c1"), 1);

  lose();
  for (uint32_t misses = 1; misses < GetParam().missesToShow; ++misses) {
    EXPECT_EQ(status_.heartbeatFailures(), misses);
    EXPECT_EQ(status_.masked().state, kRunning) << "after " << misses << " misses";
    EXPECT_TRUE(status_.isOnlineMasked());
    EXPECT_EQ(status_.masked().description, "");
    miss();
  }
  EXPECT_EQ(status_.getState(), kNotConnected);
  EXPECT_EQ(status_.masked().state, kNotConnected);
  EXPECT_FALSE(status_.isOnlineMasked());
  EXPECT_FALSE(status_.isATOnlineMasked());
  EXPECT_EQ(status_.masked().description, "connection reset");

  // More misses, with another failure text, never warn again.
  status_.setState(kNotConnected, "connection refused");
  miss();
  miss();
  EXPECT_EQ(status_.masked().description, "connection refused");
  EXPECT_EQ(log_.count("WARN Unable to connect to collector: connection reset"), 1);
  EXPECT_EQ(log_.countAt("WARN", "Unable to connect to collector"), 1);

  // Reconnected: shown at once, once, and the count starts again.
  run();
  EXPECT_EQ(status_.masked().state, kRunning);
  EXPECT_TRUE(status_.isOnlineMasked());
  EXPECT_EQ(status_.heartbeatFailures(), 0u);
  EXPECT_EQ(log_.count("INFO Connected to collector: c1"), 2);
}

INSTANTIATE_TEST_SUITE_P(Settings, MaskedStateTolerance,
                         ::testing::Values(Tolerance{"", 4}, Tolerance{"4", 4}, Tolerance{"2", 2},
                                           Tolerance{"1", 1}, Tolerance{"0", 1}));

TEST_F(MaskedState, SuccessOrRunningResetsTheMissCountAndOtherStatesShowAtOnce) {
  run();
  lose();
  miss();
  miss();
  status_.heartbeatSucceeded();
  EXPECT_EQ(status_.heartbeatFailures(), 0u);
  // Three more misses from zero are still hidden.
  miss();
  miss();
  miss();
  EXPECT_EQ(status_.masked().state, kRunning);
  status_.setState(kRunning, "");
  EXPECT_EQ(status_.heartbeatFailures(), 0u);

  // Any state but 7 follows at once, whatever the count.
  lose();
  status_.setState(ovgfw::AgentState::SPOOL_DISK_FULL, "");
  EXPECT_EQ(status_.masked().state, ovgfw::AgentState::SPOOL_DISK_FULL);
  EXPECT_EQ(status_.heartbeatFailures(), 1u);
}

TEST_F(MaskedState, LocalQueriesReadTheMaskedCopy) {
  run();
  status_.setInstallation("inst", 3);
  status_.setAuditStore("store");
  lose();
  int32_t state = 0;
  std::string description = "x", installation, auditStore, collector;
  bool online = false;
  status_.getCurrentInfo(&state, &description, &installation, &online, &auditStore, &collector);
  // The installation and store changed without a masked update: not shown yet.
  EXPECT_EQ(state, kRunning);
  EXPECT_EQ(description, "");
  EXPECT_EQ(installation, "");
  EXPECT_TRUE(online);
  EXPECT_EQ(auditStore, "");
  EXPECT_EQ(collector, "c1");
  // isStateDiffer sees the hidden changes.
  EXPECT_TRUE(status_.isStateDiffer());
}

struct UpTime {
  time_t start;
  time_t now;
  int64_t units;
};
class HeartbeatUpTime : public ::testing::TestWithParam<UpTime> {};

TEST_P(HeartbeatUpTime, IsInHundredNanosecondUnitsAndNeverNegative) {
  LogCapture log;
  struct timeval start = {GetParam().start, 999999};
  EXPECT_EQ(upTimeUnits(start, GetParam().now, ofw::getLogger("ovg.vgd.auditor")), GetParam().units);
  EXPECT_EQ(log.countContaining("Up Time is negative: "), GetParam().now < GetParam().start ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Clocks, HeartbeatUpTime,
                         ::testing::Values(UpTime{1000, 1000, 0}, UpTime{1000, 1003, 30000000},
                                           UpTime{1000, 1000 + 86400 * 365, 86400LL * 365 * 10000000},
                                           UpTime{1000, 999, 0}));  // clock set back

}  // namespace
}  // namespace Vigilog
