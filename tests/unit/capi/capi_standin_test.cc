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
  void writeData(const std::string& json) { ASSERT_TRUE(dir_.write("directory.json", json)); }
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
  // The DNs a search returns, in order; rc of the open in *rc.
  std::vector<std::string> searchDns(OPW_SESSION s, const char* location, const std::string& filter,
                                     const char* base = "", int scope = OPW_SCOPE_SUBTREE,
                                     const char* const* attributes = nullptr, int* rc = nullptr,
                                     int sizeLimit = OPW_NO_LIMIT) {
    std::vector<std::string> dns;
    CapiSearch search(capi());
    int r = capi().opwLdapSearchOpen(s, location, filter.c_str(), base, attributes, scope,
                                     sizeLimit, OPW_NO_LIMIT, search.out());
    if (rc) *rc = r;
    if (r != OPW_OK) return dns;
    for (;;) {
      CapiObject object(capi());
      int next = capi().opwLdapSearchNext(search.get(), object.out());
      if (next == OPW_ERR_NO_MORE_RESULTS) break;
      EXPECT_EQ(next, OPW_OK);
      if (next != OPW_OK) break;
      dns.push_back(str(s, object.get(), "_dn"));
    }
    return dns;
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

TEST_F(StandIn, UserBySid) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  CapiObject user(capi());
  ASSERT_EQ(capi().opwLookupObjectBySid(session.get(), "s-1-5-21-1111111111-2222222222-3333333333-1105",
                                        user.out()),
            OPW_OK);
  EXPECT_EQ(str(session.get(), user.get(), "_UnixName"), "bob");
  EXPECT_EQ(capi().opwLookupObjectBySid(session.get(), "S-1-5-21-1-2-3-9999", user.out()),
            OPW_ERR_NOT_FOUND);
}

// ---- Attribute getters -------------------------------------------------------------

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
  "flagTrue": true,
  "flagFalse": "FALSE",
  "flagOne": "1",
  "flagBad": "maybe",
  "empty": [],
  "emptyText": ""
}]})";

enum class Getter { Str, Int, Bool, List };

struct AttributeCase {
  const char* label;
  Getter getter;
  const char* name;
  int rc;
  const char* text;      // Str: value; List: values joined by '|'
  long long number;      // Int, Bool
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
    case Getter::Bool: {
      int value = 7;
      ASSERT_EQ(capi().opwGetAttributeBool(s, o, c.name, &value), c.rc);
      EXPECT_EQ(value, c.rc == OPW_OK ? c.number : 7);
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
        AttributeCase{"StrOfBool", Getter::Str, "flagTrue", OPW_OK, "TRUE", 0},
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
        AttributeCase{"BoolTrue", Getter::Bool, "flagTrue", OPW_OK, "", 1},
        AttributeCase{"BoolFalseText", Getter::Bool, "flagFalse", OPW_OK, "", 0},
        AttributeCase{"BoolOne", Getter::Bool, "flagOne", OPW_OK, "", 1},
        AttributeCase{"BoolBad", Getter::Bool, "flagBad", OPW_ERR_BAD_VALUE, "", 0},
        AttributeCase{"BoolMissing", Getter::Bool, "absent", OPW_ERR_NO_ATTRIBUTE, "", 0},
        AttributeCase{"ListInOrder", Getter::List, "multi", OPW_OK, "one|two|three", 0},
        AttributeCase{"ListOfSingle", Getter::List, "text", OPW_OK, "first", 0},
        AttributeCase{"ListEmpty", Getter::List, "empty", OPW_ERR_NO_ATTRIBUTE, "", 0},
        AttributeCase{"ListMissing", Getter::List, "absent", OPW_ERR_NO_ATTRIBUTE, "", 0}),
    [](const ::testing::TestParamInfo<AttributeCase>& info) { return info.param.label; });

TEST_F(StandIn, ObjectCategory) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  CapiObject user(capi());
  ASSERT_EQ(capi().opwLookupObjectByName(session.get(), "bob", "Person", user.out()), OPW_OK);
  int result = -1;
  EXPECT_EQ(capi().opwIsObjectCategory(session.get(), user.get(), "person", &result), OPW_OK);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(capi().opwIsObjectCategory(session.get(), user.get(), "Computer", &result), OPW_OK);
  EXPECT_EQ(result, 0);
}

