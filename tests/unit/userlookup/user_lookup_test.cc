#include "server/user_lookup.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/passwd_file.h"
#include "unit/host/host_test_support.h"

namespace {

using hosttest::LogCapture;
using hosttest::TempDir;
using hosttest::writeFile;
using ovg::PasswdDA;
using ovg::PasswdEntry;
using ovg::UserLookup;

const char* const kLibrary = VGD_BIN_DIR "/../lib/libcapi.so";
const char* const kNoCoreLibrary = VGD_BIN_DIR "/../lib/libcapi_nocore.so";

// A user record's seven fields, written as a passwd line.
template <class Record>
void expectFields(const Record& r, const std::string& line) {
  EXPECT_EQ(r.name + ":" + r.passwd + ":" + std::to_string(r.uid) + ":" + std::to_string(r.gid) + ":" + r.gecos +
                ":" + r.dir + ":" + r.shell,
            line);
}

std::string person(const std::string& unixName, long long uid, const std::string& extra = "") {
  return R"({"_dn": "CN=)" + unixName + R"(,CN=Users,DC=Example,DC=COM", "objectCategory": "Person",
            "_UnixName": ")" + unixName + R"(", "_Uid": )" + std::to_string(uid) +
         R"(, "_Gid": 20000, "_GECOS": "Directory )" + unixName + R"(",
            "_HomeDirectory": "/home/)" + unixName + R"(", "_LoginShell": "/bin/ksh")" + extra + "}";
}

std::string directory(const std::vector<std::string>& objects) {
  std::string text = R"({"objects": [)";
  for (size_t i = 0; i < objects.size(); ++i) text += (i ? "," : "") + objects[i];
  return text + "]}";
}

std::vector<std::string> baseObjects() {
  return {person("dirann", 20001,
                 R"(, "_SID": "S-1-5-21-1-2-3-1104", "sAMAccountName": "ann.dir",
                    "userPrincipalName": "ann.dir@EXAMPLE.COM")"),
          person("bob", 20002), person("carol", 30001),
          R"({"_dn": "CN=noupn,O=Org", "objectCategory": "Person", "_UnixName": "noupn",
              "_Uid": 20010, "_Gid": 1})",
          R"({"_dn": "CN=upnonly,O=Org", "objectCategory": "Person", "_UnixName": "upnonly",
              "_Uid": 20011, "_Gid": 1, "userPrincipalName": "upnonly@Sub.Example.ORG"})",
          R"({"_dn": "CN=baduid,DC=example,DC=com", "objectCategory": "Person",
              "_UnixName": "baduid", "_Uid": 4294967295, "_Gid": 1})"};
}

class UserLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(data_, directory(baseObjects()));
    writeFile(passwd_,
              "root:x:0:0:root:/root:/bin/bash\n"
              "bob:x:1002:100:Local Bob:/home/bob:/bin/sh\n"
              "carol:x:1003:100:Local Carol:/home/carol:/bin/sh\n"
              "local1:$6$hash:1100:100::/home/local1:/bin/sh\n");
    setenv("OPW_STANDIN_DATA", data_.c_str(), 1);
    props_.loadFromString("user.ignore =\nuid.ignore =\n");
  }
  void TearDown() override {
    lookup_.reset();
    loader_.reset();
    unsetenv("OPW_STANDIN_DATA");
  }
  UserLookup& make(const std::string& library = kLibrary) {
    lookup_.reset();
    loader_.reset(new ofw::CapiDynamicLoader(library));
    lookup_.reset(new UserLookup(*loader_, props_, passwd_));
    return *lookup_;
  }
  void addToDirectory(const std::string& object) {
    std::vector<std::string> objects = baseObjects();
    objects.push_back(object);
    writeFile(data_, directory(objects));
  }

  TempDir dir_;
  std::string data_ = dir_.file("directory.json");
  std::string passwd_ = dir_.file("passwd");
  ofw::Properties props_;
  std::unique_ptr<ofw::CapiDynamicLoader> loader_;
  std::unique_ptr<UserLookup> lookup_;
};

