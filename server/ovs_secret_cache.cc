#include "server/ovs_secret_cache.h"

#include <string.h>

namespace ovg {

OvsSecretCache::OvsSecretCache(size_t maxEntries, int timeToLiveSeconds,
                               std::function<time_t()> clock)
    : maxEntries_(maxEntries), ttl_(timeToLiveSeconds), clock_(std::move(clock)) {}

OvsSecretCache::~OvsSecretCache() { clear(); }

time_t OvsSecretCache::now() const {
  if (clock_) return clock_();
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}

size_t OvsSecretCache::dropExpiredLocked(time_t t) {
  size_t dropped = 0;
  // A negative time-to-live keeps nothing.
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (ttl_ < 0 || t - it->stored > static_cast<time_t>(ttl_)) {
      it = entries_.erase(it);  // the allocator wipes the bytes
      ++dropped;
    } else {
      ++it;
    }
  }
  return dropped;
}

void OvsSecretCache::trimLocked(size_t limit) {
  while (entries_.size() > limit) entries_.pop_front();
}

bool OvsSecretCache::insert(const std::string& text) {
  if (text.empty() || text.size() > kMaxSecretLength) return false;
  ofw::Lock lock(mutex_);
  if (maxEntries_ == 0) return false;
  time_t t = now();
  dropExpiredLocked(t);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->bytes.size() == text.size() && memcmp(it->bytes.data(), text.data(), text.size()) == 0) {
      entries_.erase(it);
      break;
    }
  }
  trimLocked(maxEntries_ - 1);
  Entry entry;
  entry.bytes.assign(text.begin(), text.end());
  entry.stored = t;
  entries_.push_back(std::move(entry));
  return true;
}

size_t OvsSecretCache::clearExpired() {
  ofw::Lock lock(mutex_);
  return dropExpiredLocked(now());
}

void OvsSecretCache::clear() {
  ofw::Lock lock(mutex_);
  entries_.clear();
}

size_t OvsSecretCache::size() const {
  ofw::Lock lock(mutex_);
  return entries_.size();
}

void OvsSecretCache::setLimits(size_t maxEntries, int timeToLiveSeconds) {
  ofw::Lock lock(mutex_);
  maxEntries_ = maxEntries;
  ttl_ = timeToLiveSeconds;
  dropExpiredLocked(now());
  trimLocked(maxEntries_);
}

}  // namespace ovg
