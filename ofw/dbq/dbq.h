// The persistent first-in, first-out queue of byte records shared by the
// single-file queue (ofw/dbq/dbqsingle.h) and the composite queue of numbered files
// (ofw/dbq/dbqcomposite.h).
#pragma once
#include <boost/shared_array.hpp>

#include <atomic>
#include <cstdint>
#include <string>

#include "ofw/dbq/size_account.h"
#include "ofw/exceptions.h"

namespace ofw {

// How open() treats the file or directory.
enum DBQMode {
  DBQ_READ_ONLY = 0,       // read only; nothing is created or written
  DBQ_OPEN_OR_CREATE = 1,  // read and write; created when missing
  DBQ_CREATE = 2,          // read and write; created afresh (truncated)
};

// Raised (as ofw::FatalErrorException) when bytes read from a queue file are
// inconsistent: a link outside the file, a length the record's blocks cannot
// hold, a chain that loops or breaks. Codes 1 and 2 are magic and checksum
// mismatches.
constexpr int DBQ_ERR_MAGIC = 1;
constexpr int DBQ_ERR_CHECKSUM = 2;
constexpr int DBQ_ERR_CORRUPT = 3;

// True when an exception from a queue reports that the disk (or the file size
// limit) is full: ofw::IOException with code ENOSPC, EFBIG or EDQUOT. Such a
// queue is intact (the failed operation was undone) and must not be moved aside.
bool isDbqNoSpace(const std::exception& e);

class DBQ {
 public:
  enum QueueStat {
    QS_NORMAL = 0,
    QS_NOT_SHUT_CLEANLY = 1,  // the master's current operation was not 0 at open
  };

  virtual void enqueue(boost::shared_array<unsigned char> data, unsigned int len) = 0;
  // Reads and removes the head record.
  virtual void dequeue(boost::shared_array<unsigned char>& data, unsigned int& len) = 0;
  // Removes the head record without reading it.
  virtual void dequeue() = 0;
  // Reads the head record (checks that the queue is open).
  virtual void peek(boost::shared_array<unsigned char>& data, unsigned int& len) = 0;
  // Reads the head record; len 0 and data unset when the queue is empty.
  virtual void getHead(boost::shared_array<unsigned char>& data, unsigned int& len) = 0;
  virtual void shrink() = 0;
  virtual int getBlockSizeOnDisk() = 0;
  virtual bool open(const std::string& path, DBQMode mode, int permissions, bool failIfUnclean,
                    const std::string& tag) = 0;
  virtual void close() = 0;
  virtual void destroy() = 0;
  virtual bool isOpen() = 0;
  // Sum of the record lengths.
  virtual uint64_t getDataSize() = 0;
  // Bytes of the queue's file(s) on disk.
  virtual uint64_t getQueueSizeOnDisk() = 0;
  virtual int64_t count() = 0;
  virtual bool empty() = 0;
  virtual QueueStat getQueueStat() = 0;
  virtual void setQueueStat(QueueStat stat) = 0;
  // Diagnostic listing on standard output.
  virtual void dump(bool verbose) = 0;
  virtual void handleFatalErrorException(const FatalErrorException& e) = 0;
  virtual void handleException(const OFWException& e) = 0;
  virtual void flushDb() = 0;
  virtual void setDbqMaxSize(unsigned long bytes) = 0;
  // Keeps `account` up to date with the bytes of the queue's files on disk
  // (ofw/dbq/size_account.h); a queue that keeps none ignores it.
  virtual void setSizeAccount(const SizeAccountPtr& account) { (void)account; }

  // The identity of what the queue holds: a number never used before is taken
  // each time the queue is opened (a queue moved aside and replaced, or renewed,
  // is opened anew); 0 while it is closed. A consumer reads the head together
  // with the identity and removes it only while the identity is unchanged, so a
  // record salvaged into a replacement queue between the read and the removal
  // is never removed unsent.
  uint64_t identity() const { return m_identity.load(); }
  // Reads the head record as getHead does, and the identity it was read under.
  virtual void getHead(boost::shared_array<unsigned char>& data, unsigned int& len, uint64_t& identity) = 0;
  // Removes the head record only when the queue is open under `identity` and
  // holds a record; false (nothing removed) otherwise.
  virtual bool dequeueIfSame(uint64_t identity) = 0;

  virtual ~DBQ() {}

 protected:
  void takeNewIdentity();
  void clearIdentity() { m_identity.store(0); }

 private:
  std::atomic<uint64_t> m_identity{0};
};

}  // namespace ofw