TEST_F(UserLookupTest, DirectoryUsersByNameAndUid) {
  LogCapture log(dir_.file("log"));
  UserLookup& ul = make();
  EXPECT_TRUE(ul.isDirectoryInstalled());
  EXPECT_TRUE(ul.isCapiSessionOpen());
  EXPECT_TRUE(ul.capiAuditLevelSupport());
  PasswdDA r;
  ASSERT_TRUE(ul.vgd_getpwnam("dirann", r, false));
  expectFields(r, "dirann:x:20001:20000:Directory dirann:/home/dirann:/bin/ksh");
  EXPECT_TRUE(r.flag);
  EXPECT_TRUE(log.contains("CAPI session successfully opened. (AuditLevel Support = 1)"));
  EXPECT_TRUE(log.contains("kirad_getpwnam cache miss for user dirann"));
  EXPECT_TRUE(log.contains("kirad_getpwnam asks kirad for user dirann"));
  EXPECT_TRUE(log.contains("kirad_getpwnam found user dirann. Add to cache."));
  EXPECT_TRUE(log.contains("vgd_getpwnam: user dirann found by asking kirad/cache."));

  PasswdDA byUid;
  ASSERT_TRUE(ul.vgd_getpwuid(20001, byUid, false));
  EXPECT_EQ("dirann", byUid.name);
  EXPECT_TRUE(log.contains("kirad_getpwuid cache hit for UID 20001"));
  ASSERT_TRUE(ul.vgd_getpwuid(30001, byUid, false));
  EXPECT_EQ("carol", byUid.name);
  EXPECT_TRUE(log.contains("kirad_getpwuid found UID 30001. Add to cache."));
  EXPECT_TRUE(log.contains("vgd_getpwuid: UID 30001 found by asking kirad."));
}

TEST_F(UserLookupTest, BadDirectoryRecordsAreNotUsers) {
  LogCapture log(dir_.file("log"));
  UserLookup& ul = make();
  PasswdDA r;
  EXPECT_FALSE(ul.kirad_getpwnam("baduid", r));
  EXPECT_TRUE(log.contains("Could not get attributes for user baduid"));
  EXPECT_EQ(0u, ul.userCache().size());
}

struct NegativeCase {
  bool byUid;
  const char* added;
  const char* hit;
  const char* asked;
  const char* notFound;
};

class NegativeCache : public UserLookupTest, public ::testing::WithParamInterface<NegativeCase> {
 protected:
  bool lookUp(UserLookup& ul, PasswdDA& r) {
    return GetParam().byUid ? ul.vgd_getpwuid(7777, r, false) : ul.vgd_getpwnam("late", r, false);
  }
};

// A miss is remembered: once the directory learns the user, the negative
// cache still answers until it is flushed.
TEST_P(NegativeCache, AnswersUntilFlushed) {
  const NegativeCase& c = GetParam();
  LogCapture log(dir_.file("log"));
  UserLookup& ul = make();
  auto& cache = c.byUid ? ul.negativeCache2() : ul.negativeCache1();
  PasswdDA r;
  EXPECT_FALSE(lookUp(ul, r));
  EXPECT_TRUE(log.contains(c.added));
  EXPECT_TRUE(log.contains(c.notFound));
  EXPECT_EQ(1u, cache.size());
  addToDirectory(person("late", 7777));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(lookUp(ul, r));
  EXPECT_EQ(3u, log.occurrences(c.hit));
  EXPECT_EQ(1u, log.occurrences(c.asked));
  cache.flush();
  ASSERT_TRUE(lookUp(ul, r));
  EXPECT_EQ("late", r.name);
}

