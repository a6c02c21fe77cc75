#include "server/passwd_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lrpc2/msg.h"
#include "server/passwd_da.h"
#include "support/test_support.h"

namespace {

using ovg::PasswdCache;
using ovg::PasswdDA;

PasswdDA user(const std::string& name, uint32_t uid, bool directory = false) {
  PasswdDA r;
  r.name = name;
  r.passwd = "x";
  r.uid = uid;
  r.gid = 100;
  r.gecos = name + " gecos";
  r.dir = "/home/" + name;
  r.shell = "/bin/sh";
  r.flag = directory;
  return r;
}

std::vector<uint64_t> counts(const ovg::PasswdCacheCounters& c) { return {c.adName, c.adUid, c.localName, c.localUid}; }

PasswdDA uidOnly(uint32_t uid) {
  PasswdDA r;
  r.uid = uid;
  r.flag = true;
  return r;
}

// The reply body: the type, then each field as a tag and its payload in host order.
TEST(PasswdDATest, ReplyEncodingInAnLrpc2Message) {
  using testsupport::u32;
  int status = -1;
  LRPC2Msg* msg = MsgNew(500, 0, nullptr, 0, &status);  // NSSGetPasswdDataByName
  ASSERT_NE(nullptr, msg) << status;
  PasswdDA r = user("bo", 1001);
  r.gecos = "";
  ASSERT_EQ(0, ovg::copyPasswdDAToReply(r, msg));
  ASSERT_EQ(0, MsgComplete(msg));
  size_t length = 0;
  const uint8_t* data = MsgGetData(msg, &length);
  auto text = [](const std::string& t) { return "\x04" + u32(t.size()) + t; };
  const std::string expected = testsupport::u16(500) + text("bo") + text("x") + "\x03" + u32(1001) + "\x03" +
                               u32(100) + text("") + text("/home/bo") + text("/bin/sh") + testsupport::bytes({1, 0, 0});
  EXPECT_EQ(testsupport::hex(std::string(reinterpret_cast<const char*>(data), length)), testsupport::hex(expected));
  MsgFree(msg);
}

TEST(PasswdCacheTest, FindsByNameAndUidAndCopies) {
  PasswdCache cache;
  cache.insert(user("ann", 1001));
  ASSERT_EQ(1u, cache.size());
  PasswdCache::Record byName = cache.findUsername("ann", ovg::PASSWD_LOCAL_USER);
  ASSERT_TRUE(byName);
  EXPECT_EQ(1001u, byName->uid);
  EXPECT_EQ("/home/ann", byName->dir);
  EXPECT_GE(byName->lruId, 0);
  PasswdCache::Record byUid = cache.findUID(1001, ovg::PASSWD_LOCAL_USER);
  ASSERT_TRUE(byUid);
  EXPECT_EQ("ann", byUid->name);
  byUid->name = "changed";  // a copy: the cache is untouched
  EXPECT_TRUE(cache.findUsername("ann", ovg::PASSWD_LOCAL_USER));
  EXPECT_FALSE(cache.findUsername("changed", ovg::PASSWD_ANY_USER));
  EXPECT_FALSE(cache.findUsername("bob", ovg::PASSWD_LOCAL_USER));
  EXPECT_FALSE(cache.findUID(7, ovg::PASSWD_LOCAL_USER));
}

TEST(PasswdCacheTest, UserTypeSelectsRecords) {
  PasswdCache cache;
  cache.insert(user("loc", 1, false));
  cache.insert(user("dir", 2, true));
  EXPECT_TRUE(cache.findUsername("loc", ovg::PASSWD_LOCAL_USER));
  EXPECT_FALSE(cache.findUsername("loc", ovg::PASSWD_AD_USER));
  EXPECT_TRUE(cache.findUsername("dir", ovg::PASSWD_AD_USER));
  EXPECT_FALSE(cache.findUsername("dir", ovg::PASSWD_LOCAL_USER));
  EXPECT_FALSE(cache.findUID(1, ovg::PASSWD_AD_USER));
  EXPECT_TRUE(cache.findUID(2, ovg::PASSWD_AD_USER));
  EXPECT_TRUE(cache.findUID(1, ovg::PASSWD_ANY_USER));
  EXPECT_EQ(2u, cache.size()) << "a type mismatch does not purge";
}

TEST(PasswdCacheTest, ExpiredRecordNeverReturnedHoweverRecentlyUsed) {
  PasswdCache cache(ovg::PASSWD_CACHE_USER, 600, 10);
  PasswdDA old = user("old", 5);
  old.created = time(nullptr) - 601;
  old.lastUsed = time(nullptr);
  cache.insert(old);
  EXPECT_FALSE(cache.findUsername("old", ovg::PASSWD_LOCAL_USER));
  EXPECT_EQ(0u, cache.size()) << "expired records are purged";

  PasswdDA aging = user("aging", 6);
  aging.created = time(nullptr) - 550;
  cache.insert(aging);
  ASSERT_TRUE(cache.findUsername("aging", ovg::PASSWD_LOCAL_USER));  // used just now
  ASSERT_TRUE(cache.findUID(6, ovg::PASSWD_LOCAL_USER));
  cache.setTimeToLive(500);
  EXPECT_FALSE(cache.findUID(6, ovg::PASSWD_LOCAL_USER));
  EXPECT_FALSE(cache.findUsername("aging", ovg::PASSWD_LOCAL_USER));
  EXPECT_EQ(0u, cache.size());
  cache.insert(user("new", 7));
  cache.setTimeToLive(-1);  // a negative lifetime keeps nothing
  EXPECT_FALSE(cache.findUID(7, ovg::PASSWD_LOCAL_USER));
}

TEST(PasswdCacheTest, LeastRecentlyUsedIsEvicted) {
  PasswdCache cache(ovg::PASSWD_CACHE_USER, 600, 3);
  cache.insert(user("a", 1));
  cache.insert(user("b", 2));
  cache.insert(user("c", 3));
  ASSERT_TRUE(cache.findUsername("a", ovg::PASSWD_LOCAL_USER));  // a becomes most recent
  cache.LruBookkeeping(user("b", 2));                          // then b
  cache.insert(user("d", 4));
  EXPECT_FALSE(cache.findUID(3, ovg::PASSWD_LOCAL_USER)) << "c was least recently used";
  EXPECT_TRUE(cache.findUID(1, ovg::PASSWD_LOCAL_USER));
  EXPECT_TRUE(cache.findUID(2, ovg::PASSWD_LOCAL_USER));
  EXPECT_TRUE(cache.findUID(4, ovg::PASSWD_LOCAL_USER));
  cache.purgeAnEntry();  // evicts a (used before b, d... in that order: a, b, d)
  EXPECT_EQ(2u, cache.size());
  EXPECT_FALSE(cache.findUID(1, ovg::PASSWD_LOCAL_USER));
  cache.purgeAnEntry(user("b", 999));  // by name
  cache.purgeAnEntry(user("zz", 4));   // by uid
  EXPECT_EQ(0u, cache.size());
  cache.purgeAnEntry();  // empty: nothing
}

class NonPositiveSize : public ::testing::TestWithParam<int> {};

TEST_P(NonPositiveSize, DisablesTheCache) {
  PasswdCache cache(ovg::PASSWD_CACHE_USER, 600, 10);
  cache.insert(user("a", 1));
  cache.setCacheSize(GetParam());
  EXPECT_FALSE(cache.isEnabled());
  EXPECT_EQ(0u, cache.size());
  cache.insert(user("b", 2));
  EXPECT_EQ(0u, cache.size());
  EXPECT_FALSE(cache.findUsername("b", ovg::PASSWD_LOCAL_USER));
  PasswdCache fresh(ovg::PASSWD_CACHE_NEGATIVE_UID, 600, GetParam());
  fresh.insert(uidOnly(3));
  EXPECT_EQ(0u, fresh.size());
  cache.setCacheSize(5);
  EXPECT_TRUE(cache.isEnabled());
  cache.insert(user("c", 3));
  EXPECT_EQ(1u, cache.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, NonPositiveSize, ::testing::Values(0, -1, -80000));

TEST(PasswdCacheTest, ShrinkingEvictsDownToTheNewSize) {
  PasswdCache cache(ovg::PASSWD_CACHE_USER, 600, 10);
  for (uint32_t i = 0; i < 10; ++i) cache.insert(user("u" + std::to_string(i), i));
  cache.setCacheSize(4);
  EXPECT_EQ(4u, cache.size());
  EXPECT_TRUE(cache.findUID(9, ovg::PASSWD_LOCAL_USER));
  EXPECT_FALSE(cache.findUID(5, ovg::PASSWD_LOCAL_USER));
}

TEST(PasswdCacheTest, ReinsertingANameWithANewUidLeavesNoStaleEntry) {
  PasswdCache cache(ovg::PASSWD_CACHE_USER, 600, 2);
  cache.insert(user("bob", 1001));
  cache.insert(user("bob", 2002));
  EXPECT_EQ(1u, cache.size());
  EXPECT_FALSE(cache.findUID(1001, ovg::PASSWD_LOCAL_USER));
  PasswdCache::Record r = cache.findUID(2002, ovg::PASSWD_LOCAL_USER);
  ASSERT_TRUE(r);
  EXPECT_EQ("bob", r->name);
  // A new name on a cached uid replaces the old name.
  cache.insert(user("robert", 2002));
  EXPECT_EQ(1u, cache.size());
  EXPECT_FALSE(cache.findUsername("bob", ovg::PASSWD_LOCAL_USER));
  // A record colliding with two cached records replaces both.
  cache.insert(user("carl", 3003));
  cache.insert(user("carl", 2002));
  EXPECT_EQ(1u, cache.size());
  EXPECT_FALSE(cache.findUsername("robert", ovg::PASSWD_LOCAL_USER));
  EXPECT_FALSE(cache.findUID(3003, ovg::PASSWD_LOCAL_USER));
  // The LRU map holds no stale entry either: filling up evicts real records only.
  cache.insert(user("dora", 4004));
  cache.insert(user("emil", 5005));
  EXPECT_EQ(2u, cache.size());
  EXPECT_TRUE(cache.findUID(4004, ovg::PASSWD_LOCAL_USER));
  EXPECT_TRUE(cache.findUID(5005, ovg::PASSWD_LOCAL_USER));
}

TEST(PasswdCacheTest, NegativeUidCacheStaysBounded) {
  PasswdCache cache(ovg::PASSWD_CACHE_NEGATIVE_UID, 600, 1000);
  for (uint32_t uid = 100000; uid < 200000; ++uid) {
    EXPECT_FALSE(cache.findUID(uid, ovg::PASSWD_AD_USER));
    cache.insert(uidOnly(uid));
    if (uid % 10000 == 0) {
      ASSERT_LE(cache.size(), 1000u);
    }
  }
  EXPECT_EQ(1000u, cache.size());
  EXPECT_TRUE(cache.findUID(199999, ovg::PASSWD_AD_USER));
  EXPECT_TRUE(cache.findUID(199000, ovg::PASSWD_AD_USER));
  EXPECT_FALSE(cache.findUID(198999, ovg::PASSWD_AD_USER));
  EXPECT_EQ(100001u, cache.misses().adUid);  // the loop's misses and the one above
}

TEST(PasswdCacheTest, NegativeCachesKeyOnlyWhatTheyHold) {
  PasswdCache names(ovg::PASSWD_CACHE_NEGATIVE_NAME, 600, 100);
  PasswdDA a, b;
  a.name = "ghost1";
  b.name = "ghost2";  // both uid 0
  names.insert(a);
  names.insert(b);
  EXPECT_EQ(2u, names.size());
  EXPECT_TRUE(names.findUsername("ghost1", ovg::PASSWD_ANY_USER));
  EXPECT_FALSE(names.findUID(0, ovg::PASSWD_ANY_USER));

  PasswdCache uids(ovg::PASSWD_CACHE_NEGATIVE_UID, 600, 100);
  uids.insert(uidOnly(5));
  uids.insert(uidOnly(6));  // both with an empty name
  EXPECT_EQ(2u, uids.size());
  EXPECT_FALSE(uids.findUsername("", ovg::PASSWD_ANY_USER));

  PasswdCache users;
  users.insert(uidOnly(5));  // a user record needs a name
  EXPECT_EQ(0u, users.size());
}

TEST(PasswdCacheTest, CountsHitsAndMissesByKind) {
  PasswdCache cache;
  cache.insert(user("loc", 1, false));
  cache.insert(user("dir", 2, true));
  cache.findUsername("loc", ovg::PASSWD_LOCAL_USER);  // local name hit
  cache.findUsername("nope", ovg::PASSWD_LOCAL_USER); // local name miss
  cache.findUsername("dir", ovg::PASSWD_AD_USER);     // AD name hit
  cache.findUID(2, ovg::PASSWD_AD_USER);              // AD uid hit
  cache.findUID(9, ovg::PASSWD_AD_USER);              // AD uid miss
  cache.findUID(1, ovg::PASSWD_LOCAL_USER);           // local uid hit
  cache.findUID(2, ovg::PASSWD_LOCAL_USER);           // local uid miss (type)
  // adName, adUid, localName, localUid
  EXPECT_EQ(counts(cache.hits()), (std::vector<uint64_t>{1, 1, 1, 1}));
  EXPECT_EQ(counts(cache.misses()), (std::vector<uint64_t>{0, 1, 1, 1}));
  cache.disable();
  cache.findUID(1, ovg::PASSWD_LOCAL_USER);
  EXPECT_EQ(3u, cache.misses().total()) << "a disabled cache counts nothing";
}

TEST(PasswdCacheTest, ConcurrentUseKeepsTheBound) {
  PasswdCache cache(ovg::PASSWD_CACHE_USER, 600, 50);
  std::atomic<bool> bad(false);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cache, &bad, t] {
      for (uint32_t i = 0; i < 5000; ++i) {
        uint32_t uid = (i * 7 + static_cast<uint32_t>(t)) % 120;
        cache.insert(user("u" + std::to_string(uid % 90), uid));
        PasswdCache::Record r = cache.findUID(uid, ovg::PASSWD_ANY_USER);
        if (r && r->uid != uid) bad = true;
        cache.findUsername("u" + std::to_string(i % 90), ovg::PASSWD_ANY_USER);
        if (i % 1000 == 0) cache.setCacheSize(50);
        if (cache.size() > 50) bad = true;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(bad);
  EXPECT_LE(cache.size(), 50u);
}

}  // namespace
