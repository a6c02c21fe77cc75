#include "server/ovs_secret_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using ovg::OvsSecretCache;

struct FakeClock {
  time_t now = 1000;
  std::function<time_t()> fn() {
    return [this] { return now; };
  }
};

TEST(OvsSecretCacheTest, StoresAndRefusesBadTexts) {
  OvsSecretCache cache(10, 60);
  EXPECT_TRUE(cache.insert("secret-1"));
  EXPECT_EQ(1u, cache.size());
  EXPECT_FALSE(cache.insert(""));
  EXPECT_TRUE(cache.insert(std::string(OvsSecretCache::kMaxSecretLength, 's')));
  EXPECT_FALSE(cache.insert(std::string(OvsSecretCache::kMaxSecretLength + 1, 's')));
  EXPECT_EQ(2u, cache.size());
  EXPECT_TRUE(cache.insert(std::string("with\0nul", 8)));
  EXPECT_EQ(3u, cache.size());
}

TEST(OvsSecretCacheTest, HoldsAtMostTheConfiguredNumber) {
  OvsSecretCache cache(3, 3600);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(cache.insert("s" + std::to_string(i)));
  EXPECT_EQ(3u, cache.size());
  OvsSecretCache none(0, 3600);
  EXPECT_FALSE(none.insert("s"));
  EXPECT_EQ(0u, none.size());
}

TEST(OvsSecretCacheTest, SameTextIsStoredOnce) {
  FakeClock clock;
  OvsSecretCache cache(10, 100, clock.fn());
  EXPECT_TRUE(cache.insert("same"));
  clock.now += 90;
  EXPECT_TRUE(cache.insert("same"));
  EXPECT_EQ(1u, cache.size());
  clock.now += 50;  // 140 after the first insert, 50 after the refresh
  EXPECT_EQ(0u, cache.clearExpired());
  EXPECT_EQ(1u, cache.size());
}

TEST(OvsSecretCacheTest, ExpiredEntriesAreDropped) {
  FakeClock clock;
  OvsSecretCache cache(10, 100, clock.fn());
  cache.insert("a");
  clock.now += 60;
  cache.insert("b");
  clock.now += 40;  // a is exactly 100 old: still kept
  EXPECT_EQ(0u, cache.clearExpired());
  clock.now += 1;
  EXPECT_EQ(1u, cache.clearExpired());
  EXPECT_EQ(1u, cache.size());
  clock.now += 100;
  // Inserting drops expired entries too.
  cache.insert("c");
  EXPECT_EQ(1u, cache.size());
  cache.clear();
  EXPECT_EQ(0u, cache.size());
}

TEST(OvsSecretCacheTest, ExpiredEntriesMakeRoomBeforeLiveOnes) {
  FakeClock clock;
  OvsSecretCache cache(2, 10, clock.fn());
  cache.insert("old");
  clock.now += 20;
  cache.insert("live");
  cache.insert("new");
  EXPECT_EQ(2u, cache.size());
  // "live" survived: with the limit lowered to 1 it is the oldest and goes.
  cache.setLimits(1, 10);
  EXPECT_EQ(1u, cache.size());
  cache.setLimits(5, -1);  // a negative lifetime keeps nothing
  EXPECT_EQ(0u, cache.size());
}

TEST(OvsSecretCacheTest, ConcurrentInsertsKeepTheBound) {
  OvsSecretCache cache(64, 3600);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&cache, t] {
      for (int i = 0; i < 2000; ++i) {
        cache.insert("t" + std::to_string(t) + "-" + std::to_string(i));
        if (i % 100 == 0) cache.clearExpired();
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(64u, cache.size());
}

}  // namespace
