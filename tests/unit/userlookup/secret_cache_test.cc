#include "server/ovs_secret_cache.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <string.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

// Every block this program releases through operator delete can be searched,
// just before it goes back to the allocator, for the bytes of a secret: a
// block still holding them was released unwiped. (These replacements serve the
// whole test program; they change nothing while no search is armed.)
namespace {
constexpr char kMarker[] = "ovs-secret-7f3a9c1e-not-wiped";
std::atomic<bool> gSearching{false};
std::atomic<int> gUnwiped{0};

void searchReleased(void* p) {
  if (!p || !gSearching.load(std::memory_order_relaxed)) return;
  if (memmem(p, malloc_usable_size(p), kMarker, sizeof kMarker - 1)) ++gUnwiped;
}
}  // namespace

// The replacement pair below allocates with malloc and frees with free; GCC
// cannot see that operator new and operator delete are replaced together and
// warns about every inlined gtest allocation.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Every unaligned form is replaced, so that no block is allocated by one
// allocator and released by another (a sanitizer build checks that).
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new(std::size_t n) {
  if (void* p = operator new(n, std::nothrow)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return operator new(n, std::nothrow); }
void operator delete(void* p) noexcept {
  searchReleased(p);
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

namespace {

using ovg::OvsSecretCache;

struct FakeClock {
  time_t now = 1000;
  std::function<time_t()> fn() {
    return [this] { return now; };
  }
};

TEST(OvsSecretCacheTest, StoresUpToTheLimitAndRefusesBadTexts) {
  OvsSecretCache cache(10, 60);
  EXPECT_TRUE(cache.insert("secret-1"));
  EXPECT_EQ(1u, cache.size());
  EXPECT_FALSE(cache.insert(""));
  EXPECT_TRUE(cache.insert(std::string(OvsSecretCache::kMaxSecretLength, 's')));
  EXPECT_FALSE(cache.insert(std::string(OvsSecretCache::kMaxSecretLength + 1, 's')));
  EXPECT_EQ(2u, cache.size());
  EXPECT_TRUE(cache.insert(std::string("with\0nul", 8)));
  EXPECT_EQ(3u, cache.size());
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(cache.insert("s" + std::to_string(i)));
  EXPECT_EQ(10u, cache.size());  // at most the configured number
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

// Every way a secret leaves the cache wipes its bytes before their memory is
// released.
struct DropCase {
  const char* name;
  std::function<void(std::unique_ptr<OvsSecretCache>&, FakeClock&, const std::string&)> drop;
};

class OvsSecretWipe : public ::testing::TestWithParam<DropCase> {};

TEST_P(OvsSecretWipe, DroppedSecretIsWipedBeforeRelease) {
  FakeClock clock;
  auto cache = std::make_unique<OvsSecretCache>(2, 100, clock.fn());
  const std::string secret = std::string(kMarker) + "-and-some-more-bytes";
  ASSERT_TRUE(cache->insert(secret));
  gUnwiped = 0;
  gSearching = true;
  GetParam().drop(cache, clock, secret);
  gSearching = false;
  EXPECT_EQ(gUnwiped.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, OvsSecretWipe,
    ::testing::Values(
        DropCase{"Expired",
                 [](std::unique_ptr<OvsSecretCache>& c, FakeClock& k, const std::string&) {
                   k.now += 101;
                   EXPECT_EQ(c->clearExpired(), 1u);
                 }},
        DropCase{"Evicted",
                 [](std::unique_ptr<OvsSecretCache>& c, FakeClock&, const std::string&) {
                   c->insert("b");
                   c->insert("c");
                   EXPECT_EQ(c->size(), 2u);
                 }},
        DropCase{"Replaced", [](std::unique_ptr<OvsSecretCache>& c, FakeClock&,
                                const std::string& s) { c->insert(s); }},
        DropCase{"Cleared", [](std::unique_ptr<OvsSecretCache>& c, FakeClock&, const std::string&) { c->clear(); }},
        DropCase{"LimitLowered",
                 [](std::unique_ptr<OvsSecretCache>& c, FakeClock&, const std::string&) {
                   c->setLimits(0, 100);
                   EXPECT_EQ(c->size(), 0u);
                 }},
        DropCase{"Destroyed", [](std::unique_ptr<OvsSecretCache>& c, FakeClock&, const std::string&) { c.reset(); }}),
    [](const ::testing::TestParamInfo<DropCase>& i) { return std::string(i.param.name); });

// The search finds a secret released unwiped.
TEST(OvsSecretWipeSearch, FindsAnUnwipedRelease) {
  char* plain = new char[sizeof kMarker + 16];
  memcpy(plain, kMarker, sizeof kMarker);
  gUnwiped = 0;
  gSearching = true;
  delete[] plain;
  gSearching = false;
  EXPECT_EQ(gUnwiped.load(), 1);
}

}  // namespace