// ---- Searches ---------------------------------------------------------------------

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

struct FilterCase {
  const char* label;
  std::string filter;
  std::vector<std::string> cns;  // first RDN values of the expected objects, in file order
};

class SearchFilter : public StandIn, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(SearchFilter, SelectsMatchingObjects) {
  useExample();
  const FilterCase& c = GetParam();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  int rc = -1;
  auto dns = searchDns(session.get(), "", c.filter, "", OPW_SCOPE_SUBTREE, nullptr, &rc);
  ASSERT_EQ(rc, OPW_OK) << c.filter;
  std::vector<std::string> cns;
  for (const std::string& dn : dns) {
    std::string first = dn.substr(3, dn.find(',') - 3);
    if (first == "Vigilog Collector") first += "@" + dn.substr(dn.find(',') + 4, 5);
    cns.push_back(first);
  }
  EXPECT_EQ(cns, c.cns) << c.filter;
}

INSTANTIATE_TEST_SUITE_P(
    Filters, SearchFilter,
    ::testing::Values(
        FilterCase{"BothCollectors", collectorFilter(kModuleGuid, kInstanceGuid),
                   {"Vigilog Collector@COLL1", "Vigilog Collector@COLL2"}},
        FilterCase{"GuidCaseIgnored", collectorFilter("B839418A-75A5-4A2C-AEC9-6039E6043A59", kInstanceGuid),
                   {"Vigilog Collector@COLL1", "Vigilog Collector@COLL2"}},
        FilterCase{"OtherModule", collectorFilter("00000000-75a5-4a2c-aec9-6039e6043a59", kInstanceGuid), {}},
        FilterCase{"OtherInstance", collectorFilter(kModuleGuid, "7a8b9c0d-1e2f-4a3b-8c4d-000000000000"), {}},
        FilterCase{"OneConditionFails",
                   "(&(Keywords=Version:Orvane.Meridia.Server.1)(Keywords=Site:Branch-Site))",
                   {"Vigilog Collector@COLL2"}},
        FilterCase{"SingleEquality", "(sAMAccountName=bob)", {"Bob Jones"}},
        FilterCase{"BareEquality", "_UnixName=alice", {"Alice Smith"}},
        FilterCase{"ObjectClassFallsBackToCategory", "(objectClass=Computer)", {"HOST1", "COLL1", "COLL2"}},
        FilterCase{"ObjectClassPresentWins", "(objectClass=user)", {"Alice Smith"}},
        FilterCase{"Presence", "(&(objectCategory=Person)(auditLevel=*))", {"Alice Smith", "Dave Large"}},
        FilterCase{"Substring", "(servicePrincipalName=HOST/coll*.example.com)", {"COLL1", "COLL2"}},
        FilterCase{"SubstringAny", "(canonicalName=*/Users/*White)", {"Carol White"}},
        FilterCase{"Or", "(|(_UnixName=bob)(_UnixName=dave))", {"Bob Jones", "Dave Large"}},
        FilterCase{"Not", "(&(objectCategory=Group)(!(_Gid=10000)))", {"Vigilog Collectors"}},
        FilterCase{"GreaterOrEqualIsNumeric", "(_Uid>=9999)", {"Alice Smith", "Bob Jones", "Dave Large"}},
        FilterCase{"EscapedValue", "(sAMAccountName=\\56igilog Collectors)", {"Vigilog Collectors"}},
        FilterCase{"EscapedKeyword", "(sAMAccountName=HOST1\\24)", {"HOST1"}},
        FilterCase{"EmptyAndIsTrue", "(&(objectCategory=Group)(&))", {"Unix Users", "Vigilog Collectors"}},
        FilterCase{"NoMatch", "(_UnixName=nobody)", {}}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return info.param.label; });

class BadFilter : public StandIn, public ::testing::WithParamInterface<std::string> {};

