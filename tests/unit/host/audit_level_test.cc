#include "host/audit_level.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "ofw/capi/capi_loader.h"
#include "ofw/config/properties.h"
#include "unit/host/host_test_support.h"

namespace {

using namespace hosttest;

struct LevelText {
  std::string text;
  int level;
};

class StringToAuditLevel : public ::testing::TestWithParam<LevelText> {};

TEST_P(StringToAuditLevel, Converts) {
  EXPECT_EQ(GetParam().level, OVGStringToAuditLevel(GetParam().text.c_str())) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StringToAuditLevel,
    ::testing::Values(LevelText{"0", 0}, LevelText{"1", 1}, LevelText{"2", -1}, LevelText{"3", -1},
                      LevelText{"01", 1}, LevelText{"1a", -1}, LevelText{"-1", -1},
                      LevelText{"99999999999999999999", -1}, LevelText{"audit_if_possible", 0},
                      LevelText{"NO_AUDIT", 1}, LevelText{"Audit_Required", 2},
                      LevelText{"use_sysrights", 3}, LevelText{"not_set", -1}, LevelText{"", -1},
                      LevelText{"$", -1}, LevelText{" no_audit", -1},
                      LevelText{std::string(4096, '0'), 0}, LevelText{std::string(4097, '0'), -1},
                      LevelText{std::string(5000, 'a'), -1}));

class AuditLevelTest : public ::testing::Test {
 protected:
  void SetUp() override { InitAuditLevelContext(&ctx_, &props_); }
  void TearDown() override { FreeAuditLevelContext(&ctx_, true); }
  void set(const std::string& text) { props_.loadFromString(text); }
  int levelFor(const char* user) { return OVGGetOverrideAuditLevelForUser(&ctx_, user); }

