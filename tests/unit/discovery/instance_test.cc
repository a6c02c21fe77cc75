// Audit stores decoded from crammed binding values, and the choice of the
// store for a host.
#include <gtest/gtest.h>

#include "meridia/installation_info.h"
#include "meridia/instance.h"
#include "meridia/keywords.h"
#include "tests/unit/discovery/discovery_test_util.h"

using meridia::HostScope;
using meridia::Instance;

namespace {

const std::string kGuidA = "7a8b9c0d-1e2f-4a3b-8c4d-5e6f7a8b9c0d";

uint32_t ip(const char* text) {
  uint32_t a = 0;
  EXPECT_TRUE(meridia::parseIPv4(text, a)) << text;
  return a;
}

Instance store(const std::string& name, const std::string& extra) {
  return Instance::Parse("InstanceName:" + name + ";InstanceGuid:" + kGuidA + ";BindingType:1;" + extra);
}

TEST(Instance, DecodesEscapesRepeatsAndAffinity) {
  Instance in = Instance::Parse(
      "InstanceName:Store\\;A\\\\1;InstanceGuid:" + kGuidA +
      ";bindingtype:1;SiteName:HQ@example.com;SiteName:Lab;Subnet:10.1.2.3/8;BindingInfo:a:b;"
      "TrustedServers:" + kGuidA + ";AgentSiteAffinity:TRUE;;");
  EXPECT_EQ(in.name(), "Store;A\\1");
  EXPECT_EQ(in.bindingInfo(), "a:b");
  EXPECT_TRUE(in.isServiceInstance());
  EXPECT_EQ(in.sites(), (std::vector<std::string>{"HQ@example.com", "Lab"}));
  ASSERT_EQ(in.subnets().size(), 1u);
  EXPECT_EQ(in.subnets()[0].network, ip("10.0.0.0"));  // host bits cleared
  EXPECT_EQ(in.trustedServers(), std::vector<std::string>{kGuidA});
  EXPECT_TRUE(in.agentSiteAffinity());
}

// Values that do not parse, or are no service instance, are skipped with
// their log line; the good ones around them are kept in order.
TEST(Instance, CreateInstancesSkipsBadValuesAndKeepsTheRest) {
  discoverytest::LogCapture log;
  auto x = [](const std::string& extra) { return "InstanceName:X;InstanceGuid:" + kGuidA + ";BindingType:1" + extra; };
  const std::vector<std::string> bad = {
      x(";Subnet:10.0.0/8"), x(";Subnet:10.0.0.0/33"), x(";Subnet:10.0.0.0/0"), x(";Subnet:010.0.0.0/8"),
      x(";Subnet:256.0.0.0/8"), x(";NoColon"), x(";TrustedServers:group"), x("\\"),
      "InstanceName:X;InstanceGuid:{" + kGuidA + "};BindingType:1",
      "InstanceName:X;InstanceName:Y;InstanceGuid:" + kGuidA + ";BindingType:1",
      "InstanceGuid:" + kGuidA + ";BindingType:1", "InstanceName:X;BindingType:1"};
  std::vector<std::string> values = {"InstanceName:First;InstanceGuid:" + kGuidA + ";BindingType:1;Colour:red"};
  values.insert(values.end(), bad.begin(), bad.end());
  values.push_back("InstanceName:NotOne;InstanceGuid:" + kGuidA + ";BindingType:2");
  values.push_back("InstanceName:Last;InstanceGuid:" + kGuidA + ";BindingType:1");
  std::vector<Instance> out;
  Instance::CreateInstances(values, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].name(), "First");
  EXPECT_EQ(out[1].name(), "Last");
  for (const std::string& v : bad)
    EXPECT_EQ(log.countAt("WARN", "Skipping service binding information '" + v + "': "), 1) << v;
  EXPECT_EQ(log.countAt("DEBUG", "binding type isn't a service instance"), 1);
  EXPECT_EQ(log.countAt("DEBUG", "Ignoring unsupported crammed attribute 'Colour'"), 1);
  EXPECT_EQ(log.countAt("DEBUG", "Adding Instance name="), 2);
}

struct SubnetCase {
  const char* subnets;
  const char* address;
  int bits;
};

class InstanceSubnet : public ::testing::TestWithParam<SubnetCase> {};

TEST_P(InstanceSubnet, GivesThePrefixOfTheFirstContainingSubnet) {
  EXPECT_EQ(store("S", GetParam().subnets).Contains(ip(GetParam().address)), GetParam().bits);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InstanceSubnet,
    ::testing::Values(SubnetCase{"Subnet:10.0.0.0/8;Subnet:10.1.0.0/16", "10.1.2.3", 8},
                      SubnetCase{"Subnet:10.1.0.0/16;Subnet:10.0.0.0/8", "10.1.2.3", 16},
                      SubnetCase{"Subnet:10.1.0.0/16;Subnet:10.0.0.0/8", "10.2.0.1", 8},
                      SubnetCase{"Subnet:10.1.2.3/32", "10.1.2.3", 32},
                      SubnetCase{"Subnet:10.1.2.3/32", "10.1.2.4", 0},
                      SubnetCase{"Subnet:192.168.0.0/23", "192.168.1.255", 23},
                      SubnetCase{"Subnet:192.168.0.0/23", "192.168.2.0", 0},
                      SubnetCase{"Subnet:128.0.0.0/1", "200.1.1.1", 1},
                      SubnetCase{"", "10.1.2.3", 0}));

