// Installations, service connection points and the SCP front end, read
// from the stand-in directory's discovery fixture.
#include <gtest/gtest.h>

#include "meridia/installation_info.h"
#include "meridia/service_locator.h"
#include "ofw/exceptions.h"
#include "ovgfw/scp.h"
#include "tests/unit/discovery/discovery_test_util.h"

using meridia::InstallationInfo;
using meridia::ServiceEndpointPtr;
using ovgfw::SCP;

namespace {

const char* const kHqStore = "7a8b9c0d-1e2f-4a3b-8c4d-5e6f7a8b9c0d";
const char* const kCollectorsGroup = "9c8b7a69-5847-4635-a241-302f1e0d9c8b";
const char* const kBranchGroup = "8d7c6b5a-4938-4271-a605-f4e3d2c1b0a9";
const char* const kMissingGroup = "11111111-2222-4333-8444-555555555555";
const char* const kLabGuid = "5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d";

std::vector<std::string> hosts(const std::vector<ServiceEndpointPtr>& list) {
  std::vector<std::string> out;
  for (const ServiceEndpointPtr& e : list) out.push_back(e->hostname);
  return out;
}

class ServiceLocatorTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam()) directory_.edit("\"globalCatalog\": true", "\"globalCatalog\": false");
  }
  std::vector<ServiceEndpointPtr> find(const std::vector<std::string>& groups) {
    std::vector<ServiceEndpointPtr> out(1);  // cleared by the call
    meridia::ServiceLocator(directory_.loader())
        .GetServers(ofw::Guid::fromString(SCP::COLLECTOR_MODULE_GUID), kHqStore, groups, out);
    return out;
  }
  discoverytest::LogCapture log_;
  discoverytest::DirectoryFixture directory_;
};

TEST_P(ServiceLocatorTest, ReadsEveryUsableScpWithItsTrust) {
  std::vector<std::string> texts;
  for (const ServiceEndpointPtr& e : find({kMissingGroup, kCollectorsGroup, kBranchGroup}))
    texts.push_back(e->toString());
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "(hostname='coll1.example.com', port=5063, servicePrincipalName='vgcollector/coll1.example.com@"
                       "EXAMPLE.COM', trusted=true, protocolVersion='1', softwareVersion='3.7.0', "
                       "site='Default-First-Site-Name@example.com')",
                       "(hostname='coll2.example.com', port=5064, servicePrincipalName='vgcollector/coll2.example.com@"
                       "EXAMPLE.COM', trusted=true, protocolVersion='1', softwareVersion='3.7.1', "
                       "site='Branch@example.com')",
                       "(hostname='coll3.example.com', port=5063, servicePrincipalName='vgcollector/coll3.example.com@"
                       "EXAMPLE.COM', trusted=false, protocolVersion='', softwareVersion='', "
                       "site='Default-First-Site-Name@example.com')",
                       "(hostname='coll5.example.com', port=6000, servicePrincipalName='vgcollector/coll5.example.com@"
                       "EXAMPLE.COM', trusted=true, protocolVersion='', softwareVersion='', site='Branch@example.com')"}));
  EXPECT_EQ(log_.countAt("WARN", "Skipping SCP CN=Vigilog Collector,CN=COLL4,CN=Computers,DC=example,DC=com: "
                               "Malformed <port>:<principal> '5063'"), 1);
  EXPECT_EQ(log_.countAt("DEBUG", "'dNSHostName' of computer (CN=COLL2,CN=Computers,DC=example,DC=com) is not set."), 1);
  EXPECT_GE(log_.countAt("WARN", std::string("Trusted Server of GUID ") + kMissingGroup + " not found"), 1);

  std::vector<ServiceEndpointPtr> all = find({});
  EXPECT_EQ(hosts(all), (std::vector<std::string>{"coll1.example.com", "coll2.example.com", "coll3.example.com",
                                                   "coll5.example.com"}));
  for (const ServiceEndpointPtr& e : all) EXPECT_TRUE(e->trusted) << e->hostname;
}

INSTANTIATE_TEST_SUITE_P(GlobalCatalogUpOrDown, ServiceLocatorTest, ::testing::Bool());

TEST(ServiceBinding, NeedsPortColonPrincipal) {
  int32_t port = 0;
  std::string principal;
  meridia::parseServiceBinding("65535:a:b", port, principal);
  EXPECT_EQ(port, 65535);
  EXPECT_EQ(principal, "a:b");
  for (const char* bad : {"5063", "5063:", ":p", "0:p", "65536:p", "-1:p", "+5:p", "123456:p", "5x:p"})
    EXPECT_THROW(meridia::parseServiceBinding(bad, port, principal), ofw::SystemException) << bad;
}

struct LoadCase {
  const char* name;
  const char* by;  // "guid", "id" or "name"
  const char* key;
  const char* id;         // expected id, or nullptr when the load fails
  const char* error;      // expected start of the error
  size_t instances;
};

class InstallationLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(InstallationLoad, FindsAndChecksTheObject) {
  const LoadCase& c = GetParam();
  discoverytest::DirectoryFixture directory;
  InstallationInfo info(directory.loader());
  if (std::string(c.by) == "guid") info.setGuid(ofw::Guid::fromString(c.key));
  if (std::string(c.by) == "id") info.setId(c.key);
  if (std::string(c.by) == "name") info.setName(c.key);
  try {
    info.Load();
    ASSERT_NE(c.id, nullptr) << "loaded " << info.id();
    EXPECT_EQ(info.id(), c.id);
    EXPECT_EQ(info.instances().size(), c.instances);
  } catch (const ofw::Base_Exception& e) {
    ASSERT_EQ(c.id, nullptr) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, InstallationLoad,
    ::testing::Values(
        LoadCase{"ById", "id", "inst-0001", "inst-0001", "", 3},
        LoadCase{"ByNameIgnoringCase", "name", "lab", "inst-0002", "", 1},
        LoadCase{"ByGuid", "guid", kLabGuid, "inst-0002", "", 1},
        LoadCase{"FilterTextIsEscaped", "id", "inst-000*", nullptr, "No installation has InstallationId", 0},
        LoadCase{"UnknownGuid", "guid", kHqStore, nullptr, "Unable to find installation SCP with GUID", 0},
        LoadCase{"WrongVersion", "guid", "6b5a4938-2716-4054-9f3e-2d1c0b0a9988", nullptr,
                 "Object CN=Old Installation,CN=Vigilog,CN=Program Data,DC=example,DC=com doesn't have the "
                 "expected version Orvane.Meridia.Installation.1", 0},
        LoadCase{"MissingName", "id", "inst-half", nullptr,
                 "Object CN=Half Installation,CN=Vigilog,CN=Program Data,DC=example,DC=com is missing "
                 "InstallationName keyword", 0}),
    [](const ::testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

// The SCP front end for the fixture's host.
class ScpTest : public discoverytest::FixtureHost {
 protected:
  SCP& scp() {
    if (!scp_) {
      SCP::Options o = scpOptions();
      o.random = [this] { return random_.empty() ? 0u : random_[next_++ % random_.size()]; };
      o.clock = [this] { return now_; };
      o.reportState = [this](int state, const std::string&) { states_.push_back(state); };
      scp_.reset(new SCP(directory_.loader(), properties_, o));
    }
    return *scp_;
  }
  SCP::Collectors lookUp(int maxAge) {
    SCP::Collectors out;
    states_.clear();
    scp().getCollectors(maxAge, settings_.path(), out);
    return out;
  }

  std::vector<uint32_t> random_;
  size_t next_ = 0;
  double now_ = 1000;
  std::vector<int> states_;
  std::unique_ptr<SCP> scp_;
};

TEST_F(ScpTest, FreshLookUpsGiveTrustedCollectorsInRandomOrder) {
  random_ = {0, 0};
  SCP::Collectors first = lookUp(0);
  EXPECT_EQ(states_, (std::vector<int>{3, 5, 7}));
  EXPECT_EQ(first.state, 7);
  EXPECT_EQ(first.message, "");
  EXPECT_EQ(first.installationName, "DefaultInstallation");
  EXPECT_EQ(first.auditStoreName, "HQ Store");
  EXPECT_TRUE(first.agentSiteAffinity);
  EXPECT_EQ(hosts(first.endpoints),
            (std::vector<std::string>{"coll1.example.com", "coll2.example.com", "coll5.example.com"}));
  random_ = {5, 3};
  next_ = 0;
  EXPECT_EQ(hosts(lookUp(0).endpoints),
            (std::vector<std::string>{"coll5.example.com", "coll2.example.com", "coll1.example.com"}));
}

TEST(HostScope, ReadsThePropertyTheSettingsAndTheProbe) {
  discoverytest::LogCapture log;
  capi_test::TempDir dir;
  ofw::Properties properties;
  properties.setProperty("preferred.audit.store", "Store B");
  dir.write("kset.site", "HQ\n");
  dir.write("kset.forest", "example.com\n");
  auto probe = [] { return std::vector<uint32_t>{0x0a010203, 0xc0a80001}; };
  meridia::HostScope h = meridia::HostScope::Read(properties, dir.file("kset."), probe, ofw::getLogger("t"));
  EXPECT_EQ(h.preferredStore, "Store B");
  EXPECT_EQ(h.site, "HQ");
  EXPECT_EQ(h.forest, "example.com");
  EXPECT_EQ(h.domain, "");
  EXPECT_EQ(h.addresses, probe());
  EXPECT_EQ(log.countAt("WARN", "This machine does not join to any domain."), 1);
  EXPECT_EQ(log.countAt("WARN", "This machine does not belong to any"), 0);
}

struct CacheCase {
  const char* name;
  int maxAge;
  double advance;
  bool flush;
  bool fresh;
};

class ScpCache : public ScpTest, public ::testing::WithParamInterface<CacheCase> {};

// A second look-up after the directory lost a collector and the random
// source changed: a cached answer is the first one, order included.
TEST_P(ScpCache, AnswersFromTheCacheOnlyWhileYoungEnough) {
  const CacheCase& c = GetParam();
  random_ = {1};
  std::vector<std::string> first = hosts(lookUp(c.maxAge).endpoints);
  ASSERT_EQ(first.size(), 3u);
  directory_.edit("7A8B9C0D-1E2F-4A3B-8C4D-5E6F7A8B9C0D", "00000000-1E2F-4A3B-8C4D-5E6F7A8B9C0D");
  random_ = {0};
  now_ += c.advance;
  if (c.flush) scp().flush();
  SCP::Collectors second = lookUp(c.maxAge);
  EXPECT_EQ(second.state, 7);
  if (c.fresh) {
    EXPECT_EQ(hosts(second.endpoints), (std::vector<std::string>{"coll1.example.com", "coll2.example.com"}));
    EXPECT_EQ(states_, (std::vector<int>{3, 5, 7}));
  } else {
    EXPECT_EQ(hosts(second.endpoints), first);
    EXPECT_EQ(second.auditStoreName, "HQ Store");
    EXPECT_EQ(states_, (std::vector<int>{3, 7}));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ScpCache,
                         ::testing::Values(CacheCase{"Young", 120, 119.5, false, false},
                                           CacheCase{"Old", 120, 120, false, true},
                                           CacheCase{"AgeZero", 0, 0, false, true},
                                           CacheCase{"AgeNegative", -1, 0, false, true},
                                           CacheCase{"Flushed", 120, 0, true, true}),
                         [](const ::testing::TestParamInfo<CacheCase>& info) { return std::string(info.param.name); });

struct ConfigCase {
  const char* name;
  const char* id;      // vg.installation.id, nullptr = no file
  const char* policy;  // Registry.pol, nullptr = no file
  const char* site;
  uint32_t address;
  const char* editFrom;  // a change to the directory, nullptr = none
  const char* editTo;
  int state;
  const char* message;  // start of the message
  const char* store;
  const char* writtenId;  // vg.installation.id afterwards
};

class ScpConfiguration : public ScpTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ScpConfiguration, ReportsStateAndMessage) {
  const ConfigCase& c = GetParam();
  ASSERT_EQ(::unlink(settings_.file("vg.installation.id").c_str()), 0);
  if (c.id) writeSetting("vg.installation.id", c.id);
  if (c.policy) {
    settings_.write("Registry.pol", c.policy);
  }
  writeSetting("kset.site", c.site);
  addresses_ = {c.address};
  if (c.editFrom) directory_.edit(c.editFrom, c.editTo);
  SCP::Collectors out = lookUp(120);
  EXPECT_EQ(out.state, c.state);
  EXPECT_EQ(states_.back(), c.state);
  EXPECT_EQ(out.message.rfind(c.message, 0), 0u) << out.message;
  EXPECT_EQ(out.auditStoreName, c.store);
  EXPECT_EQ(out.endpoints.empty(), *c.message != '\0' || c.state != 7);
  EXPECT_EQ(capi_test::readFile(settings_.file("vg.installation.id")), c.writtenId);
}

const uint32_t kHq = 0x0a010203, kElsewhere = 0xac100001;
const std::string kLabPolicy = std::string("InstallationGuid=") + kLabGuid + "\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ScpConfiguration,
    ::testing::Values(
        ConfigCase{"DefaultInstallationWrittenBack", nullptr, nullptr, "x", kHq, nullptr, nullptr, 7, "", "HQ Store",
                   "inst-0001\n"},
        ConfigCase{"NotConfigured", nullptr, nullptr, "x", kHq, "InstallationName:DefaultInstallation",
                   "InstallationName:Prod", 4, "The Vigilog installation is not configured.", "", ""},
        ConfigCase{"PolicyWinsOverLocalId", "inst-0001", kLabPolicy.c_str(), "Lab", kElsewhere, nullptr, nullptr, 7,
                   "", "Lab Store", "inst-0002\n"},
        ConfigCase{"MalformedPolicy", "inst-0001", "InstallationGuid: x\n", "x", kHq, nullptr, nullptr, 4,
                   "Badly formatted policy: ", "", "inst-0001\n"},
        ConfigCase{"UnknownId", "inst-9999", nullptr, "x", kHq, nullptr, nullptr, 3,
                   "Unable to find an installation with ID inst-9999: ", "", "inst-9999\n"},
        ConfigCase{"OutOfScope", "inst-0001", nullptr, "Nowhere", kElsewhere, nullptr, nullptr, 6,
                   "The agent is not in the scope of any audit store", "", "inst-0001\n"},
        ConfigCase{"DirectoryDown", "inst-0001", nullptr, "x", kHq, "\"objects\"", "\"objectz\"", 3,
                   "Unable to find an installation with ID inst-0001: Unable to connect to kirad", "", "inst-0001\n"},
        ConfigCase{"NoScpForTheStore", "inst-0001", nullptr, "x", kHq, "HQ Store;InstanceGuid:7", "HQ Store;InstanceGuid:0",
                   7, "Unable to find any service information in Active Directory", "HQ Store", "inst-0001\n"}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

}  // namespace