INSTANTIATE_TEST_SUITE_P(
    ByUidAndName, NegativeCache,
    ::testing::Values(NegativeCase{true, "kirad_getpwuid cannot found UID 7777. Add to negative cache.",
                                   "kirad_getpwuid cache(-ve) hit for UID 7777",
                                   "kirad_getpwuid asks kirad for UID 7777", "vgd_getpwuid: UID 7777 not found"},
                      NegativeCase{false, "kirad_getpwnam cannot found user late. Add to negative cache.",
                                   "kirad_getpwnam cache(-ve) hit for user late",
                                   "kirad_getpwnam asks kirad for user late", "vgd_getpwam: user late not found"}));

// Names no user can have are answered "not found" without asking the
// directory and without a negative-cache entry: a client sending a million
// long made-up names never fills the daemon's memory with them.
TEST_F(UserLookupTest, OverlongNamesAreNeitherLookedUpNorCached) {
  LogCapture log(dir_.file("log"));
  UserLookup& ul = make();
  PasswdDA r;
  std::string longName(513, 'x');
  addToDirectory(person(longName, 7778));
  EXPECT_FALSE(ul.vgd_getpwnam(longName, r, false));
  EXPECT_FALSE(ul.vgd_getpwnam("", r, false));
  EXPECT_EQ(0u, ul.negativeCache1().size());
  EXPECT_EQ(0u, log.occurrences("kirad_getpwnam"));
  std::string longest(512, 'y');
  EXPECT_FALSE(ul.vgd_getpwnam(longest, r, false));
  EXPECT_EQ(1u, ul.negativeCache1().size()) << "a name of 512 bytes is still looked up";
}

TEST_F(UserLookupTest, WithoutNegativeCacheTheDirectoryIsAskedEveryTime) {
  LogCapture log(dir_.file("log"));
  UserLookup& ul = make();
  PasswdDA r;
  EXPECT_FALSE(ul.vgd_getpwuid(7777, r, false));
  props_.setProperty("negative.cache.enable", "no");  // switched off by a reload
  ul.loadCacheProp();
  EXPECT_FALSE(ul.vgd_getpwuid(7777, r, false));
  EXPECT_EQ(2u, log.occurrences("kirad_getpwuid asks kirad for UID 7777"));
  addToDirectory(person("late", 7777));
  EXPECT_TRUE(ul.vgd_getpwuid(7777, r, false));
  EXPECT_EQ(0u, ul.negativeCache2().size());
}

TEST_F(UserLookupTest, IgnoreListsKeepUsersAwayFromTheDirectory) {
  LogCapture log(dir_.file("log"));
  props_.loadFromString("user.ignore = dirann, bob\nuid.ignore = 30001\n");
  UserLookup& ul = make();
  PasswdDA r;
  EXPECT_FALSE(ul.vgd_getpwnam("dirann", r, false));
  EXPECT_TRUE(log.contains("kirad_getpwnam ignored user dirann, because the user appears in user ignore list."));
  ASSERT_TRUE(ul.vgd_getpwnam("bob", r, false));
  EXPECT_EQ(1002u, r.uid) << "the local bob, not the directory's";
  EXPECT_FALSE(ul.vgd_getpwuid(30001, r, false));
  EXPECT_TRUE(log.contains("kirad_getpwuid ignored UID 30001, because the uid appears in uid ignore list."));
  EXPECT_EQ(0u, log.occurrences("asks kirad"));
}

TEST_F(UserLookupTest, AtLocalhostReadsOnlyThePasswdFile) {
  LogCapture log(dir_.file("log"));
  UserLookup& ul = make();
  PasswdDA r;
  ASSERT_TRUE(ul.vgd_getpwnam("bob@localhost", r, false));
  EXPECT_EQ("bob", r.name);
  EXPECT_EQ(1002u, r.uid);
  EXPECT_FALSE(r.flag);
  EXPECT_TRUE(log.contains("vgd_getpwnam: username bob@localhost ends with @localhost, only look up user in passwd file."));
  EXPECT_TRUE(log.contains("passwd_getpwnam found user bob@localhost (trimmed: bob). Add to cache."));
  EXPECT_TRUE(log.contains("passwd_getpwnam: found bob@localhost, pw_name: bob"));
  EXPECT_EQ(0u, log.occurrences("asks kirad"));
  ASSERT_TRUE(ul.vgd_getpwnam("bob", r, false));
  EXPECT_EQ(20002u, r.uid) << "without the suffix the directory comes first";
  EXPECT_FALSE(ul.vgd_getpwnam("dirann@localhost", r, false));
}

