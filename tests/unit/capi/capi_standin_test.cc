// The directory client stand-in, called through the loader's function
// pointers the way the daemon calls the real library.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <set>
#include <thread>

#include "ofw/capi/capi_loader.h"
#include "ofw/format.h"
#include "tests/unit/capi/capi_test_util.h"

using capi_test::TempDir;
using ofw::CapiDynamicLoader;
using ofw::CapiObject;
using ofw::CapiSearch;
using ofw::CapiSession;

namespace {

const char* const kModuleGuid = "b839418a-75a5-4a2c-aec9-6039e6043a59";
const char* const kInstanceGuid = "7a8b9c0d-1e2f-4a3b-8c4d-5e6f7a8b9c0d";

class StandIn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { capi_ = new CapiDynamicLoader(capi_test::standinPath()); }
  static void TearDownTestSuite() {
    delete capi_;
    capi_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(capi_->isCapiCoreAvailable()) << capi_->getLoadError();
    env_.reset(new capi_test::DataFileEnv(dataPath()));
  }
  void TearDown() override { env_.reset(); }

  std::string dataPath() const { return dir_.file("directory.json"); }
  void writeData(const std::string& json) { dir_.write("directory.json", json); }
  void useExample() { writeData(capi_test::readFile(capi_test::exampleDataPath())); }

  const CapiDynamicLoader& capi() { return *capi_; }

  std::string str(OPW_SESSION s, OPW_OBJECT o, const char* name, int* rc = nullptr) {
    std::string value;
    int r = capi().getAttributeString(s, o, name, value);
    if (rc) *rc = r;
    return r == OPW_OK ? value : "<rc " + std::to_string(r) + ">";
  }
  std::vector<std::string> list(OPW_SESSION s, OPW_OBJECT o, const char* name) {
    std::vector<std::string> values;
    EXPECT_EQ(capi().getAttributeStringList(s, o, name, values), OPW_OK) << name;
    return values;
  }

  static CapiDynamicLoader* capi_;
  TempDir dir_;
  std::unique_ptr<capi_test::DataFileEnv> env_;
};

CapiDynamicLoader* StandIn::capi_ = nullptr;

// ---- Users ----------------------------------------------------------------------

TEST_F(StandIn, UserByNameReturnsTheFieldsOfAPasswdRecord) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  CapiObject user(capi());
  ASSERT_EQ(capi().opwLookupObjectByName(session.get(), "alice", "Person", user.out()), OPW_OK);
  EXPECT_EQ(str(session.get(), user.get(), "_UnixName"), "alice");
  EXPECT_EQ(str(session.get(), user.get(), "_GECOS"), "Alice Smith");
  EXPECT_EQ(str(session.get(), user.get(), "_HomeDirectory"), "/home/alice");
  EXPECT_EQ(str(session.get(), user.get(), "_LoginShell"), "/bin/bash");
  EXPECT_EQ(str(session.get(), user.get(), "_dn"), "CN=Alice Smith,CN=Users,DC=example,DC=com");
  EXPECT_EQ(str(session.get(), user.get(), "userPrincipalName"), "alice.smith@EXAMPLE.COM");
  EXPECT_EQ(str(session.get(), user.get(), "sAMAccountName"), "alice.smith");
  EXPECT_EQ(str(session.get(), user.get(), "_SID"), "S-1-5-21-1111111111-2222222222-3333333333-1104");
  EXPECT_EQ(str(session.get(), user.get(), "canonicalName"), "example.com/Users/Alice Smith");
  EXPECT_EQ(str(session.get(), user.get(), "_objectCategory"), "Person");
  long long uid = -1, gid = -1;
  EXPECT_EQ(capi().opwGetAttributeInt(session.get(), user.get(), "_Uid", &uid), OPW_OK);
  EXPECT_EQ(capi().opwGetAttributeInt(session.get(), user.get(), "_Gid", &gid), OPW_OK);
  EXPECT_EQ(uid, 10001);
  EXPECT_EQ(gid, 10000);
}

struct NameCase {
  const char* name;
  const char* objectClass;
  bool unixOnly;
  const char* expectedUnixName;  // null = not found
};

class UserByName : public StandIn, public ::testing::WithParamInterface<NameCase> {};

