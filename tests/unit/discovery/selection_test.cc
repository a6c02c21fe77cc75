// Collector selection: the candidate lists (directory or vgd.collectors), the
// rebind decisions over a fake connection, and the hand-over of rebind
// requests to the connection's thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <new>
#include <stdexcept>
#include <thread>

#include "auditor/collector_selection.h"
#include "auditor/rebind_requests.h"
#include "ovgfw/ovg_exception.h"
#include "unit/discovery/discovery_test_util.h"

using Vigilog::CollectorLink;
using Vigilog::CollectorList;
using Vigilog::CollectorSelection;
using Vigilog::RebindFlags;

namespace {

const std::string A = "a.example.com:5063:vgcollector/a@EX";
const std::string B = "b.example.com:5063:vgcollector/b@EX";
const std::string C = "c.example.com:5063:vgcollector/c@EX";

// A connection whose trials answer as told: 'y' accepts, 'n' a connect
// error, 'x' an error that is no connect error; others refuse.
class FakeLink : public CollectorLink {
 public:
  bool isConnected = true;
  std::string currentTarget;
  std::map<std::string, char> answers;
  bool switchFails = false;
  std::vector<std::string> probes;
  std::string switchedTo;
  int droppedState = 0;

  bool connected() override { return isConnected; }
  std::string current() override { return currentTarget; }
  void drop(int state, const std::string&) override {
    droppedState = state;
    isConnected = false;
  }
  void adjustDiskState() override {}
  void probe(const std::string& target) override {
    probes.push_back(target);
    char a = answers.count(target) ? answers[target] : 'n';
    if (a == 'x') throw std::bad_alloc();
    if (a != 'y') throw ovgfw::OVGException("refused");
  }
  void switchTo(const std::string& target) override {
    if (switchFails) throw ovgfw::OVGException("gone");
    switchedTo = target;
  }
};

struct RebindCase {
  const char* name;
  int state;
  std::vector<std::string> preferred, other;
  bool connected;
  std::string current;
  std::map<std::string, char> answers;
  bool loadBalance, forced;
  uint32_t draw;
  int code;
  std::vector<std::string> probes;
  std::string switchedTo;
  bool switchFails;
};

class RebindDecision : public ::testing::TestWithParam<RebindCase> {};

TEST_P(RebindDecision, ChoosesAndReports) {
  const RebindCase& c = GetParam();
  discoverytest::LogCapture log;
  ofw::CapiDynamicLoader none(capi_test::nocorePath());
  ofw::Properties properties;
  CollectorSelection::Options o;
  o.random = [&c] { return c.draw; };
  CollectorSelection selection(none, properties, o);
  CollectorList list;
  list.state = c.state;
  list.preferred = c.preferred;
  list.other = c.other;
  FakeLink link;
  link.isConnected = c.connected;
  link.currentTarget = c.current;
  link.answers = c.answers;
  link.switchFails = c.switchFails;
  RebindFlags flags;
  flags.loadBalance = c.loadBalance;
  flags.forced = c.forced;

  EXPECT_EQ(selection.rebind(list, link, flags), c.code);
  EXPECT_EQ(link.probes, c.probes);
  EXPECT_EQ(link.switchedTo, c.switchedTo);
  bool dropped = c.code == Vigilog::REBIND_EMPTY_LIST || (c.code == Vigilog::REBIND_DISCONNECTED && !c.switchFails);
  EXPECT_EQ(link.droppedState, dropped ? c.state : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Selection, RebindDecision,
    ::testing::Values(
        RebindCase{"OneCurrentCollectorNoAttempt", 7, {A}, {B}, true, A, {{B, 'y'}}, false, true, 0, 4, {}, "", false},
        RebindCase{"OnlyOtherSiteCollectorIsCurrent", 7, {}, {A}, true, A, {}, false, true, 0, 4, {}, "", false},
        RebindCase{"VanishedReplacedByFirstAccepting", 7, {B, C}, {}, true, A, {{C, 'y'}}, false, false, 0, 0,
                   {B, C}, C, false},
        RebindCase{"NoCandidateAccepts", 7, {B, C}, {}, true, A, {}, false, false, 0, 5, {B, C}, "", false},
        RebindCase{"NonConnectErrorEndsTheTrial", 7, {B, C}, {}, true, A, {{B, 'x'}, {C, 'y'}}, false, false, 0, 5,
                   {B}, "", false},
        RebindCase{"ValidCollectorKept", 7, {A, B}, {}, true, A, {{B, 'y'}}, false, false, 0, 4, {}, "", false},
        RebindCase{"LoadBalanceOddDrawKeeps", 7, {A, B}, {}, true, A, {{B, 'y'}}, true, false, 7, 4, {}, "", false},
        RebindCase{"LoadBalanceEvenDrawMovesAway", 7, {A, B}, {}, true, A, {{A, 'y'}, {B, 'y'}}, true, false, 8, 0,
                   {B}, B, false},
        // Targets compare ignoring case.
        RebindCase{"ForcedMovesAwayFromCurrent", 7, {B, A}, {}, true, "A.EXAMPLE.COM:5063:vgcollector/a@EX",
                   {{A, 'y'}, {B, 'y'}}, false, true, 1, 0, {B}, B, false},
        RebindCase{"LocalCollectorNotLeftForAnotherSite", 7, {A, B}, {C}, true, A, {{C, 'y'}}, false, true, 0, 4,
                   {B, C}, "", false},
        RebindCase{"NoLocalCollectorOtherSitesStillUsed", 7, {}, {B, C}, true, A, {{C, 'y'}}, false, false, 0, 0,
                   {B, C}, C, false},
        RebindCase{"FailedSwitchLeavesItDisconnected", 7, {B}, {}, true, A, {{B, 'y'}}, false, false, 0, 1, {B}, "",
                   true},
        RebindCase{"NotConnected", 7, {A, B}, {}, false, "", {}, false, false, 0, 3, {}, "", false},
        RebindCase{"InstallationUnusable", 6, {}, {}, true, A, {}, false, false, 0, 1, {}, "", false},
        RebindCase{"EmptyList", 7, {}, {}, true, A, {}, false, false, 0, 2, {}, "", false}),
    [](const ::testing::TestParamInfo<RebindCase>& info) { return std::string(info.param.name); });

// The lists for the fixture's host (its HQ Store asks for site affinity).
class CollectorListTest : public discoverytest::FixtureHost {
 protected:
  void SetUp() override {
    FixtureHost::SetUp();
    writeSetting("kset.site", "DEFAULT-first-site-name");  // sites compare ignoring case
    properties_.setProperty("vgd.configuration.cache.max.age", "0");
  }
  CollectorList list(const ofw::CapiDynamicLoader& loader) {
    if (!selection_) {
      CollectorSelection::Options o;
      o.settingsDir = settings_.path();
      o.scp = scpOptions();
      o.scp.random = [] { return 0u; };
      selection_.reset(new CollectorSelection(loader, properties_, o));
    }
    CollectorList out;
    selection_->getCollectorList(out);
    return out;
  }

  std::unique_ptr<CollectorSelection> selection_;
};

TEST_F(CollectorListTest, SiteAffinitySplitsTheDirectoryAnswerByTheMachinesSite) {
  CollectorList l = list(directory_.loader());
  EXPECT_EQ(l.state, 7);
  EXPECT_TRUE(l.fromDirectory);
  EXPECT_EQ(l.preferred, std::vector<std::string>{"coll1.example.com:5063:vgcollector/coll1.example.com@EXAMPLE.COM"});
  EXPECT_EQ(l.other, (std::vector<std::string>{"coll2.example.com:5064:vgcollector/coll2.example.com@EXAMPLE.COM",
                                                "coll5.example.com:6000:vgcollector/coll5.example.com@EXAMPLE.COM"}));
  EXPECT_EQ(l.auditStoreName, "HQ Store");

  // Without affinity every collector is preferred, in the directory's order.
  directory_.edit("AgentSiteAffinity:True", "AgentSiteAffinity:False");
  l = list(directory_.loader());
  EXPECT_EQ(l.preferred.size(), 3u);
  EXPECT_TRUE(l.other.empty());
}

TEST_F(CollectorListTest, StaticListWhenTheDirectoryNamesNoCollector) {
  properties_.setProperty("vgd.collectors", " h1:1:p1@R , h2:2:p2@R,");
  // Out of scope of every audit store (no subnet, site Lab).
  addresses_ = {0xac100001};
  writeSetting("kset.site", "Nowhere");
  CollectorList l = list(directory_.loader());
  EXPECT_EQ(l.state, 7);
  EXPECT_FALSE(l.fromDirectory);
  EXPECT_EQ(l.preferred, (std::vector<std::string>{"h1:1:p1@R", "h2:2:p2@R"}));

  // Nothing configured either: the directory's state and message stay.
  properties_.setProperty("vgd.collectors", "");
  l = list(directory_.loader());
  EXPECT_EQ(l.state, 6);
  EXPECT_EQ(l.message, "The agent is not in the scope of any audit store");
  EXPECT_TRUE(l.preferred.empty());
}

TEST_F(CollectorListTest, HostWithoutDirectoryClientUsesTheStaticList) {
  ofw::CapiDynamicLoader incomplete(capi_test::nocorePath());
  properties_.setProperty("vgd.collectors", "h1:1:p1@R");
  EXPECT_EQ(list(incomplete).preferred, std::vector<std::string>{"h1:1:p1@R"});
  properties_.setProperty("vgd.collectors", "");
  CollectorList l = list(incomplete);
  EXPECT_EQ(l.state, 4);
  EXPECT_TRUE(l.preferred.empty() && l.other.empty());
  EXPECT_EQ(selection_->flushScpCache(), 0);
}

TEST_F(CollectorListTest, NotConfiguredIsAnnouncedOnceUntilItChanges) {
  settings_.write("Registry.pol", "not a policy\n");
  const std::string text = "The Installation has not configured, you may use vgcontrol -i installation-name ";
  EXPECT_EQ(list(directory_.loader()).state, 4);
  EXPECT_EQ(list(directory_.loader()).state, 4);
  EXPECT_EQ(log_.countAt("INFO", text), 1);
  std::remove(settings_.file("Registry.pol").c_str());
  EXPECT_EQ(list(directory_.loader()).state, 7);
  EXPECT_EQ(log_.countAt("INFO", "Collector is now configured."), 1);
  settings_.write("Registry.pol", "not a policy\n");
  EXPECT_EQ(list(directory_.loader()).state, 4);
  EXPECT_EQ(log_.countAt("INFO", text), 2);
}

// Requests from several threads are answered by one evaluation on the
// owner's thread; a waiter that runs out of time gets no answer; cancel
// answers every waiter.
TEST(RebindRequests, OneEvaluationAnswersEveryWaiterAndTimeOutsAreBounded) {
  Vigilog::RebindRequests requests;
  EXPECT_EQ(requests.take(), 0u);
  std::vector<Vigilog::RebindRequests::Outcome> got(2);
  std::vector<bool> answered(2);
  std::vector<uint64_t> tickets = {requests.post(), requests.post()};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&, i] { answered[i] = requests.wait(tickets[i], 30, got[i]); });
  uint64_t upTo = requests.take();
  EXPECT_EQ(upTo, tickets[1]);
  Vigilog::RebindRequests::Outcome outcome;
  outcome.code = 0;
  outcome.oldName = A;
  outcome.newName = B;
  requests.complete(upTo, outcome);
  for (std::thread& t : waiters) t.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(answered[i]);
    EXPECT_EQ(got[i].code, 0);
    EXPECT_EQ(got[i].newName, B);
  }
  EXPECT_FALSE(requests.pending());

  uint64_t late = requests.post();
  Vigilog::RebindRequests::Outcome none;
  EXPECT_FALSE(requests.wait(late, 0, none));
  EXPECT_TRUE(requests.pending());  // still evaluated later
  std::thread stopper([&] { requests.cancel(); });
  EXPECT_TRUE(requests.wait(late, 30, none));
  stopper.join();
  EXPECT_EQ(none.code, -1);
}

}  // namespace