TEST_P(BadFilter, IsRefused) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  CapiSearch search(capi());
  EXPECT_EQ(capi().opwLdapSearchOpen(session.get(), "", GetParam().c_str(), "", nullptr,
                                     OPW_SCOPE_SUBTREE, 0, 0, search.out()),
            OPW_ERR_BAD_FILTER);
  EXPECT_EQ(search.get(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, BadFilter,
    ::testing::Values("", "(", ")", "(a=b", "(a=b))", "((a=b))", "(=b)", "(a)", "(a~b)", "(a=\\zz)",
                      "(a=\\4)", "(a=b\\)", "(a=(b))", "(&(a=b)x)", "(!(a=b)(c=d))", "(!)", "(a>=*)",
                      "(a b=c)", "a=b)",
                      [] {
                        std::string f;
                        for (int i = 0; i < 200; ++i) f += "(&";
                        f += "(a=b)";
                        for (int i = 0; i < 200; ++i) f += ")";
                        return f;
                      }()));

struct ScopeCase {
  const char* label;
  const char* location;
  const char* base;
  int scope;
  std::vector<std::string> dns;
};

class SearchScope : public StandIn, public ::testing::WithParamInterface<ScopeCase> {};

TEST_P(SearchScope, LimitsToBaseAndLocation) {
  useExample();
  const ScopeCase& c = GetParam();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  int rc = -1;
  auto dns = searchDns(session.get(), c.location, "(objectCategory=*)", c.base, c.scope, nullptr, &rc);
  ASSERT_EQ(rc, OPW_OK);
  EXPECT_EQ(dns, c.dns);
}

const std::string kHost1 = "CN=HOST1,CN=Computers,DC=example,DC=com";
const std::string kColl1 = "CN=COLL1,CN=Computers,DC=example,DC=com";
const std::string kColl2 = "CN=COLL2,CN=Computers,DC=example,DC=com";
const std::string kScp1 = "CN=Vigilog Collector,CN=COLL1,CN=Computers,DC=example,DC=com";
const std::string kScp2 = "CN=Vigilog Collector,CN=COLL2,CN=Computers,DC=example,DC=com";

INSTANTIATE_TEST_SUITE_P(
    Scopes, SearchScope,
    ::testing::Values(
        ScopeCase{"OneLevel", "", "CN=Computers,DC=example,DC=com", OPW_SCOPE_ONELEVEL,
                  {kHost1, kColl1, kColl2}},
        ScopeCase{"Subtree", "", "cn=computers, dc=EXAMPLE, dc=com", OPW_SCOPE_SUBTREE,
                  {kHost1, kColl1, kColl2, kScp1, kScp2}},
        ScopeCase{"BaseObject", "", "CN=COLL1,CN=Computers,DC=example,DC=com", OPW_SCOPE_BASE, {kColl1}},
        ScopeCase{"BaseOfMissingObject", "", "CN=Computers,DC=example,DC=com", OPW_SCOPE_BASE, {}},
        ScopeCase{"OtherDomain", "other.example.org", "", OPW_SCOPE_SUBTREE, {}},
        ScopeCase{"DomainLocation", "EXAMPLE.com", "CN=Computers,DC=example,DC=com",
                  OPW_SCOPE_ONELEVEL, {kHost1, kColl1, kColl2}}),
    [](const ::testing::TestParamInfo<ScopeCase>& info) { return info.param.label; });

TEST_F(StandIn, SizeLimitAndBadArguments) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  int rc = -1;
  auto dns = searchDns(session.get(), "", "(objectCategory=Computer)", "", OPW_SCOPE_SUBTREE, nullptr,
                       &rc, 2);
  ASSERT_EQ(rc, OPW_OK);
  EXPECT_EQ(dns, (std::vector<std::string>{kHost1, kColl1}));
  searchDns(session.get(), "", "(a=b)", "", 3, nullptr, &rc);
  EXPECT_EQ(rc, OPW_ERR_INVALID_ARG);
  searchDns(session.get(), "", "(a=b)", "", OPW_SCOPE_SUBTREE, nullptr, &rc, -1);
  EXPECT_EQ(rc, OPW_ERR_INVALID_ARG);
  searchDns(session.get(), "", "(a=b)", "CN=x,,DC=y", OPW_SCOPE_SUBTREE, nullptr, &rc);
  EXPECT_EQ(rc, OPW_ERR_BAD_DN);
}