TEST_F(UserLookupTest, LocalOnlyNeverReturnsDirectoryUsers) {
  UserLookup& ul = make();
  PasswdDA r;
  ASSERT_TRUE(ul.vgd_getpwnam("carol", r, false));
  EXPECT_EQ(30001u, r.uid);
  ASSERT_TRUE(ul.vgd_getpwnam("carol", r, true));
  EXPECT_EQ(1003u, r.uid);
  EXPECT_FALSE(r.flag);
  EXPECT_FALSE(ul.vgd_getpwnam("dirann", r, true));
  EXPECT_FALSE(ul.vgd_getpwuid(20001, r, true));
  ASSERT_TRUE(ul.vgd_getpwuid(1003, r, true));
  EXPECT_EQ("carol", r.name);
}

TEST_F(UserLookupTest, PasswdLookupsUseTheUserCache) {
  LogCapture log(dir_.file("log"));
  UserLookup& ul = make();
  PasswdDA r;
  ASSERT_TRUE(ul.passwd_getpwuid(1100, r));
  EXPECT_EQ("local1", r.name);
  EXPECT_EQ("$6$hash", r.passwd);
  EXPECT_FALSE(log.contains("$6$hash")) << "password fields are not logged";
  EXPECT_TRUE(log.contains("passwd_getpwuid found uid 1100. Add to cache."));
  writeFile(passwd_, "root:x:0:0:root:/root:/bin/bash\n");
  ASSERT_TRUE(ul.passwd_getpwnam("local1", r));
  EXPECT_TRUE(log.contains("passwd_getpwnam cache hit for user local1"));
  ASSERT_TRUE(ul.passwd_getpwuid(1100, r));
  EXPECT_TRUE(log.contains("passwd_getpwuid cache hit for UID 1100"));
  ul.flushCaches();
  EXPECT_FALSE(ul.passwd_getpwuid(1100, r));
  EXPECT_TRUE(log.contains("passwd_getpwuid: not found 1100"));
  EXPECT_FALSE(ul.passwd_getpwnam("local1@localhost", r));
  EXPECT_TRUE(log.contains("passwd_getpwnam: not found local1@localhost (trimmed: local1)"));
}

// Without the directory client, or with one lacking its core, only local users are found.
TEST_F(UserLookupTest, DirectoryNotInstalledOrIncomplete) {
  for (const std::string& library : {dir_.file("missing-libcapi.so"), std::string(kNoCoreLibrary)}) {
    UserLookup& ul = make(library);
    EXPECT_EQ(library == kNoCoreLibrary, ul.isDirectoryInstalled()) << library;
    EXPECT_FALSE(ul.initCAPI());
    EXPECT_FALSE(ul.isCapiSessionOpen());
    PasswdDA r;
    EXPECT_FALSE(ul.vgd_getpwnam("dirann", r, false));
    ASSERT_TRUE(ul.vgd_getpwnam("bob", r, false));
    EXPECT_EQ(1002u, r.uid);
    ASSERT_TRUE(ul.vgd_getpwuid(0, r, false));
    EXPECT_EQ("root", r.name);
    EXPECT_FALSE(ul.kirad_getpwnam("dirann", r));
    EXPECT_EQ("", ul.getUserSource("dirann"));
    std::string adName = "keep", sid = "keep";
    EXPECT_FALSE(ul.getUserAndSid("dirann", adName, sid));
    EXPECT_EQ("keep", adName);
    EXPECT_FALSE(ul.ping());
  }
}