  TempDir dir_;
  ofw::Properties props_;
  AuditLevelContext ctx_;
};

struct EntryCase {
  std::string entry;
  int rc;
  std::string name;
  int level;
  long uid;
  int type;
  int malformed;
};

class ParseUserProperty : public AuditLevelTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(ParseUserProperty, Parses) {
  set("nss.user.override.auditlevel = audit_required\n");
  const EntryCase& c = GetParam();
  std::unique_ptr<UserProperty> p(new UserProperty);
  p->auditLevel = -99;
  int rc = parseUserProperty(&ctx_, c.entry.c_str(), p.get());
  EXPECT_EQ(c.rc, rc) << c.entry;
  if (rc == 0) {
    EXPECT_EQ(c.name, p->name) << c.entry;
    EXPECT_EQ(c.level, p->auditLevel) << c.entry;
    EXPECT_EQ(c.uid, p->uid) << c.entry;
    EXPECT_EQ(c.type, p->userType) << c.entry;
    EXPECT_EQ(c.malformed, p->malformed) << c.entry;
  } else {
    EXPECT_EQ(-99, p->auditLevel) << "output untouched on failure";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ParseUserProperty,
    ::testing::Values(
        EntryCase{"bob:no_audit:1001:aduser", 0, "bob", 1, 1001, 2, 0},
        EntryCase{"bob::1001:aduser", 0, "bob", 2, 1001, 2, 0},          // empty level -> default
        EntryCase{"bob: :1001:aduser", 0, "bob", 2, 1001, 2, 0},         // spaces between ':'
        EntryCase{"  bob : use_sysrights ", 0, "bob", 3, -1, 1, 0},
        EntryCase{"bob", 0, "bob", 2, -1, 1, 0},
        EntryCase{"bob:2", 0, "bob", 2, -1, 1, 0},                       // "2" is no level
        EntryCase{"bob:1:42:localuser", 0, "bob", 1, 42, 1, 0},
        EntryCase{"bob:1:42:other", 0, "bob", 1, 42, 0, 0},
        EntryCase{"bob:0:x", 0, "bob", 0, -1, 1, 1},                     // bad uid
        EntryCase{"bob:0:4294967296", 0, "bob", 0, -1, 1, 1},            // uid out of range
        EntryCase{"bob:0::aduser", 0, "bob", 0, -1, 2, 1},               // "$" uid
        EntryCase{"bob:1:42:aduser:extra", 0, "bob", 1, 42, 2, 1},       // too many fields
        EntryCase{"1001", 0, "", 2, 1001, 1, 0},                         // a uid
        EntryCase{"4294967295", 0, "", 2, 4294967295L, 1, 0},
        EntryCase{"12ab", 0, "", 2, -1, 1, 1},
        EntryCase{"not_set", 0, "not_set", 2, -1, 1, 0},
        EntryCase{"", -22, "", 0, 0, 0, 0},
        EntryCase{":", -22, "", 0, 0, 0, 0},
        EntryCase{"   ", -22, "", 0, 0, 0, 0},
        EntryCase{std::string(4095, 'u'), 0, std::string(4095, 'u'), 2, -1, 1, 0},
        EntryCase{std::string(4096, 'u'), -22, "", 0, 0, 0, 0},
        EntryCase{std::string(4000, ':'), 0, "$", 2, -1, 0, 1}));

TEST_F(AuditLevelTest, ParseNullArgumentsAndDefaults) {
  UserProperty p;
  EXPECT_EQ(-22, parseUserProperty(&ctx_, nullptr, &p));
  EXPECT_EQ(-22, parseUserProperty(&ctx_, "bob", nullptr));
  // Without any level setting the override default is use_sysrights.
  ASSERT_EQ(0, parseUserProperty(&ctx_, "bob", &p));
  EXPECT_EQ(OVG_USE_SYSRIGHTS, p.auditLevel);
  // user.ignore.audit.level is used while the override level is not_set.
  set("user.ignore.audit.level = no_audit\n");
  ASSERT_EQ(0, parseUserProperty(&ctx_, "bob", &p));
  EXPECT_EQ(OVG_NO_AUDIT, p.auditLevel);
  set("nss.user.override.auditlevel = audit_if_possible\nuser.ignore.audit.level = no_audit\n");
  ASSERT_EQ(0, parseUserProperty(&ctx_, "bob", &p));
  EXPECT_EQ(OVG_AUDIT_IF_POSSIBLE, p.auditLevel);
  set("nss.user.override.auditlevel = bogus\n");
  ASSERT_EQ(0, parseUserProperty(&ctx_, "bob", &p));
  EXPECT_EQ(OVG_USE_SYSRIGHTS, p.auditLevel);
}

TEST_F(AuditLevelTest, ParseLogsMalformedAndRefusedEntries) {
  LogCapture log(dir_.file("log"));
  UserProperty p;
  ASSERT_EQ(0, parseUserProperty(&ctx_, "bob:1:x", &p));
  EXPECT_TRUE(log.contains("WARN: invalid list entry format>>> bob:1:x"));
  EXPECT_TRUE(log.contains("parsed user property: <bob>:no_audit:-1:1"));
  std::string longEntry(5000, 'z');
  EXPECT_EQ(-22, parseUserProperty(&ctx_, longEntry.c_str(), &p));
  EXPECT_TRUE(log.contains("WARN: Invalid input user property string parameter: "));
  EXPECT_TRUE(log.contains(" 4096"));
}

TEST_F(AuditLevelTest, SkipListWins) {
  LogCapture log(dir_.file("log"));
  set("vgsh.user.skiplist = alice, bob\n"
      "nss.user.override.userlist = bob:audit_required\n"
      "nss.user.override.auditlevel = audit_required\n"
      "nss.alt.zone.auditlevel = audit_required\n"
      "user.ignore = bob\n");
  EXPECT_EQ(OVG_NO_AUDIT, levelFor("bob"));
  EXPECT_TRUE(log.contains("user bob is in skip username list, It will not be audited."));
  EXPECT_TRUE(log.contains("User bob is in vgsh.user.skiplist list, use audit level no_audit"));
  EXPECT_EQ(OVG_AUDIT_REQUIRED, levelFor("carol"));
}

TEST_F(AuditLevelTest, NoUserGivesNoAudit) {
  set("nss.alt.zone.auditlevel = audit_required\nuser.ignore =\n");
  EXPECT_EQ(OVG_NO_AUDIT, levelFor(nullptr));
  EXPECT_EQ(OVG_NO_AUDIT, levelFor(""));
}

// Found with an empty level field: the override default; not found: the alt zone level.
TEST_F(AuditLevelTest, OverrideListEntriesAndUsersNotInIt) {
  LogCapture log(dir_.file("log"));
  set("nss.user.override.userlist = erin:no_audit, carol::1001:aduser\n"
      "nss.user.override.auditlevel = audit_if_possible\n"
      "nss.alt.zone.auditlevel = audit_required\nuser.ignore =\n");
  EXPECT_EQ(OVG_AUDIT_IF_POSSIBLE, levelFor("carol"));
  EXPECT_TRUE(log.contains("Reading auditlevel from <nss.user.override.userlist> list (default not_set)"));
  EXPECT_TRUE(log.contains("User carol found in nss.user.override.userlist list with audit level audit_if_possible"));
  EXPECT_TRUE(log.contains("user carol found, effective audit level: audit_if_possible"));
  EXPECT_EQ(OVG_AUDIT_REQUIRED, levelFor("frank"));
  EXPECT_TRUE(log.contains("User frank not found in nss.user.override.userlist list, use alt zone audit level audit_required"));
  EXPECT_EQ(OVG_NO_AUDIT, levelFor("erin"));
}

TEST_F(AuditLevelTest, NoListsGiveAltZoneLevel) {
  LogCapture log(dir_.file("log"));
  set("user.ignore =\n");
  EXPECT_EQ(OVG_USE_SYSRIGHTS, levelFor("dave"));
  EXPECT_TRUE(log.contains("Reading auditlevel from <user.ignore> list (default file:/etc/orvanepw/user.ignore)"));
  EXPECT_TRUE(log.contains("No user.ignore list value for checking user dave OR uid 4294967295, use alt zone audit level use_sysrights"));
  EXPECT_TRUE(log.contains("No user.ignore list value for checking conflicting user dave"));
  EXPECT_TRUE(log.contains("user dave not found, effective audit level: use_sysrights"));

  set("user.ignore =\nnss.alt.zone.auditlevel = audit_required\n");
  EXPECT_EQ(OVG_AUDIT_REQUIRED, levelFor("dave"));
  set("user.ignore =\nnss.alt.zone.auditlevel = nonsense\n");
  EXPECT_EQ(OVG_USE_SYSRIGHTS, levelFor("dave"));
  // An override list of "not_set" counts as no override list.
  set("user.ignore =\nnss.user.override.userlist = NOT_SET\nnss.alt.zone.auditlevel = no_audit\n");
  EXPECT_EQ(OVG_NO_AUDIT, levelFor("dave"));
}

struct ConflictCase {
  std::string extra;
  int level;
};

class ConflictLevel : public AuditLevelTest, public ::testing::WithParamInterface<ConflictCase> {};

TEST_P(ConflictLevel, UserInDirectoryAndIgnoreList) {
  LogCapture log(dir_.file("log"));
  // gina gets use_sysrights from the override list and is also in user.ignore.
  set("nss.user.override.userlist = gina:use_sysrights\nuser.ignore = x, gina:no_audit\n" +
      GetParam().extra);
  EXPECT_EQ(GetParam().level, levelFor("gina"));
  EXPECT_TRUE(log.contains("conflicting user gina found in user.ignore list, apply conflict audit level to " +
                           std::string(OVGAuditLevelToString(GetParam().level))));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ConflictLevel,
    ::testing::Values(ConflictCase{"", OVG_AUDIT_IF_POSSIBLE},
                      ConflictCase{"nss.audit.compat = true\n", OVG_USE_SYSRIGHTS},
                      ConflictCase{"nss.audit.compat = false\n", OVG_AUDIT_IF_POSSIBLE},
                      ConflictCase{"nss.user.conflict.auditlevel = audit_required\n", OVG_AUDIT_REQUIRED},
                      ConflictCase{"nss.user.conflict.auditlevel = use_sysrights\n", OVG_AUDIT_IF_POSSIBLE},
                      ConflictCase{"nss.user.conflict.auditlevel = junk\n", OVG_AUDIT_IF_POSSIBLE},
                      ConflictCase{"nss.user.conflict.auditlevel = 1\nnss.audit.compat = yes\n",
                                   OVG_USE_SYSRIGHTS}));

TEST_F(AuditLevelTest, IgnoreListAsLevelListWithConflict) {
  // No override list: user.ignore assigns the level and, at use_sysrights,
  // is also the conflict list.
  set("user.ignore = hank, ivan:no_audit\n");
  EXPECT_EQ(OVG_AUDIT_IF_POSSIBLE, levelFor("hank"));
  EXPECT_EQ(OVG_NO_AUDIT, levelFor("ivan"));
  set("user.ignore = hank\nnss.audit.compat = true\n");
  EXPECT_EQ(OVG_USE_SYSRIGHTS, levelFor("hank"));
}

TEST_F(AuditLevelTest, FirstMatchingEntryWinsAndBadEntriesAreSkipped) {
  LogCapture log(dir_.file("log"));
  set("nss.user.override.userlist = not_set, :, jo:no_audit, jo:audit_required\nuser.ignore =\n");
  EXPECT_EQ(OVG_NO_AUDIT, levelFor("jo"));
  EXPECT_TRUE(log.contains("WARNING: bad record read from nss.user.override.userlist list: not_set"));
  EXPECT_TRUE(log.contains("WARN: OVGGetOverrideAuditLevelForUser: no user property for jo or uid 4294967295 from parseUserProperty for list nss.user.override.userlist!!"));
}

TEST_F(AuditLevelTest, UidEntriesNeverMatchNames) {
  set("nss.user.override.userlist = 1001:no_audit\nnss.alt.zone.auditlevel = audit_required\nuser.ignore =\n");
  EXPECT_EQ(OVG_AUDIT_REQUIRED, levelFor("1001"));
}

TEST_F(AuditLevelTest, LevelListFromFileReference) {
  std::string list = dir_.file("levels");
  writeFile(list, "# levels\nkim:no_audit\nlee:audit_required\n", 0644);
  const std::string config = "nss.user.override.userlist = file:" + list + "\nuser.ignore =\nnss.alt.zone.auditlevel = audit_if_possible\n";
  set(config);
  EXPECT_EQ(OVG_NO_AUDIT, levelFor("kim"));
  EXPECT_EQ(OVG_AUDIT_REQUIRED, levelFor("lee"));
  EXPECT_EQ(OVG_AUDIT_IF_POSSIBLE, levelFor("max"));
  ASSERT_EQ(0, chmod(list.c_str(), 0666));  // others may write it: refused
  set(config);
  EXPECT_EQ(OVG_AUDIT_IF_POSSIBLE, levelFor("kim"));
}

TEST_F(AuditLevelTest, UnreadableConfigurationLogsAndSkipsSkipList) {
  LogCapture log(dir_.file("log"));
  ofw::Properties missing(dir_.file("no-such.conf"));
  AuditLevelContext c;
  InitAuditLevelContext(&c, &missing);
  EXPECT_EQ(OVG_USE_SYSRIGHTS, OVGGetOverrideAuditLevelForUser(&c, "nobody-here"));
  EXPECT_TRUE(log.contains("Error in parsing " + dir_.file("no-such.conf") + " because file does not exist."));
  FreeAuditLevelContext(&c, true);
}

TEST_F(AuditLevelTest, NonBlockingUsersAndUids) {
  LogCapture log(dir_.file("log"));
  set("user.ignore = alice, bob:no_audit:77\nuid.ignore = 0, 1001, carl\n");
  EXPECT_TRUE(VGCIsNonBlockingUser(&ctx_, "alice"));
  EXPECT_TRUE(VGCIsNonBlockingUser(&ctx_, "bob"));
  EXPECT_FALSE(VGCIsNonBlockingUser(&ctx_, "carl"));
  EXPECT_FALSE(VGCIsNonBlockingUser(&ctx_, ""));
  EXPECT_FALSE(VGCIsNonBlockingUser(&ctx_, nullptr));
  EXPECT_TRUE(log.contains("VGCIsNonBlockingUser: user alice is non-blocking type."));
  EXPECT_TRUE(log.contains("VGCIsNonBlockingUser: user carl is blocking type."));

  EXPECT_TRUE(VGCIsNonBlockingUID(&ctx_, 0));
  EXPECT_TRUE(VGCIsNonBlockingUID(&ctx_, 1001));
  EXPECT_FALSE(VGCIsNonBlockingUID(&ctx_, 77)) << "uid.ignore is the uid list";
  EXPECT_FALSE(VGCIsNonBlockingUID(&ctx_, 4294967295L)) << "a name entry has no uid";
  EXPECT_TRUE(log.contains("VGCIsNonBlockingUID: uid 1001 is non-blocking type."));
  EXPECT_TRUE(log.contains("VGCIsNonBlockingUID: uid 77 is blocking type."));
}

TEST_F(AuditLevelTest, NonBlockingWithEmptyLists) {
  LogCapture log(dir_.file("log"));
  set("user.ignore =\nuid.ignore =\n");
  EXPECT_FALSE(VGCIsNonBlockingUser(&ctx_, "alice"));
  EXPECT_FALSE(VGCIsNonBlockingUID(&ctx_, 5));
  EXPECT_TRUE(log.contains("No user.ignore list value for checking user alice"));
  EXPECT_TRUE(log.contains("No uid.ignore list value for checking uid 5"));
}

TEST_F(AuditLevelTest, ReloadReadsTheFileAgain) {
  std::string conf = dir_.file("vgd.conf");
  writeFile(conf, "nss.alt.zone.auditlevel = no_audit\nuser.ignore =\n", 0600);
  ofw::Properties fromFile(conf);
  AuditLevelContext c;
  InitAuditLevelContext(&c, &fromFile);
  EXPECT_EQ(OVG_NO_AUDIT, OVGGetOverrideAuditLevelForUser(&c, "pat"));
  writeFile(conf, "nss.alt.zone.auditlevel = audit_required\nuser.ignore =\n", 0600);
  EXPECT_TRUE(VGCReloadAuditLevel(&fromFile));
  EXPECT_EQ(OVG_AUDIT_REQUIRED, OVGGetOverrideAuditLevelForUser(&c, "pat"));
  FreeAuditLevelContext(&c, true);
}

class DirectoryAuditLevel : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(data_,
              R"({"auditLevels": {"frank": "audit_required", "gail": 1},
                  "objects": [{"_dn": "CN=Hugo,DC=example,DC=com", "objectCategory": "Person",
                               "_UnixName": "hugo", "auditLevel": "no_audit"}]})");
    setenv("OPW_STANDIN_DATA", data_.c_str(), 1);
    props_.loadFromString("user.ignore =\n");
  }
  void TearDown() override { unsetenv("OPW_STANDIN_DATA"); }

  TempDir dir_;
  std::string data_ = dir_.file("directory.json");
  ofw::Properties props_;
  ofw::LoggerPtr logger_ = ofw::getLogger("test.auditlevel");
  ofw::CapiDynamicLoader loader_{VGD_BIN_DIR "/../lib/libcapi.so"};  // reads the data file at each session
};