TEST_F(StandIn, GlobalCatalogDownFailsOnlyThatLocation) {
  std::string json = capi_test::readFile(capi_test::exampleDataPath());
  json.replace(json.find("\"globalCatalog\": true"), 21, "\"globalCatalog\": false");
  writeData(json);
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  int rc = -1;
  searchDns(session.get(), "$", collectorFilter(kModuleGuid, kInstanceGuid), "", OPW_SCOPE_SUBTREE,
            nullptr, &rc);
  EXPECT_EQ(rc, OPW_ERR_NOT_CONNECTED);
  auto dns = searchDns(session.get(), "", collectorFilter(kModuleGuid, kInstanceGuid), "",
                       OPW_SCOPE_SUBTREE, nullptr, &rc);
  EXPECT_EQ(rc, OPW_OK);
  EXPECT_EQ(dns.size(), 2u);
  CapiObject object(capi());
  EXPECT_EQ(capi().opwLdapFetch(session.get(), "$", kColl1.c_str(), nullptr, object.out()),
            OPW_ERR_NOT_CONNECTED);
}

// ---- Fetch, domains, groups --------------------------------------------------------

struct FetchCase {
  const char* label;
  const char* location;
  std::string dn;
  int rc;
  const char* expectedDn;
};

class Fetch : public StandIn, public ::testing::WithParamInterface<FetchCase> {};

TEST_P(Fetch, FindsOneObject) {
  useExample();
  const FetchCase& c = GetParam();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  const char* attributes[] = {"servicePrincipalName", "DnsHostName", nullptr};
  CapiObject object(capi());
  ASSERT_EQ(capi().opwLdapFetch(session.get(), c.location, c.dn.c_str(), attributes, object.out()), c.rc);
  if (c.rc != OPW_OK) {
    EXPECT_EQ(object.get(), nullptr);
    return;
  }
  EXPECT_EQ(str(session.get(), object.get(), "_dn"), c.expectedDn);
}

INSTANTIATE_TEST_SUITE_P(
    Fetches, Fetch,
    ::testing::Values(
        FetchCase{"ByDn", "example.com", kColl1, OPW_OK, "CN=COLL1,CN=Computers,DC=example,DC=com"},
        FetchCase{"DnCaseAndSpaces", "", "cn=coll1 , cn=COMPUTERS,dc=example, dc=com", OPW_OK,
                  "CN=COLL1,CN=Computers,DC=example,DC=com"},
        FetchCase{"ByGuidTextOrder", "", "<GUID=3c4d5e6f70814293a4b5c6d7e8f90a1b>", OPW_OK,
                  "CN=COLL1,CN=Computers,DC=example,DC=com"},
        FetchCase{"GuidWithSpace", "", "<GUID=6f5e4d3c8170934 2a4b5c6d7e8f90a1b>", OPW_ERR_BAD_DN, ""},
        FetchCase{"ByGuidSwapped", "", "<GUID=6f5e4d3c81709342a4b5c6d7e8f90a1b>", OPW_OK,
                  "CN=COLL1,CN=Computers,DC=example,DC=com"},
        FetchCase{"BySid", "", "<SID=S-1-5-21-1111111111-2222222222-3333333333-1104>", OPW_OK,
                  "CN=Alice Smith,CN=Users,DC=example,DC=com"},
        FetchCase{"Unknown", "", "CN=COLL9,CN=Computers,DC=example,DC=com", OPW_ERR_NOT_FOUND, ""},
        FetchCase{"UnknownGuid", "", "<GUID=00000000000000000000000000000000>", OPW_ERR_NOT_FOUND, ""},
        FetchCase{"WrongDomain", "other.org", kColl1, OPW_ERR_NOT_FOUND, ""},
        FetchCase{"Garbage", "", "not a dn", OPW_ERR_BAD_DN, ""},
        FetchCase{"TrailingComma", "", kColl1 + ",", OPW_ERR_BAD_DN, ""},
        FetchCase{"Empty", "", "", OPW_ERR_NOT_FOUND, ""}),
    [](const ::testing::TestParamInfo<FetchCase>& info) { return info.param.label; });