// A directory that is down or lost proves nothing: no negative entry, and
// the session comes back with the directory.
TEST_F(UserLookupTest, DirectoryDownOrLostThenBack) {
  LogCapture log(dir_.file("log"));
  unlink(data_.c_str());
  UserLookup& ul = make();
  EXPECT_FALSE(ul.isCapiSessionOpen());
  PasswdDA r;
  EXPECT_FALSE(ul.kirad_getpwnam("dirann", r));
  EXPECT_TRUE(log.contains("CAPI session not open for user dirann."));
  writeFile(data_, directory(baseObjects()));
  ASSERT_TRUE(ul.kirad_getpwnam("dirann", r));
  EXPECT_TRUE(ul.isCapiSessionOpen());
  writeFile(data_, "{ not json");
  EXPECT_FALSE(ul.kirad_getpwuid(30001, r));
  EXPECT_TRUE(log.contains("CAPI failed to lookup UID 30001.  rc=3"));
  EXPECT_FALSE(ul.isCapiSessionOpen());
  EXPECT_EQ(0u, ul.negativeCache1().size() + ul.negativeCache2().size());
  writeFile(data_, directory(baseObjects()));
  ASSERT_TRUE(ul.kirad_getpwuid(30001, r));
  EXPECT_EQ("carol", r.name);
}

TEST_F(UserLookupTest, UserAndSid) {
  LogCapture log(dir_.file("log"));
  UserLookup& ul = make();
  std::string adName, sid;
  ASSERT_TRUE(ul.getUserAndSid("dirann", adName, sid));
  EXPECT_EQ("ann.dir", adName);
  EXPECT_EQ("S-1-5-21-1-2-3-1104", sid);
  EXPECT_TRUE(log.contains("getting ad info for user: dirann"));
  EXPECT_TRUE(log.contains("Lrpc2Shim::getUserAndSid() adName set using [ann.dir]"));
  EXPECT_TRUE(log.contains("result: True, name: ann.dir sid: S-1-5-21-1-2-3-1104"));
  adName = sid = "keep";
  EXPECT_FALSE(ul.getUserAndSid("ghost", adName, sid));
  EXPECT_EQ("keep", adName);
  EXPECT_EQ("keep", sid);
  EXPECT_TRUE(log.contains("Lrpc2Shim::getUserAndSid() unable to look up user object: "));
  // The UNIX-name option is set: the account name is no UNIX name.
  EXPECT_FALSE(ul.getUserAndSid("ann.dir", adName, sid));
  EXPECT_TRUE(ul.ping());
  EXPECT_TRUE(log.contains("ping result: True"));
}

TEST_F(UserLookupTest, UserSource) {
  UserLookup& ul = make();
  EXPECT_EQ("example.com", ul.getUserSource("dirann"));
  EXPECT_EQ("sub.example.org", ul.getUserSource("upnonly"));
  EXPECT_EQ("", ul.getUserSource("noupn"));
  EXPECT_EQ("", ul.getUserSource("ghost"));
  EXPECT_EQ("", ul.getUserSource(""));
}

struct EnableCase {
  std::string value;
  bool enabled;
};

class CacheEnable : public UserLookupTest, public ::testing::WithParamInterface<EnableCase> {};

TEST_P(CacheEnable, ParsesTheSwitches) {
  props_.setProperty("cache.enable", GetParam().value);
  props_.setProperty("negative.cache.enable", GetParam().value);
  UserLookup& ul = make(dir_.file("none.so"));
  EXPECT_EQ(GetParam().enabled, ul.userCache().isEnabled()) << GetParam().value;
  EXPECT_EQ(GetParam().enabled, ul.negativeCache1().isEnabled());
  EXPECT_EQ(GetParam().enabled, ul.negativeCache2().isEnabled());
}

INSTANTIATE_TEST_SUITE_P(Values, CacheEnable,
                         ::testing::Values(EnableCase{"maybe", true}, EnableCase{"", true},
                                           EnableCase{"TRUE", true}, EnableCase{"yes", true},
                                           EnableCase{"1", true}, EnableCase{"false", false},
                                           EnableCase{"No", false}, EnableCase{"0", false},
                                           EnableCase{"FALSE", false}));

