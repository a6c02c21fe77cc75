// Per-session spools.
//
// Every audited session has its own spool inside the sessions directory: in
// the bucket directory named by the Pearson hash of the session GUID's raw
// bytes ("%02x"), the composite queue directory "<guid>.dbq" and the status
// file "<guid>.status", where <guid> is the GUID's swapped 8-4-4-4-12 text.
// A session's status file is written when its spool is added, so the
// despooler finds every spool; a ".dbq" directory left without its status file
// (a crash between the two) is found as well.
//
// A spool that cannot be opened (a file not shut cleanly, corruption) is moved
// aside to "<dir>.<pid>" and replaced by a fresh queue into which every
// complete record of the moved-aside copy is salvaged, in order, before
// anything else is appended. The moved-aside copy stays on disk.
#pragma once
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ofw/dbq/dbq.h"
#include "ofw/guid.h"
#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"
#include "ofw/dbq/status.h"

namespace ovgfw {

// The bucket of a GUID: Pearson hash of its 16 raw bytes.
unsigned char sessionBucket(const ofw::Guid& guid);
std::string sessionBucketName(const ofw::Guid& guid);

class SessionQueue {
 public:
  // Creates the bucket directory (0755) when missing.
  SessionQueue(const std::string& sessionsDir, const ofw::Guid& guid);

  const ofw::Guid& getSessionGuid() const { return guid_; }
  const std::string& getDirectoryPath() const { return bucketDir_; }
  std::string getDbqDirectoryPath() const;
  std::string getStatusPath() const;

  bool isPaused();
  void pause();
  void resume();
  bool isInProgress();
  void setInProgress();
  std::string getStatus();
  void setStatus(const std::string& text);
  // Writes the status file (version 1, flags 0, code 0, empty text) unless it exists.
  void createStatusFile();

  // Opens the session's queue; moves a damaged one aside and salvages it.
  // Throws ofw::SystemException "Unable to open DBQ." / "Unable to despool
  // records. Giveup." / "Unable to move corrupt %s out of the way: ...".
  // `account`, when set, is given to the queue before it opens.
  boost::shared_ptr<ofw::DBQ> getDBQ(uint64_t maxSingleFileSize, ofw::DBQMode mode, int blockSize,
                                     const ofw::SizeAccountPtr& account = ofw::SizeAccountPtr());

  // The uid of the local user who started the session ("<guid>.owner" in the
  // bucket); -1 when unknown (spools from before owners were recorded).
  void setOwner(int uid);
  int getOwner();

  // Removes the session's queue directory, its owner file and then its status file.
  static void destroy(const std::string& bucketPath, const ofw::Guid& guid);

 private:
  std::string bucketDir_;
  ofw::Guid guid_;
  boost::shared_ptr<ofw::Status> status_;
  ofw::LoggerPtr logger_;
};

class SessionQueueCollection {
 public:
  SessionQueueCollection(const std::string& sessionsDir, uint64_t maxSingleFileSize, ofw::DBQMode mode);

  boost::shared_ptr<SessionQueue> add(const ofw::Guid& guid, uint64_t maxSingleFileSize);
  boost::shared_ptr<SessionQueue> getSessionQueue(const ofw::Guid& guid);
  // The live queue of the session, or its queue opened now (remembered weakly).
  boost::shared_ptr<ofw::DBQ> getDBQ(const boost::shared_ptr<SessionQueue>& queue, int blockSize);
  boost::shared_ptr<ofw::DBQ> getDBQ(const ofw::Guid& guid, int blockSize);

  // Removes the session's spool; an emptied bucket directory goes too.
  void destroy(const ofw::Guid& guid);
  // Removes the spool only when its queue is empty (checked under the
  // collection's lock); false otherwise.
  bool destroyIfEmpty(const ofw::Guid& guid);

  uint64_t getDataSize();
  // Lists and stats every session spool's files.
  uint64_t getQueueSizeOnDisk();
  // The queues this collection opens keep `account` up to date, and destroy()
  // takes a removed spool's bytes off it.
  void setSizeAccount(const ofw::SizeAccountPtr& account);
  void cleanReferences();
  void setPausedSessionStatus();
  bool checkAndResetPausedSessionStatus();

  // Whether the session has a spool on disk (status file or queue directory).
  bool exists(const ofw::Guid& guid);

  // Every session spool on disk (status file or queue directory), bucket by
  // bucket in directory order.
  std::vector<ofw::Guid> listSessions();

  // Iteration over a snapshot of listSessions(); moving past the end throws
  // ofw::SystemException "Attempt to move beyond end of collection".
  class Iterator {
   public:
    Iterator() = default;
    Iterator(SessionQueueCollection* owner, std::vector<ofw::Guid> guids, size_t pos)
        : owner_(owner), guids_(std::move(guids)), pos_(pos) {}
    bool atEnd() const { return pos_ >= guids_.size(); }
    boost::shared_ptr<SessionQueue> operator*() const;
    Iterator& operator++();
    bool operator!=(const Iterator& o) const { return atEnd() != o.atEnd() || (!atEnd() && pos_ != o.pos_); }

   private:
    SessionQueueCollection* owner_ = nullptr;
    std::vector<ofw::Guid> guids_;
    size_t pos_ = 0;
  };
  Iterator begin();
  Iterator end();

  const std::string& getPath() const { return dir_; }

 private:
  std::string dir_;
  uint64_t maxSize_;
  ofw::DBQMode mode_;
  ofw::Mutex mutex_;
  ofw::SizeAccountPtr account_;  // under mutex_
  std::map<ofw::Guid, boost::weak_ptr<SessionQueue>> queues_;
  std::map<ofw::Guid, boost::weak_ptr<ofw::DBQ>> dbqs_;
  bool pausedSession_ = false;
  ofw::LoggerPtr logger_;
};

}  // namespace ovgfw