TEST_P(UserByName, MatchesUnixOrAccountName) {
  useExample();
  const NameCase& c = GetParam();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  if (c.unixOnly) {
    int32_t one = 1;
    ASSERT_EQ(capi().opwSetOption(session.get(), OPW_OPT_UNIX_ONLY, &one, sizeof one), OPW_OK);
  }
  CapiObject user(capi());
  int rc = capi().opwLookupObjectByName(session.get(), c.name, c.objectClass, user.out());
  if (c.expectedUnixName == nullptr) {
    EXPECT_EQ(rc, OPW_ERR_NOT_FOUND);
    EXPECT_EQ(user.get(), nullptr);
    return;
  }
  ASSERT_EQ(rc, OPW_OK);
  if (*c.expectedUnixName) {
    EXPECT_EQ(str(session.get(), user.get(), "_UnixName"), c.expectedUnixName);
  } else {
    EXPECT_EQ(str(session.get(), user.get(), "sAMAccountName"), "carol");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, UserByName,
    ::testing::Values(NameCase{"alice", "Person", false, "alice"},
                      NameCase{"alice.smith", "Person", false, "alice"},
                      NameCase{"ALICE.SMITH", "Person", false, "alice"},
                      NameCase{"alice.smith@example.com", "Person", false, "alice"},
                      NameCase{"Alice", "Person", false, nullptr},  // UNIX names keep their case
                      NameCase{"bob", "Person", false, "bob"},
                      NameCase{"carol", "Person", false, ""},  // no UNIX name
                      NameCase{"nobody", "Person", false, nullptr},
                      NameCase{"alice", "Group", false, nullptr},  // wrong class
                      NameCase{"alice", "Person", true, "alice"},
                      NameCase{"alice.smith", "Person", true, nullptr},
                      NameCase{"carol", "Person", true, nullptr},
                      NameCase{"", "Person", false, nullptr}));

struct UidCase {
  int idType;
  unsigned int id;
  int rc;
  const char* dn;
};

class UserByUid : public StandIn, public ::testing::WithParamInterface<UidCase> {};

TEST_P(UserByUid, FindsUsersAndGroupsById) {
  useExample();
  const UidCase& c = GetParam();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  CapiObject object(capi());
  ASSERT_EQ(capi().opwLookupObjectByUnixId(session.get(), c.idType, c.id, object.out()), c.rc);
  if (c.rc == OPW_OK) {
    EXPECT_EQ(str(session.get(), object.get(), "_dn"), c.dn);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ids, UserByUid,
    ::testing::Values(
        UidCase{OPW_UNIXID_USER, 10001, OPW_OK, "CN=Alice Smith,CN=Users,DC=example,DC=com"},
        UidCase{OPW_UNIXID_USER, 10002, OPW_OK, "CN=Bob Jones,CN=Users,DC=example,DC=com"},
        // Above INT_MAX: ids are unsigned 32-bit.
        UidCase{OPW_UNIXID_USER, 3000000000u, OPW_OK, "CN=Dave Large,OU=Engineering,DC=example,DC=com"},
        UidCase{OPW_UNIXID_USER, 10000, OPW_ERR_NOT_FOUND, ""},  // a group's id
        UidCase{OPW_UNIXID_USER, 0, OPW_ERR_NOT_FOUND, ""},
        UidCase{OPW_UNIXID_GROUP, 10000, OPW_OK, "CN=Unix Users,CN=Users,DC=example,DC=com"},
        UidCase{3, 10001, OPW_ERR_INVALID_ARG, ""}));

const char* const kAttributeData = R"({"objects": [{
  "_dn": "CN=Probe,DC=test,DC=local",
  "objectCategory": "Person",
  "_UnixName": "probe",
  "text": "first",
  "multi": ["one", "two", "three"],
  "number": 42,
  "negative": "-17",
  "bigUid": 4294967294,
  "tooBig": "99999999999999999999",
  "spaced": " 5",
  "notNumber": "12abc",
  "empty": [],
  "emptyText": ""
}]})";

enum class Getter { Str, Int, List };

struct AttributeCase {
  const char* label;
  Getter getter;
  const char* name;
  int rc;
  const char* text;      // Str: value; List: values joined by '|'
  long long number;      // Int
};