TEST_F(StandIn, FetchReturnsOnlyRequestedAttributes) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  const char* attributes[] = {"servicePrincipalName", "DnsHostName", nullptr};
  CapiObject coll2(capi());
  ASSERT_EQ(capi().opwLdapFetch(session.get(), "example.com", kColl2.c_str(), attributes, coll2.out()),
            OPW_OK);
  int rc = 0;
  str(session.get(), coll2.get(), "DnsHostName", &rc);
  EXPECT_EQ(rc, OPW_ERR_NO_ATTRIBUTE);  // COLL2 has none: the host name comes from its principals
  EXPECT_EQ(list(session.get(), coll2.get(), "servicePrincipalName"),
            (std::vector<std::string>{"HOST/coll2.example.com", "HOST/COLL2"}));
  str(session.get(), coll2.get(), "sAMAccountName", &rc);
  EXPECT_EQ(rc, OPW_ERR_NO_ATTRIBUTE);
  EXPECT_EQ(str(session.get(), coll2.get(), "_objectCategory"), "Computer");
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

TEST_F(StandIn, GroupMembershipByMemberOrMemberOf) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  const char* attributes[] = {"DnsHostName", nullptr};  // membership must not depend on this
  struct Check {
    const std::string& computer;
    const char* group;
    int rc;
    int member;
  } checks[] = {
      {kColl1, "9c8b7a69-5847-4635-a241-302f1e0d9c8b", OPW_OK, 1},    // group's member list
      {kColl2, "{9C8B7A69-5847-4635-A241-302F1E0D9C8B}", OPW_OK, 1},  // computer's memberOf
      {kHost1, "9c8b7a69-5847-4635-a241-302f1e0d9c8b", OPW_OK, 0},
      {kColl1, "CN=Vigilog Collectors,CN=Users,DC=example,DC=com", OPW_OK, 1},
      {kColl2, "Vigilog Collectors", OPW_OK, 1},
      {kColl1, "Unix Users", OPW_OK, 0},
      {kColl1, "00000000-0000-0000-0000-000000000001", OPW_ERR_NOT_FOUND, -1},
      {kColl1, "No Such Group", OPW_ERR_NOT_FOUND, -1},
  };
  for (const Check& c : checks) {
    CapiObject computer(capi());
    ASSERT_EQ(capi().opwLdapFetch(session.get(), "", c.computer.c_str(), attributes, computer.out()),
              OPW_OK);
    int member = -1;
    EXPECT_EQ(capi().opwValidateUserGroup(session.get(), computer.get(), c.group, &member), c.rc)
        << c.computer << " " << c.group;
    EXPECT_EQ(member, c.member) << c.computer << " " << c.group;
  }
}