TEST_F(DirectoryAuditLevel, AsksTheDirectoryForUseSysrights) {
  LogCapture log(dir_.file("log"));
  ASSERT_TRUE(loader_.isAuditLevelAvailable()) << loader_.getLoadError();
  EXPECT_EQ(OVG_AUDIT_REQUIRED, VGCGetAuditLevel(logger_, "frank", &props_, &loader_));
  EXPECT_TRUE(log.contains("Get audit level for user frank from kirad successfully: audit_required."));
  EXPECT_EQ(OVG_NO_AUDIT, VGCGetAuditLevel(logger_, "gail", &props_, &loader_));
  EXPECT_EQ(OVG_NO_AUDIT, VGCGetAuditLevel(logger_, "hugo", &props_, &loader_));
  // Unknown to the directory: the level stays use_sysrights.
  EXPECT_EQ(OVG_USE_SYSRIGHTS, VGCGetAuditLevel(logger_, "ivy", &props_, &loader_));
  EXPECT_TRUE(log.contains("CAPI failed to lookup audit level for user ivy."));
}

TEST_F(DirectoryAuditLevel, LocalLevelsOtherThanUseSysrightsNeverAskTheDirectory) {
  props_.loadFromString("user.ignore =\nnss.user.override.userlist = frank:audit_if_possible\n");
  EXPECT_EQ(OVG_AUDIT_IF_POSSIBLE, VGCGetAuditLevel(logger_, "frank", &props_, &loader_));
}