class AttributeGetter : public StandIn, public ::testing::WithParamInterface<AttributeCase> {};

TEST_P(AttributeGetter, ReadsFirstOrAllValues) {
  writeData(kAttributeData);
  const AttributeCase& c = GetParam();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  CapiObject object(capi());
  ASSERT_EQ(capi().opwLookupObjectByName(session.get(), "probe", "Person", object.out()), OPW_OK);
  OPW_SESSION s = session.get();
  OPW_OBJECT o = object.get();
  switch (c.getter) {
    case Getter::Str: {
      char* value = nullptr;
      ASSERT_EQ(capi().opwGetAttributeStr(s, o, c.name, &value), c.rc);
      if (c.rc == OPW_OK) {
        ASSERT_NE(value, nullptr);
        EXPECT_STREQ(value, c.text);
      } else {
        EXPECT_EQ(value, nullptr);
      }
      capi().opwFreeString(value);
      break;
    }
    case Getter::Int: {
      long long value = 12345;
      ASSERT_EQ(capi().opwGetAttributeInt(s, o, c.name, &value), c.rc);
      EXPECT_EQ(value, c.rc == OPW_OK ? c.number : 12345);  // untouched on failure
      break;
    }
    case Getter::List: {
      char** values = nullptr;
      size_t count = 99;
      ASSERT_EQ(capi().opwGetAttributeList(s, o, c.name, &values, &count), c.rc);
      if (c.rc != OPW_OK) {
        EXPECT_EQ(values, nullptr);
        EXPECT_EQ(count, 99u);
        break;
      }
      std::string joined;
      for (size_t i = 0; i < count; ++i) joined += (i ? "|" : "") + std::string(values[i]);
      EXPECT_EQ(values[count], nullptr);
      EXPECT_EQ(joined, c.text);
      capi().opwFreeStringList(values, count);
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Attributes, AttributeGetter,
    ::testing::Values(
        AttributeCase{"StrSingle", Getter::Str, "text", OPW_OK, "first", 0},
        AttributeCase{"StrNameIgnoresCase", Getter::Str, "TEXT", OPW_OK, "first", 0},
        AttributeCase{"StrOfListIsFirst", Getter::Str, "multi", OPW_OK, "one", 0},
        AttributeCase{"StrOfNumber", Getter::Str, "number", OPW_OK, "42", 0},
        AttributeCase{"StrEmptyText", Getter::Str, "emptyText", OPW_OK, "", 0},
        AttributeCase{"StrEmptyList", Getter::Str, "empty", OPW_ERR_NO_ATTRIBUTE, "", 0},
        AttributeCase{"StrMissing", Getter::Str, "absent", OPW_ERR_NO_ATTRIBUTE, "", 0},
        AttributeCase{"IntNumber", Getter::Int, "number", OPW_OK, "", 42},
        AttributeCase{"IntNegativeText", Getter::Int, "negative", OPW_OK, "", -17},
        AttributeCase{"IntAboveInt32", Getter::Int, "bigUid", OPW_OK, "", 4294967294LL},
        AttributeCase{"IntOverflow", Getter::Int, "tooBig", OPW_ERR_BAD_VALUE, "", 0},
        AttributeCase{"IntLeadingSpace", Getter::Int, "spaced", OPW_ERR_BAD_VALUE, "", 0},
        AttributeCase{"IntTrailingText", Getter::Int, "notNumber", OPW_ERR_BAD_VALUE, "", 0},
        AttributeCase{"IntOfText", Getter::Int, "text", OPW_ERR_BAD_VALUE, "", 0},
        AttributeCase{"IntEmptyText", Getter::Int, "emptyText", OPW_ERR_BAD_VALUE, "", 0},
        AttributeCase{"IntMissing", Getter::Int, "absent", OPW_ERR_NO_ATTRIBUTE, "", 0},
        AttributeCase{"ListInOrder", Getter::List, "multi", OPW_OK, "one|two|three", 0},
        AttributeCase{"ListOfSingle", Getter::List, "text", OPW_OK, "first", 0},
        AttributeCase{"ListEmpty", Getter::List, "empty", OPW_ERR_NO_ATTRIBUTE, "", 0},
        AttributeCase{"ListMissing", Getter::List, "absent", OPW_ERR_NO_ATTRIBUTE, "", 0}),
    [](const ::testing::TestParamInfo<AttributeCase>& info) { return info.param.label; });

std::string collectorFilter(const std::string& module, const std::string& instance) {
  return ofw::format("(&(%s=%s)(%s=%s:%s)(%s=%s:%s))", "Keywords", "Version:Orvane.Meridia.Server.1",
                     "Keywords", "ModuleGuid", module.c_str(), "Keywords", "InstanceGuid",
                     instance.c_str());
}

TEST_F(StandIn, CollectorSearchMatchesAllKeywordsAndReturnsRequestedAttributes) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  const char* attributes[] = {"Keywords", "ServiceBindingInformation", nullptr};
  CapiSearch search(capi());
  ASSERT_EQ(capi().opwLdapSearchOpen(session.get(), "$", collectorFilter(kModuleGuid, kInstanceGuid).c_str(),
                                     "", attributes, OPW_SCOPE_SUBTREE, OPW_NO_LIMIT, OPW_NO_LIMIT,
                                     search.out()),
            OPW_OK);
  std::vector<std::string> dns, bindings;
  for (;;) {
    CapiObject scp(capi());
    int rc = capi().opwLdapSearchNext(search.get(), scp.out());
    if (rc == OPW_ERR_NO_MORE_RESULTS) break;
    ASSERT_EQ(rc, OPW_OK);
    dns.push_back(str(session.get(), scp.get(), "_dn"));
    auto keywords = list(session.get(), scp.get(), "Keywords");
    EXPECT_EQ(keywords.size(), 6u);
    auto binding = list(session.get(), scp.get(), "ServiceBindingInformation");
    ASSERT_EQ(binding.size(), 1u);
    bindings.push_back(binding[0]);
    int rc2 = 0;
    str(session.get(), scp.get(), "objectCategory", &rc2);  // not asked for
    EXPECT_EQ(rc2, OPW_ERR_NO_ATTRIBUTE);
  }
  EXPECT_EQ(dns, (std::vector<std::string>{
                     "CN=Vigilog Collector,CN=COLL1,CN=Computers,DC=example,DC=com",
                     "CN=Vigilog Collector,CN=COLL2,CN=Computers,DC=example,DC=com"}));
  EXPECT_EQ(bindings, (std::vector<std::string>{"5063:vgcollector/coll1.example.com@EXAMPLE.COM",
                                                "5063:vgcollector/coll2.example.com@EXAMPLE.COM"}));
  // The end is reported again, not past the end.
  CapiObject after(capi());
  EXPECT_EQ(capi().opwLdapSearchNext(search.get(), after.out()), OPW_ERR_NO_MORE_RESULTS);
  size_t total = 0, returned = 0;
  EXPECT_EQ(capi().opwLdapSearchInfo(search.get(), &total, &returned), OPW_OK);
  EXPECT_EQ(total, 2u);
  EXPECT_EQ(returned, 2u);
  OPW_SESSION owner = nullptr;
  EXPECT_EQ(capi().opwLdapSearchHandle(search.get(), &owner), OPW_OK);
  EXPECT_EQ(owner, session.get());
}

struct DomainCase {
  const char* dn;
  int rc;
  const char* domain;
};

class DomainFromDN : public StandIn, public ::testing::WithParamInterface<DomainCase> {};

TEST_P(DomainFromDN, JoinsDcComponents) {
  const DomainCase& c = GetParam();
  std::string domain = "unchanged";
  EXPECT_EQ(capi().domainFromDN(c.dn, domain), c.rc) << c.dn;
  EXPECT_EQ(domain, c.rc == OPW_OK ? c.domain : "unchanged");
}

INSTANTIATE_TEST_SUITE_P(
    Dns, DomainFromDN,
    ::testing::Values(DomainCase{"CN=COLL1,CN=Computers,DC=example,DC=com", OPW_OK, "example.com"},
                      DomainCase{"cn=x,dc=Sub,dc=Example,dc=COM", OPW_OK, "Sub.Example.COM"},
                      DomainCase{"CN=Smith\\, Alice,OU=a\\2Cb,DC=corp, DC=local", OPW_OK, "corp.local"},
                      DomainCase{"CN=\"x,y\",DC=quoted,DC=test", OPW_OK, "quoted.test"},
                      DomainCase{"DC=solo", OPW_OK, "solo"},
                      DomainCase{"CN=x;DC=semi;DC=colon", OPW_OK, "semi.colon"},
                      DomainCase{"CN=x,OU=y", OPW_ERR_BAD_DN, ""},
                      DomainCase{"", OPW_ERR_BAD_DN, ""},
                      DomainCase{"CN=x,,DC=y", OPW_ERR_BAD_DN, ""},
                      DomainCase{"CN=x,DC=y,", OPW_ERR_BAD_DN, ""},
                      DomainCase{"CN=x,DC=", OPW_ERR_BAD_DN, ""},
                      DomainCase{"CN=x\\", OPW_ERR_BAD_DN, ""},
                      DomainCase{"CN=\"open,DC=y", OPW_ERR_BAD_DN, ""},
                      DomainCase{"=x,DC=y", OPW_ERR_BAD_DN, ""}));

struct AuditCase {
  const char* user;
  int rc;
  int level;
};

class AuditLevel : public StandIn, public ::testing::WithParamInterface<AuditCase> {};

TEST_P(AuditLevel, FromMapOrUserAttribute) {
  std::string json = capi_test::readFile(capi_test::exampleDataPath());
  // A user whose attribute holds no valid level.
  json.replace(json.find("\"auditLevel\": 0"), 15, "\"auditLevel\": \"sometimes\"");
  writeData(json);
  const AuditCase& c = GetParam();
  for (const std::string& path : {capi_test::standinPath(), capi_test::nocorePath()}) {
    CapiDynamicLoader loader(path);
    ASSERT_TRUE(loader.isAuditLevelAvailable()) << path;
    CapiSession session(loader);
    ASSERT_EQ(session.open(), OPW_OK);
    int level = -1;
    EXPECT_EQ(loader.opwGetAuditLevel(session.get(), c.user, &level), c.rc) << c.user << " " << path;
    EXPECT_EQ(level, c.rc == OPW_OK ? c.level : -1);
  }
}

INSTANTIATE_TEST_SUITE_P(Users, AuditLevel,
                         ::testing::Values(AuditCase{"bob", OPW_OK, 1},       // top-level map
                                           AuditCase{"alice", OPW_OK, 2},     // attribute by name
                                           AuditCase{"alice.smith", OPW_OK, 2},
                                           AuditCase{"dave", OPW_ERR_BAD_VALUE, 0},
                                           AuditCase{"carol", OPW_ERR_NO_ATTRIBUTE, 0},
                                           AuditCase{"nobody", OPW_ERR_NOT_FOUND, 0}));

// ---- Sessions and the data file ----------------------------------------------------

struct BadDataCase {
  const char* label;
  std::string content;  // "" with missing = true: no file at all
  bool missing;
};

class BadDataFile : public StandIn, public ::testing::WithParamInterface<BadDataCase> {};

TEST_P(BadDataFile, SessionOpenFails) {
  const BadDataCase& c = GetParam();
  if (!c.missing) writeData(c.content);
  OPW_SESSION session = nullptr;
  EXPECT_EQ(capi().opwSessionOpen(OPW_API_VERSION, OPW_DEFAULT_TIMEOUT, &session),
            OPW_ERR_NOT_CONNECTED);
  EXPECT_EQ(session, nullptr);
}

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

INSTANTIATE_TEST_SUITE_P(
    Files, BadDataFile,
    ::testing::Values(
        BadDataCase{"Missing", "", true},
        BadDataCase{"Empty", "", false},
        BadDataCase{"NotJson", "objects: none", false},
        BadDataCase{"Truncated", R"({"objects": [{"_dn": "DC=a"})", false},
        BadDataCase{"TrailingGarbage", R"({"objects": []} x)", false},
        BadDataCase{"NoObjects", R"({"auditLevels": {}})", false},
        BadDataCase{"ObjectNotObject", R"({"objects": ["DC=a"]})", false},
        BadDataCase{"NoDn", R"({"objects": [{"cn": "x"}]})", false},
        BadDataCase{"BadDn", R"({"objects": [{"_dn": "no equals sign"}]})", false},
        BadDataCase{"RepeatedDn", R"({"objects": [{"_dn": "CN=x,DC=a"}, {"_dn": "cn=X, dc=A"}]})", false},
        BadDataCase{"RepeatedAttribute", R"({"objects": [{"_dn": "DC=a", "cn": "x", "CN": "y"}]})", false},
        BadDataCase{"BadGuid", R"({"objects": [{"_dn": "DC=a", "_guid": "xyz"}]})", false},
        BadDataCase{"NestedValue", R"({"objects": [{"_dn": "DC=a", "x": {"y": 1}}]})", false},
        BadDataCase{"NulInValue", R"({"objects": [{"_dn": "DC=a", "x": "a\u0000b"}]})", false},
        BadDataCase{"BadAuditLevel", R"({"objects": [], "auditLevels": {"bob": 4}})", false},
        BadDataCase{"DeeplyNested", nested(100000), false}),
    [](const ::testing::TestParamInfo<BadDataCase>& info) { return info.param.label; });

TEST_F(StandIn, DirectoryGoingAwayAndComingBack) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  CapiObject user(capi());
  ASSERT_EQ(capi().opwLookupObjectByName(session.get(), "bob", "Person", user.out()), OPW_OK);

  ASSERT_EQ(::unlink(dataPath().c_str()), 0);
  CapiObject none(capi());
  EXPECT_EQ(capi().opwLookupObjectByName(session.get(), "bob", "Person", none.out()),
            OPW_ERR_NOT_CONNECTED);
  EXPECT_EQ(none.get(), nullptr);
  // An object already held stays readable.
  EXPECT_EQ(str(session.get(), user.get(), "_UnixName"), "bob");

  writeData("{ this is not json");
  EXPECT_EQ(capi().opwLookupObjectByName(session.get(), "bob", "Person", none.out()),
            OPW_ERR_NOT_CONNECTED);

  writeData(R"({"objects": [{"_dn": "CN=Eve,DC=x", "objectCategory": "Person", "_UnixName": "eve"}]})");
  EXPECT_EQ(capi().opwLookupObjectByName(session.get(), "bob", "Person", none.out()), OPW_ERR_NOT_FOUND);
  CapiObject eve(capi());
  ASSERT_EQ(capi().opwLookupObjectByName(session.get(), "eve", "Person", eve.out()), OPW_OK);
  EXPECT_EQ(str(session.get(), eve.get(), "_dn"), "CN=Eve,DC=x");
}