// ---- Audit levels ------------------------------------------------------------------

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
        BadDataCase{"TopLevelArray", "[]", false},
        BadDataCase{"NoObjects", R"({"auditLevels": {}})", false},
        BadDataCase{"ObjectsNotArray", R"({"objects": {}})", false},
        BadDataCase{"ObjectNotObject", R"({"objects": ["DC=a"]})", false},
        BadDataCase{"NoDn", R"({"objects": [{"cn": "x"}]})", false},
        BadDataCase{"EmptyDn", R"({"objects": [{"_dn": ""}]})", false},
        BadDataCase{"BadDn", R"({"objects": [{"_dn": "no equals sign"}]})", false},
        BadDataCase{"TwoDnValues", R"({"objects": [{"_dn": ["DC=a", "DC=b"]}]})", false},
        BadDataCase{"RepeatedDn", R"({"objects": [{"_dn": "CN=x,DC=a"}, {"_dn": "cn=X, dc=A"}]})", false},
        BadDataCase{"RepeatedAttribute", R"({"objects": [{"_dn": "DC=a", "cn": "x", "CN": "y"}]})", false},
        BadDataCase{"BadGuid", R"({"objects": [{"_dn": "DC=a", "_guid": "xyz"}]})", false},
        BadDataCase{"NestedValue", R"({"objects": [{"_dn": "DC=a", "x": {"y": 1}}]})", false},
        BadDataCase{"NestedList", R"({"objects": [{"_dn": "DC=a", "x": [["y"]]}]})", false},
        BadDataCase{"NullValue", R"({"objects": [{"_dn": "DC=a", "x": null}]})", false},
        BadDataCase{"FloatValue", R"({"objects": [{"_dn": "DC=a", "x": 1.5}]})", false},
        BadDataCase{"NulInValue", R"({"objects": [{"_dn": "DC=a", "x": "a\u0000b"}]})", false},
        BadDataCase{"BadAuditLevel", R"({"objects": [], "auditLevels": {"bob": 4}})", false},
        BadDataCase{"BadAuditLevelName", R"({"objects": [], "auditLevels": {"bob": "often"}})", false},
        BadDataCase{"BadGlobalCatalog", R"({"objects": [], "globalCatalog": "yes"})", false},
        BadDataCase{"DeeplyNested", nested(100000), false}),
    [](const ::testing::TestParamInfo<BadDataCase>& info) { return info.param.label; });

TEST_F(StandIn, SessionOpenChecksItsArguments) {
  useExample();
  OPW_SESSION session = nullptr;
  EXPECT_EQ(capi().opwSessionOpen(2, OPW_DEFAULT_TIMEOUT, &session), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(capi().opwSessionOpen(OPW_API_VERSION, OPW_DEFAULT_TIMEOUT, nullptr), OPW_ERR_INVALID_ARG);
  ASSERT_EQ(capi().opwSessionOpen(OPW_API_VERSION, OPW_DEFAULT_TIMEOUT, &session), OPW_OK);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(capi().opwSessionClose(session), OPW_OK);
}

TEST_F(StandIn, DataFileDirectoryIsRefused) {
  ASSERT_EQ(::mkdir(dataPath().c_str(), 0700), 0);
  OPW_SESSION session = nullptr;
  EXPECT_EQ(capi().opwSessionOpen(OPW_API_VERSION, OPW_DEFAULT_TIMEOUT, &session), OPW_ERR_NOT_CONNECTED);
  EXPECT_EQ(session, nullptr);
}

TEST_F(StandIn, SetOption) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  int32_t one = 1;
  int64_t wide = 1;
  EXPECT_EQ(capi().opwSetOption(session.get(), OPW_OPT_UNIX_ONLY, &one, 4), OPW_OK);
  EXPECT_EQ(capi().opwSetOption(session.get(), OPW_OPT_UNIX_ONLY, &wide, 8), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwSetOption(session.get(), 2, &one, 4), OPW_ERR_BAD_OPTION);
  EXPECT_EQ(capi().opwSetOption(session.get(), OPW_OPT_UNIX_ONLY, nullptr, 4), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().codeText(OPW_ERR_BAD_OPTION), "Unknown option");
}

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

TEST_F(StandIn, ObjectsAndSearchesOutliveTheirSession) {
  useExample();
  OPW_SESSION session = nullptr;
  ASSERT_EQ(capi().opwSessionOpen(OPW_API_VERSION, OPW_DEFAULT_TIMEOUT, &session), OPW_OK);
  CapiObject user(capi());
  ASSERT_EQ(capi().opwLookupObjectByName(session, "alice", "Person", user.out()), OPW_OK);
  CapiSearch search(capi());
  ASSERT_EQ(capi().opwLdapSearchOpen(session, "", "(objectCategory=Person)", "", nullptr,
                                     OPW_SCOPE_SUBTREE, 0, 0, search.out()),
            OPW_OK);
  ASSERT_EQ(capi().opwSessionClose(session), OPW_OK);
  EXPECT_EQ(str(nullptr, user.get(), "_GECOS"), "Alice Smith");
  CapiObject first(capi());
  ASSERT_EQ(capi().opwLdapSearchNext(search.get(), first.out()), OPW_OK);
  EXPECT_EQ(str(nullptr, first.get(), "_UnixName"), "alice");
}