struct SiteCase {
  const char* sites;
  const char* site;
  const char* forest;
  bool match;
};

class InstanceSite : public ::testing::TestWithParam<SiteCase> {};

TEST_P(InstanceSite, MatchesSiteAtForestIgnoringCase) {
  EXPECT_EQ(store("S", GetParam().sites).Contains(GetParam().site, GetParam().forest), GetParam().match);
}

INSTANTIATE_TEST_SUITE_P(Table, InstanceSite,
                         ::testing::Values(SiteCase{"SiteName:HQ@Example.COM", "hq", "example.com", true},
                                           SiteCase{"SiteName:HQ@example.com", "HQ", "", false},
                                           SiteCase{"SiteName:hq", "HQ", "", true},
                                           SiteCase{"SiteName:hq", "HQ", "example.com", false},
                                           SiteCase{"SiteName:Lab;SiteName:HQ@x", "hq", "X", true},
                                           SiteCase{"", "HQ", "", false}));

TEST(Instance, UnixAffinityIsAllOrUnix) {
  for (const char* a : {"", "SystemTypeAffinity:0", "SystemTypeAffinity:2"})
    EXPECT_TRUE(store("S", a).ContainsUnixAffinity()) << a;
  for (const char* a : {"SystemTypeAffinity:1", "SystemTypeAffinity:3", "SystemTypeAffinity:02"})
    EXPECT_FALSE(store("S", a).ContainsUnixAffinity()) << a;
}

struct ChoiceCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> stores;  // name, extra keywords
  const char* preferred;
  const char* site;
  const char* forest;
  std::vector<const char*> addresses;
  const char* chosen;  // "" = none
};

class ChooseInstance : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseInstance, PicksTheStoreForTheHost) {
  const ChoiceCase& c = GetParam();
  std::vector<Instance> stores;
  for (const auto& s : c.stores) stores.push_back(store(s.first, s.second));
  HostScope host;
  host.preferredStore = c.preferred;
  host.site = c.site;
  host.forest = c.forest;
  for (const char* a : c.addresses) host.addresses.push_back(ip(a));
  std::optional<Instance> got = meridia::ChooseInstance(stores, host);
  EXPECT_EQ(got ? got->name() : std::string(), c.chosen);
}

const char* const kWide = "Subnet:10.0.0.0/8;Subnet:10.1.0.0/16";
const char* const kNarrow = "Subnet:10.1.2.0/24";

INSTANTIATE_TEST_SUITE_P(
    Table, ChooseInstance,
    ::testing::Values(
        ChoiceCase{"LongestPrefixWins", {{"Wide", kWide}, {"Narrow", kNarrow}}, "", "", "", {"10.1.2.3"}, "Narrow"},
        ChoiceCase{"LongestPrefixWinsInAnyOrder", {{"Narrow", kNarrow}, {"Wide", kWide}}, "", "", "", {"10.1.2.3"},
                   "Narrow"},
        ChoiceCase{"FirstWinsATie", {{"A", "Subnet:10.0.0.0/8"}, {"B", "Subnet:10.9.0.0/8"}}, "", "", "",
                   {"10.1.2.3"}, "A"},
        ChoiceCase{"BestOverAllAddresses", {{"A", "Subnet:10.0.0.0/8"}, {"B", "Subnet:192.168.1.0/24"}}, "", "",
                   "", {"10.1.2.3", "192.168.1.9"}, "B"},
        ChoiceCase{"PreferredBeatsSubnets", {{"Narrow", kNarrow}, {"Pref", ""}}, "Pref", "", "", {"10.1.2.3"},
                   "Pref"},
        ChoiceCase{"PreferredWithoutAddresses", {{"Pref", ""}}, "Pref", "", "", {}, "Pref"},
        ChoiceCase{"PreferredNameIsExact", {{"Pref", ""}}, "pref", "", "", {}, ""},
        ChoiceCase{"AffinityOneNeverChosen",
                   {{"Win", "SystemTypeAffinity:1;Subnet:10.1.2.0/24;SiteName:HQ@x"}, {"Wide", kWide}}, "Win",
                   "HQ", "x", {"10.1.2.3"}, "Wide"},
        ChoiceCase{"AffinityOneAlone", {{"Win", "SystemTypeAffinity:1;SiteName:HQ"}}, "", "HQ", "", {}, ""},
        ChoiceCase{"SubnetBeatsSite", {{"Site", "SiteName:HQ@x"}, {"Net", kNarrow}}, "", "HQ", "x", {"10.1.2.3"},
                   "Net"},
        ChoiceCase{"SiteAtForestBeatsEarlierBareSite", {{"Bare", "SiteName:hq"}, {"Full", "SiteName:HQ@X"}}, "",
                   "HQ", "x", {"172.16.0.1"}, "Full"},
        ChoiceCase{"BareSiteWhenNothingBetter", {{"Other", "SiteName:Lab@x"}, {"Bare", "SiteName:hq"}}, "", "HQ",
                   "x", {}, "Bare"},
        ChoiceCase{"NoSiteNoMatch", {{"Bare", "SiteName:hq"}}, "", "", "x", {"172.16.0.1"}, ""}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

}  // namespace