TEST_F(DirectoryAuditLevel, DirectoryDownKeepsUseSysrights) {
  LogCapture log(dir_.file("log"));
  unlink(data_.c_str());
  EXPECT_EQ(OVG_USE_SYSRIGHTS, VGCGetAuditLevel(logger_, "frank", &props_, &loader_));
  EXPECT_TRUE(log.contains("CAPI failed in session open for user frank."));
}

TEST_F(DirectoryAuditLevel, IncompleteAndMissingLibraries) {
  LogCapture log(dir_.file("log"));
  // Present but without its core: the audit-level call alone is enough.
  ofw::CapiDynamicLoader nocore(VGD_BIN_DIR "/../lib/libcapi_nocore.so");
  ASSERT_FALSE(nocore.isCapiCoreAvailable());
  EXPECT_EQ(OVG_AUDIT_REQUIRED, VGCGetAuditLevel(logger_, "frank", &props_, &nocore));
  // Not installed: nothing asked.
  ofw::CapiDynamicLoader missing(dir_.file("libcapi-missing.so"));
  EXPECT_EQ(OVG_USE_SYSRIGHTS, VGCGetAuditLevel(logger_, "frank", &props_, &missing));
  // Installed but without the audit-level call.
  std::string fake = dir_.file("libfake.so");
  writeFile(fake, "not a library");
  ofw::CapiDynamicLoader broken(fake);
  EXPECT_EQ(OVG_USE_SYSRIGHTS, VGCGetAuditLevel(logger_, "frank", &props_, &broken));
  EXPECT_TRUE(log.contains("CAPI does not support retrieving audit levels. Upgrade OPW to make it available."));
}

}  // namespace