TEST_F(StandIn, NullArgumentsAreRefused) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  OPW_SESSION s = session.get();
  CapiObject user(capi());
  ASSERT_EQ(capi().opwLookupObjectByName(s, "alice", "Person", user.out()), OPW_OK);
  OPW_OBJECT o = user.get();
  OPW_OBJECT out = nullptr;
  char* text = nullptr;
  char** values = nullptr;
  size_t count = 0;
  int flag = 0;
  EXPECT_EQ(capi().opwSessionClose(nullptr), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLookupObjectByName(nullptr, "alice", "Person", &out), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLookupObjectByName(s, nullptr, "Person", &out), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLookupObjectByName(s, "alice", "Person", nullptr), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLookupObjectByUnixId(s, OPW_UNIXID_USER, 10001, nullptr), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLookupObjectBySid(s, nullptr, &out), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwGetAttributeStr(s, nullptr, "_dn", &text), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwGetAttributeStr(s, o, nullptr, &text), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwGetAttributeStr(s, o, "_dn", nullptr), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwGetAttributeInt(s, o, "_Uid", nullptr), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwGetAttributeBool(s, nullptr, "x", &flag), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwGetAttributeList(s, o, "memberOf", nullptr, &count), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwGetAttributeList(s, o, "memberOf", &values, nullptr), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwIsObjectCategory(s, o, nullptr, &flag), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwValidateUserGroup(s, o, nullptr, &flag), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLdapSearchOpen(s, "", nullptr, "", nullptr, 2, 0, 0, nullptr), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLdapSearchNext(nullptr, &out), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLdapSearchInfo(nullptr, &count, &count), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLdapSearchClose(nullptr), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLdapSearchHandle(nullptr, &s), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwLdapFetch(s, "", nullptr, nullptr, &out), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwDomainFromDN(nullptr, &text), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwDomainFromDN("DC=a", nullptr), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwGetAuditLevel(s, nullptr, &flag), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(capi().opwGetAuditLevel(s, "bob", nullptr), OPW_ERR_INVALID_ARG);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(text, nullptr);
  capi().opwFreeObject(nullptr);
  capi().opwFreeString(nullptr);
  capi().opwFreeStringList(nullptr, 0);
}

TEST_F(StandIn, CodeTexts) {
  std::set<std::string> texts;
  for (int code = OPW_OK; code <= OPW_ERR_INTERNAL; ++code) {
    const char* text = capi().opwGetOpwCodeStr(code);
    ASSERT_NE(text, nullptr);
    EXPECT_STRNE(text, "Unknown error") << code;
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), static_cast<size_t>(OPW_ERR_INTERNAL + 1));  // all distinct
  EXPECT_STREQ(capi().opwGetOpwCodeStr(-1), "Unknown error");
  EXPECT_STREQ(capi().opwGetOpwCodeStr(INT_MAX), "Unknown error");
  EXPECT_EQ(capi().codeText(OPW_ERR_NO_MORE_RESULTS), "No more results");
}

// Look-ups on one session from several threads while the data file is
// replaced: every answer comes whole from one version of the file.
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

TEST_F(StandIn, ExampleDataFileIsValid) {
  useExample();
  CapiSession session(capi());
  ASSERT_EQ(session.open(), OPW_OK);
  int rc = -1;
  auto people = searchDns(session.get(), "$", "(objectCategory=Person)", "", OPW_SCOPE_SUBTREE,
                          nullptr, &rc);
  EXPECT_EQ(rc, OPW_OK);
  EXPECT_EQ(people.size(), 4u);
  auto scps = searchDns(session.get(), "$", "(objectCategory=serviceConnectionPoint)", "",
                        OPW_SCOPE_SUBTREE, nullptr, &rc);
  EXPECT_EQ(scps, (std::vector<std::string>{kScp1, kScp2}));
}

}  // namespace
