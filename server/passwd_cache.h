// An LRU cache of passwd records with a time-to-live and a size bound.
//
// Records are indexed by name, by uid and by LRU id (least recently used
// first). A user cache indexes both names and uids; a negative cache of names
// indexes names only and one of uids only, so that the empty name of a uid
// record, or the absent uid of a name record, never collides. The cache owns
// copies of what is inserted and hands out copies, so callers never share a
// record with another thread. Every operation takes the cache's mutex.
//
// Invariants: every cached record is in the LRU map exactly once and in each
// key map it is indexed by; no key map holds a record that is not in the LRU
// map; size() <= the maximum size after every insert.
#pragma once
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <map>
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"
#include "server/passwd_da.h"

namespace ovg {

enum PasswdDACacheType {
  PASSWD_CACHE_USER = 0,           // found users, by name and uid
  PASSWD_CACHE_NEGATIVE_NAME = 1,  // names the directory did not know
  PASSWD_CACHE_NEGATIVE_UID = 2    // uids the directory did not know
};

// Which records a look-up accepts, and which counters it counts in.
enum PasswdUserType {
  PASSWD_ANY_USER = 0,
  PASSWD_LOCAL_USER = 1,  // flag false
  PASSWD_AD_USER = 2      // flag true
};

struct PasswdCacheCounters {
  uint64_t adName = 0;
  uint64_t adUid = 0;
  uint64_t localName = 0;
  uint64_t localUid = 0;
  uint64_t total() const { return adName + adUid + localName + localUid; }
  PasswdCacheCounters& operator+=(const PasswdCacheCounters& o) {
    adName += o.adName;
    adUid += o.adUid;
    localName += o.localName;
    localUid += o.localUid;
    return *this;
  }
};

class PasswdCache {
 public:
  typedef boost::shared_ptr<PasswdDA> Record;

  static constexpr int kDefaultTimeToLive = 600;
  static constexpr int kDefaultMaxSize = 80000;

  explicit PasswdCache(PasswdDACacheType type = PASSWD_CACHE_USER,
                       int timeToLive = kDefaultTimeToLive, int maxSize = kDefaultMaxSize);
  PasswdCache(const PasswdCache&) = delete;
  PasswdCache& operator=(const PasswdCache&) = delete;

  void enable();
  // Also flushes: a later enable() starts empty.
  void disable();
  // Enabled and a maximum size above 0.
  bool isEnabled() const;
  void setTimeToLive(int seconds);
  int getTimeToLive() const;
  // A size <= 0 disables the cache and empties it; a smaller size evicts the
  // least recently used records down to it.
  void setCacheSize(int maxSize);
  int getCacheSize() const;
  // Changing the type changes what is indexed: the cache is flushed.
  void setType(PasswdDACacheType type);
  PasswdDACacheType getType() const;
  size_t size() const;
  // Empties all three maps.
  void flush();

  // Stores a copy. Nothing when disabled, or when the record lacks the key
  // this cache indexes by (an empty name for name-indexed caches). A cached
  // record with the same name or uid is replaced in all three maps. When the
  // cache is full the least recently used record is evicted first.
  void insert(const PasswdDA& record);

  // A copy of the live record, or null. An expired record is purged; a record
  // of another user type (see PasswdUserType) is a miss and stays.
  Record findUsername(const std::string& name, PasswdUserType userType);
  Record findUID(uint32_t uid, PasswdUserType userType = PASSWD_AD_USER);

  // Removes the cached record with the record's name or uid.
  void purgeAnEntry(const PasswdDA& record);
  // Evicts the least recently used record.
  void purgeAnEntry();
  // Moves the cached record with the record's key to the most recently used end.
  void LruBookkeeping(const PasswdDA& record);

  void setLogger(const ofw::LoggerPtr& logger);

  // Hits and misses of findUsername / findUID while enabled.
  PasswdCacheCounters hits() const;
  PasswdCacheCounters misses() const;

 private:
  bool indexesNames() const { return type_ != PASSWD_CACHE_NEGATIVE_UID; }
  bool indexesUids() const { return type_ != PASSWD_CACHE_NEGATIVE_NAME; }
  bool enabledLocked() const { return enabled_ && maxSize_ > 0; }
  void flushLocked();
  void purgeLocked(const Record& record);
  void purgeLruLocked();
  void lruBookkeepingLocked(const Record& record);
  Record findStoredLocked(const PasswdDA& record) const;
  static std::string label(const PasswdDA& record);
  static bool typeMatches(const PasswdDA& record, PasswdUserType userType);
  static void count(PasswdCacheCounters& counters, bool byName, PasswdUserType userType);

  mutable ofw::Mutex mutex_;
  std::map<std::string, Record> byName_;
  std::map<uint32_t, Record> byUid_;
  std::map<int64_t, Record> byLru_;
  int ttl_;
  int maxSize_;
  bool enabled_ = true;
  PasswdDACacheType type_;
  int64_t nextLruId_ = 0;
  ofw::LoggerPtr logger_;
  PasswdCacheCounters hits_;
  PasswdCacheCounters misses_;
};

}  // namespace ovg