TEST_F(StandIn, ConcurrentLookupsWhileTheFileChanges) {
  auto version = [](int v) {
    return ofw::format(R"({"objects": [{"_dn": "CN=Alice,DC=x", "objectCategory": "Person",
      "_UnixName": "alice", "_Uid": 1001, "_GECOS": "v%d", "keywords": ["v%d-a", "v%d-b"]}]})",
                       v, v, v);
  };
  writeData(version(0));
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);

  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<long> lookups{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        CapiObject user(capi());
        int rc = capi().opwLookupObjectByUnixId(session.get(), OPW_UNIXID_USER, 1001, user.out());
        std::string gecos, keyword;
        std::vector<std::string> keywords;
        if (rc != OPW_OK ||
            capi().getAttributeString(session.get(), user.get(), "_GECOS", gecos) != OPW_OK ||
            capi().getAttributeStringList(session.get(), user.get(), "keywords", keywords) != OPW_OK ||
            keywords.size() != 2 || keywords[0] != gecos + "-a" || keywords[1] != gecos + "-b") {
          ++failures;
        }
        ++lookups;
      }
    });
  }
  for (int i = 1; i <= 200; ++i) {
    writeData(version(i));
    // Let the readers see most versions without depending on their speed.
    long seen = lookups.load();
    while (lookups.load() < seen + 3 && failures.load() == 0) std::this_thread::yield();
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  CapiObject user(capi());
  ASSERT_EQ(capi().opwLookupObjectByUnixId(session.get(), OPW_UNIXID_USER, 1001, user.out()), OPW_OK);
  EXPECT_EQ(str(session.get(), user.get(), "_GECOS"), "v200");
}

}  // namespace