TEST_F(UserLookupTest, CacheSizesAndLifetimes) {
  UserLookup& ul = make(dir_.file("none.so"));
  props_.setProperty("cache.time.to.live", "30");
  props_.setProperty("cache.max.size", "5");
  ul.loadCacheProp();
  for (ovg::PasswdCache* c : {&ul.userCache(), &ul.negativeCache1(), &ul.negativeCache2()}) {
    EXPECT_EQ(30, c->getTimeToLive());
    EXPECT_EQ(5, c->getCacheSize());
  }
  props_.setProperty("cache.max.size", "0");
  ul.loadCacheProp();
  EXPECT_FALSE(ul.userCache().isEnabled());
  PasswdDA r;
  ASSERT_TRUE(ul.vgd_getpwnam("bob", r, false));
  EXPECT_EQ(0u, ul.userCache().size());
  props_.setProperty("cache.max.size", "99999999999999");
  ul.loadCacheProp();
  EXPECT_EQ(2147483647, ul.userCache().getCacheSize());
}

TEST_F(UserLookupTest, HitAndMissTotals) {
  UserLookup& ul = make();
  PasswdDA r;
  ul.vgd_getpwnam("dirann", r, false);  // AD name: user miss, negative miss
  ul.vgd_getpwnam("dirann", r, false);  // AD name: user hit
  ul.vgd_getpwuid(1100, r, false);      // AD uid: two misses; local uid: miss
  ul.vgd_getpwuid(1100, r, false);      // AD uid: user miss (a local record), negative hit
                                        // (1100 is unknown to the directory); local uid hit
  auto counts = [](const ovg::PasswdCacheCounters& c) { return std::vector<uint64_t>{c.adName, c.adUid, c.localName, c.localUid}; };
  EXPECT_EQ(counts(ul.cacheHits()), (std::vector<uint64_t>{1, 1, 0, 1}));
  EXPECT_EQ(counts(ul.cacheMisses()), (std::vector<uint64_t>{2, 3, 0, 1}));
}

TEST_F(UserLookupTest, PasswdLockIsRecursive) {
  UserLookup& ul = make();
  ofw::Lock lock(ul.passwdLock());  // recursive: the look-ups may still run on this thread
  PasswdDA r;
  EXPECT_TRUE(ul.vgd_getpwnam("dirann", r, false));
}

