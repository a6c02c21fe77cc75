#include "server/passwd_cache.h"

#include <cassert>

namespace ovg {

PasswdCache::PasswdCache(PasswdDACacheType type, int timeToLive, int maxSize)
    : ttl_(timeToLive), maxSize_(maxSize), type_(type),
      logger_(ofw::getLogger("ovg.vgd.ipcserver")) {}

void PasswdCache::enable() {
  ofw::Lock lock(mutex_);
  enabled_ = true;
}

void PasswdCache::disable() {
  ofw::Lock lock(mutex_);
  enabled_ = false;
  flushLocked();
}

bool PasswdCache::isEnabled() const {
  ofw::Lock lock(mutex_);
  return enabledLocked();
}

void PasswdCache::setTimeToLive(int seconds) {
  ofw::Lock lock(mutex_);
  ttl_ = seconds;
}

int PasswdCache::getTimeToLive() const {
  ofw::Lock lock(mutex_);
  return ttl_;
}

void PasswdCache::setCacheSize(int maxSize) {
  ofw::Lock lock(mutex_);
  maxSize_ = maxSize;
  if (maxSize_ <= 0) {
    flushLocked();
    return;
  }
  while (byLru_.size() > static_cast<size_t>(maxSize_)) purgeLruLocked();
}

int PasswdCache::getCacheSize() const {
  ofw::Lock lock(mutex_);
  return maxSize_;
}

void PasswdCache::setType(PasswdDACacheType type) {
  ofw::Lock lock(mutex_);
  if (type == type_) return;
  flushLocked();
  type_ = type;
}

PasswdDACacheType PasswdCache::getType() const {
  ofw::Lock lock(mutex_);
  return type_;
}

size_t PasswdCache::size() const {
  ofw::Lock lock(mutex_);
  return byLru_.size();
}

void PasswdCache::flush() {
  ofw::Lock lock(mutex_);
  flushLocked();
}

void PasswdCache::flushLocked() {
  byName_.clear();
  byUid_.clear();
  byLru_.clear();
}

std::string PasswdCache::label(const PasswdDA& record) {
  return record.name.empty() ? std::to_string(record.uid) : record.name;
}

bool PasswdCache::typeMatches(const PasswdDA& record, PasswdUserType userType) {
  if (userType == PASSWD_LOCAL_USER) return !record.flag;
  if (userType == PASSWD_AD_USER) return record.flag;
  return true;
}

void PasswdCache::count(PasswdCacheCounters& counters, bool byName, PasswdUserType userType) {
  bool local = userType == PASSWD_LOCAL_USER;
  if (byName)
    ++(local ? counters.localName : counters.adName);
  else
    ++(local ? counters.localUid : counters.adUid);
}

void PasswdCache::purgeLocked(const Record& record) {
  if (!record) return;
  OFW_TRACE(logger_, "Purging %s", label(*record).c_str());
  auto n = byName_.find(record->name);
  if (n != byName_.end() && n->second == record) byName_.erase(n);
  auto u = byUid_.find(record->uid);
  if (u != byUid_.end() && u->second == record) byUid_.erase(u);
  auto l = byLru_.find(record->lruId);
  if (l != byLru_.end() && l->second == record) byLru_.erase(l);
}

void PasswdCache::purgeLruLocked() {
  if (byLru_.empty()) return;
  Record victim = byLru_.begin()->second;
  OFW_TRACE(logger_, "Cache victim: %s", label(*victim).c_str());
  purgeLocked(victim);
}

void PasswdCache::lruBookkeepingLocked(const Record& record) {
  auto l = byLru_.find(record->lruId);
  if (l != byLru_.end() && l->second == record) byLru_.erase(l);
  record->lruId = nextLruId_++;
  byLru_[record->lruId] = record;
}

PasswdCache::Record PasswdCache::findStoredLocked(const PasswdDA& record) const {
  if (indexesNames()) {
    auto n = byName_.find(record.name);
    if (n != byName_.end()) return n->second;
  }
  if (indexesUids()) {
    auto u = byUid_.find(record.uid);
    if (u != byUid_.end()) return u->second;
  }
  return Record();
}

void PasswdCache::insert(const PasswdDA& record) {
  ofw::Lock lock(mutex_);
  if (!enabledLocked()) return;
  if (indexesNames() && record.name.empty()) return;

  Record stored(new PasswdDA(record));
  stored->lruId = -1;

  // One record per name and per uid: drop whatever holds either key.
  if (indexesNames()) {
    auto n = byName_.find(stored->name);
    if (n != byName_.end()) purgeLocked(Record(n->second));
  }
  if (indexesUids()) {
    auto u = byUid_.find(stored->uid);
    if (u != byUid_.end()) purgeLocked(Record(u->second));
  }

  while (byLru_.size() >= static_cast<size_t>(maxSize_)) {
    OFW_DEBUG(logger_, "Cache Full. Max: %d Size: %d", maxSize_, static_cast<int>(byLru_.size()));
    purgeLruLocked();
  }

  if (indexesNames()) byName_[stored->name] = stored;
  if (indexesUids()) byUid_[stored->uid] = stored;
  lruBookkeepingLocked(stored);
  assert(byLru_.size() <= static_cast<size_t>(maxSize_));
}

PasswdCache::Record PasswdCache::findUsername(const std::string& name, PasswdUserType userType) {
  ofw::Lock lock(mutex_);
  if (!enabledLocked()) return Record();
  const char* typeText = userType == PASSWD_LOCAL_USER ? "local user" : "AD user";
  if (indexesNames()) {
    auto n = byName_.find(name);
    if (n != byName_.end()) {
      Record record = n->second;
      if (!record->isAlive(ttl_)) {
        purgeLocked(record);
      } else if (typeMatches(*record, userType)) {
        OFW_TRACE(logger_, "Cache Hit: %s (type: %s)", name.c_str(), typeText);
        record->touch();
        lruBookkeepingLocked(record);
        count(hits_, true, userType);
        return Record(new PasswdDA(*record));
      }
    }
  }
  OFW_TRACE(logger_, "Cache Miss: %s (type: %s)", name.c_str(), typeText);
  count(misses_, true, userType);
  return Record();
}

PasswdCache::Record PasswdCache::findUID(uint32_t uid, PasswdUserType userType) {
  ofw::Lock lock(mutex_);
  if (!enabledLocked()) return Record();
  if (indexesUids()) {
    auto u = byUid_.find(uid);
    if (u != byUid_.end()) {
      Record record = u->second;
      if (!record->isAlive(ttl_)) {
        purgeLocked(record);
      } else if (typeMatches(*record, userType)) {
        OFW_TRACE(logger_, "Cache Hit: %ld", static_cast<long>(uid));
        record->touch();
        lruBookkeepingLocked(record);
        count(hits_, false, userType);
        return Record(new PasswdDA(*record));
      }
    }
  }
  OFW_TRACE(logger_, "Cache Miss: %ld", static_cast<long>(uid));
  count(misses_, false, userType);
  return Record();
}

void PasswdCache::purgeAnEntry(const PasswdDA& record) {
  ofw::Lock lock(mutex_);
  if (indexesNames()) {
    auto n = byName_.find(record.name);
    if (n != byName_.end()) purgeLocked(Record(n->second));
  }
  if (indexesUids()) {
    auto u = byUid_.find(record.uid);
    if (u != byUid_.end()) purgeLocked(Record(u->second));
  }
}

void PasswdCache::purgeAnEntry() {
  ofw::Lock lock(mutex_);
  purgeLruLocked();
}

void PasswdCache::LruBookkeeping(const PasswdDA& record) {
  ofw::Lock lock(mutex_);
  Record stored = findStoredLocked(record);
  if (stored) lruBookkeepingLocked(stored);
}

void PasswdCache::setLogger(const ofw::LoggerPtr& logger) {
  ofw::Lock lock(mutex_);
  logger_ = logger;
}

PasswdCacheCounters PasswdCache::hits() const {
  ofw::Lock lock(mutex_);
  return hits_;
}

PasswdCacheCounters PasswdCache::misses() const {
  ofw::Lock lock(mutex_);
  return misses_;
}

}  // namespace ovg
