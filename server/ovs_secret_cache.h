// Secrets that audit shells hand over (VGCacheOvsSecret). Opaque: never
// logged, never returned. Bounded in count and in age; every secret's memory
// is overwritten with zeros before it is released, whether it expired, was
// evicted, replaced or cleared.
#pragma once
#include <time.h>

#include <cstddef>
#include <functional>
#include <list>
#include <string>

#include "ofw/secure_bytes.h"
#include "ofw/threads/mutex.h"

namespace ovg {

class OvsSecretCache {
 public:
  static constexpr size_t kDefaultMaxEntries = 1000;
  static constexpr int kDefaultTimeToLive = 3600;   // seconds
  static constexpr size_t kMaxSecretLength = 65536;  // bytes

  // clock: seconds on a monotonic scale (tests); default CLOCK_MONOTONIC.
  explicit OvsSecretCache(size_t maxEntries = kDefaultMaxEntries,
                          int timeToLiveSeconds = kDefaultTimeToLive,
                          std::function<time_t()> clock = std::function<time_t()>());
  ~OvsSecretCache();
  OvsSecretCache(const OvsSecretCache&) = delete;
  OvsSecretCache& operator=(const OvsSecretCache&) = delete;

  // Stores the text (a text already held is refreshed). False for an empty
  // text, one longer than kMaxSecretLength, or a cache limited to 0 entries.
  // Expired entries are dropped first; when the cache is still full the
  // oldest entry is dropped.
  bool insert(const std::string& text);
  // Drops the expired entries (the scheduler's periodic duty); returns how many.
  size_t clearExpired();
  // Drops everything.
  void clear();
  size_t size() const;
  // New limits apply at once (entries beyond them are dropped).
  void setLimits(size_t maxEntries, int timeToLiveSeconds);

 private:
  struct Entry {
    ofw::SecureBytes bytes;
    time_t stored;
  };
  time_t now() const;
  size_t dropExpiredLocked(time_t now);
  void trimLocked(size_t limit);

  mutable ofw::Mutex mutex_;
  std::list<Entry> entries_;  // oldest first
  size_t maxEntries_;
  int ttl_;
  std::function<time_t()> clock_;
};

}  // namespace ovg