TEST_F(UserLookupTest, ConcurrentLookups) {
  props_.setProperty("cache.max.size", "3");
  UserLookup& ul = make();
  std::atomic<int> wrong(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&ul, &wrong, t] {
      for (int i = 0; i < 300; ++i) {
        PasswdDA r;
        switch ((i + t) % 5) {
          case 0:
            if (!ul.vgd_getpwnam("dirann", r, false) || r.uid != 20001) ++wrong;
            break;
          case 1:
            if (!ul.vgd_getpwuid(30001, r, false) || r.name != "carol") ++wrong;
            break;
          case 2:
            if (!ul.vgd_getpwnam("carol", r, true) || r.uid != 1003) ++wrong;
            break;
          case 3:
            if (ul.vgd_getpwuid(static_cast<uint32_t>(50000 + i), r, false)) ++wrong;
            break;
          default:
            if (i % 50 == 0) ul.flushCaches();
            if (ul.vgd_getpwnam("ghost" + std::to_string(i % 7), r, false)) ++wrong;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_LE(ul.userCache().size(), 3u);
  EXPECT_LE(ul.negativeCache2().size(), 3u);
}

struct LineCase {
  std::string line;
  bool ok;
};

class PasswdLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(PasswdLine, Parses) {
  PasswdEntry e;
  e.name = "untouched";
  EXPECT_EQ(GetParam().ok, ovg::parsePasswdLine(GetParam().line, e)) << GetParam().line;
  if (!GetParam().ok) {
    EXPECT_EQ("untouched", e.name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PasswdLine,
    ::testing::Values(LineCase{"root:x:0:0:root:/root:/bin/bash", true},
                      LineCase{"a::1:2:::", true},
                      LineCase{"a:x:4294967294:0:g:/h:/s", true},
                      LineCase{"a:x:4294967295:0:g:/h:/s", false},  // (uid_t)-1
                      LineCase{"a:x:4294967296:0:g:/h:/s", false},
                      LineCase{"a:x:99999999999999999999:0:g:/h:/s", false},
                      LineCase{"a:x:-1:0:g:/h:/s", false},
                      LineCase{"a:x:1:0x:g:/h:/s", false},
                      LineCase{"a:x::0:g:/h:/s", false},
                      LineCase{"a:x:1:0:g:/h", false},               // six fields
                      LineCase{"a:x:1:0:g:/h:/s:extra", false},      // eight fields
                      LineCase{":x:1:0:g:/h:/s", false},
                      LineCase{"+a:x:1:0:g:/h:/s", false},
                      LineCase{"-a:x:1:0:g:/h:/s", false},
                      LineCase{"+", false},
                      LineCase{"", false},
                      LineCase{std::string("a:x:1:0:g\0:/h:/s", 16), false}));

TEST(PasswdLineTest, Fields) {
  PasswdEntry e;
  ASSERT_TRUE(ovg::parsePasswdLine("ann:pw:1001:100:Ann A,,,:/home/ann:/bin/zsh\r", e));
  expectFields(e, "ann:pw:1001:100:Ann A,,,:/home/ann:/bin/zsh");
}

TEST(PasswdFileTest, FindsFirstMatchAndSkipsJunk) {
  TempDir dir;
  std::string path = dir.file("passwd");
  std::string longLine = "long:x:500:500:" + std::string(70000, 'g') + ":/h:/s\n";
  writeFile(path,
            "# comment\n"
            "\n"
            "+::::::\n"
            "garbage line\n" +
                longLine +
                std::string("evil\0", 5) + "\n"
                "root:x:0:0:root:/root:/bin/bash\n"
                "ann:x:1001:100:Ann:/home/ann:/bin/sh\n"
                "ann:x:1002:100:Second:/home/ann2:/bin/sh\n"
                "toor:x:0:0:other root:/root:/bin/sh\n"
                "last:x:77:77:no newline:/home/last:/bin/sh");
  PasswdEntry e;
  ASSERT_EQ(0, ovg::CallFrmFileGetpwnam_r(path, "ann", e));
  EXPECT_EQ(1001u, e.uid);
  ASSERT_EQ(0, ovg::CallFrmFileGetpwuid_r(path, 0, e));
  EXPECT_EQ("root", e.name);
  ASSERT_EQ(0, ovg::CallFrmFileGetpwnam_r(path, "last", e));
  EXPECT_EQ(77u, e.uid);
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "long", e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwuid_r(path, 500, e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "evil", e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "evilroot", e)) << "a NUL never joins lines";
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "nobody", e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "", e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(path, "+", e));
  EXPECT_EQ(ENOENT, ovg::CallFrmFileGetpwnam_r(dir.file("missing"), "ann", e));
  EXPECT_EQ(EISDIR, ovg::CallFrmFileGetpwnam_r(dir.path(), "ann", e));
}

TEST(PasswdFileTest, AtLocalhost) {
  EXPECT_TRUE(ovg::EndsWithAtLocalhost("bob@localhost"));
  EXPECT_FALSE(ovg::EndsWithAtLocalhost("bob@localhost.example"));
  EXPECT_FALSE(ovg::EndsWithAtLocalhost("localhost"));
  EXPECT_TRUE(ovg::EndsWithAtLocalhost("@localhost"));
  EXPECT_EQ("bob", ovg::RemoveAtLocalhost("bob@localhost"));
  EXPECT_EQ("bob@localhost", ovg::RemoveAtLocalhost("bob@localhost@localhost"));
  EXPECT_EQ("", ovg::RemoveAtLocalhost("@localhost"));
  EXPECT_EQ("bob@LOCALHOST", ovg::RemoveAtLocalhost("bob@LOCALHOST"));
}

}  // namespace
