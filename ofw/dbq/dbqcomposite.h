// A persistent FIFO queue of byte records kept in a directory of single-file
// block queues numbered 0, 1, 2, ...: records are appended to the
// highest-numbered file (the enqueue end) and removed from the lowest (the
// dequeue end). A new file is started when the enqueue end has grown past the
// maximum single file size; an emptied dequeue end is deleted.
//
// Recovery: a queue whose directory cannot be used (a file not shut cleanly,
// corruption) is moved aside to "<path>.<pid>.<guid>", replaced by a fresh queue,
// and every complete record of the moved-aside copy is salvaged into the fresh
// queue before anything else is appended (ofw/dbq/dbq_salvage.h). The moved-aside
// copy stays on disk. A lack of disk space is not corruption and never moves a
// queue aside.
//
// Opened read-only (mode 0) the queue creates, writes, rotates and deletes
// nothing.
//
// All public operations hold the queue's recursive mutex; each member file's own
// mutex is always taken after it.
#pragma once
#include <boost/shared_ptr.hpp>

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "ofw/dbq/dbq.h"
#include "ofw/dbq/dbqsingle.h"
#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"

namespace ofw {

class DBQComposite : public DBQ {
 public:
  static const uint64_t DEFAULT_MAX_FILE_SIZE = 0x6400000;  // 100 MiB

  explicit DBQComposite(int blockSize = dbqfmt::kDefaultBlockSize);
  // Opens at once with failIfUnclean true and an empty tag (exceptions propagate).
  DBQComposite(const std::string& path, DBQMode mode, int blockSize, int permissions);
  ~DBQComposite() override;
  DBQComposite(const DBQComposite&) = delete;
  DBQComposite& operator=(const DBQComposite&) = delete;

  void enqueue(boost::shared_array<unsigned char> data, unsigned int len) override;
  void dequeue(boost::shared_array<unsigned char>& data, unsigned int& len) override;
  void dequeue() override;
  void peek(boost::shared_array<unsigned char>& data, unsigned int& len) override;
  void getHead(boost::shared_array<unsigned char>& data, unsigned int& len) override;
  void getHead(boost::shared_array<unsigned char>& data, unsigned int& len, uint64_t& identity) override;
  bool dequeueIfSame(uint64_t identity) override;
  void shrink() override;
  int getBlockSizeOnDisk() override;
  bool open(const std::string& path, DBQMode mode, int permissions, bool failIfUnclean,
            const std::string& tag) override;
  void close() override;
  void destroy() override;
  bool isOpen() override;
  uint64_t getDataSize() override;
  uint64_t getQueueSizeOnDisk() override;
  int64_t count() override;
  bool empty() override;
  QueueStat getQueueStat() override;
  void setQueueStat(QueueStat stat) override;
  void dump(bool verbose) override;
  void handleFatalErrorException(const FatalErrorException& e) override;
  void handleException(const OFWException& e) override;
  void flushDb() override;
  void setDbqMaxSize(unsigned long bytes) override;
  // Given to every member file; destroy() takes the deleted files' bytes off.
  void setSizeAccount(const SizeAccountPtr& account) override;

  // Sum of the sizes of the numbered files in `path`; 0 when it does not exist.
  static uint64_t getQueueSizeOnDisk(const std::string& path);
  // The numbered entries of `path` (number, entry name), ascending by number.
  // An entry whose name does not begin with a decimal number is skipped. False
  // when the directory cannot be read.
  static bool listFiles(const std::string& path, std::vector<std::pair<int64_t, std::string>>& files);

  // Visits every record from the head without removing any; `fn` returns
  // false to stop.
  void forEachRecord(const std::function<bool(const unsigned char*, unsigned int)>& fn);
  // Runs the integrity check of every numbered file; true when all are consistent.
  bool checkIntegrity(std::ostream& out);
  void dumpTo(std::ostream& out, bool verbose);
  // The same on a directory that need not (or cannot) be opened as a queue;
  // every file is opened read-only.
  static bool checkDirectory(const std::string& path, std::ostream& out,
                             int blockSize = dbqfmt::kDefaultBlockSize);
  static void dumpDirectory(const std::string& path, std::ostream& out, bool verbose,
                            int blockSize = dbqfmt::kDefaultBlockSize);

  const std::string& getPath() const { return m_path; }
  int64_t getEnqueueID();
  int64_t getDequeueID();
  uint64_t getMaxFileSize();

  // Test hook: when set, creating member file `id` on rollover fails as if the
  // file could not be created.
  typedef bool (*RolloverFaultHook)(int64_t id);
  static void setRolloverFaultHook(RolloverFaultHook hook);

 private:
  typedef boost::shared_ptr<DBQSingle> SinglePtr;

  std::string filePath(int64_t id) const;
  SinglePtr newMember() const;
  bool initialiseFresh();
  bool openLocked(const std::string& path, DBQMode mode, int permissions, bool failIfUnclean,
                  const std::string& tag);
  void requireOpen(const char* op);
  void requireWritable(const char* op);
  void skipEmpty();
  // Skips emptied files, runs `remove` on the dequeue end (one record), keeps
  // the running count and size, and rotates past an emptied end.
  void removeHead(const std::function<void()>& remove);
  // Moves the dequeue end on past an emptied file. `afterRemoval`: a failure
  // is logged, never raised (the record is already gone).
  void rotateDequeueEnd(bool afterRemoval);
  void retireDequeueEnd();
  std::string newAsideName(const std::string& base) const;
  void closeLocked();

  int m_blockSize;
  LoggerPtr m_logger;
  std::string m_path;
  DBQMode m_mode = DBQ_OPEN_OR_CREATE;
  int m_permissions = 0600;
  bool m_failIfUnclean = true;
  SinglePtr m_DbqDequeue;
  SinglePtr m_DbqEnqueue;
  SizeAccountPtr m_account;  // given to every member
  int64_t m_DbqEnqueueID = 0;
  int64_t m_DbqDequeueID = 0;
  int64_t m_size = 0;
  int64_t m_count = 0;
  uint64_t m_maxFileSize = DEFAULT_MAX_FILE_SIZE;
  Mutex m_mutex;
  QueueStat m_stat = QS_NORMAL;
  std::string m_tag;
  bool m_open = false;
};

}  // namespace ofw
