// A persistent FIFO queue of byte records in one block queue file
// (layout in ofw/dbq/dbq_format.h).
//
// Every change is made in memory (the master block and a cache of dirty data
// blocks) and then committed: the master with the operation in progress, the
// dirty blocks in ascending ID order, the master with operation 0. A commit
// interrupted by a crash leaves a non-zero operation in the file, which the next
// open reports ("not shut cleanly"). A write that fails (ENOSPC, EFBIG, EIO) is
// undone: the blocks the operation overwrote and the master are written back
// from their committed images, blocks appended by it are truncated, and
// ofw::IOException (code errno) is raised; the queue stays open and holds
// exactly the records committed before. An operation that finds inconsistent
// bytes raises ofw::FatalErrorException (codes 1, 2, DBQ_ERR_CORRUPT) and
// changes nothing on disk.
//
// Nothing read from the file is trusted: a data block read at position X must
// carry the ID X and the file's data type (else FatalErrorException
// DBQ_ERR_CORRUPT, nothing written), links are checked to lie inside the
// file, lengths against the queue's data size and the blocks that carry them,
// spanning flags and span sequences against the record's block count, the tail
// is checked to end an intact record before anything is linked behind it, and
// every walk is bounded by the file's block count.
//
// A commit is forced to the disk as the key spool.sync says (ofw/dbq/dbq_sync.h);
// close() and flushDb() sync the commits still pending.
//
// Opening a clean file for writing cuts off the blocks at its end that no chain
// links to (left by a process killed between appending blocks and committing).
//
// All public operations hold the queue's recursive mutex.
#pragma once
#include <boost/shared_ptr.hpp>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "ofw/dbq/dbq.h"
#include "ofw/dbq/dbq_block.h"
#include "ofw/dbq/dbq_sync.h"
#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"

namespace ofw {

class DBQSingle : public DBQ {
 public:
  // One drop of the last free block per DECAY_RATE + 1 qualifying removals.
  static const int DECAY_RATE = 100;

  // A closed queue. Throws InvalidArgumentException for a block size outside
  // [dbqfmt::kMinBlockSize, dbqfmt::kMaxBlockSize].
  explicit DBQSingle(int blockSize = dbqfmt::kDefaultBlockSize);
  // Opens at once with failIfUnclean true and no tag (exceptions propagate).
  DBQSingle(const std::string& path, DBQMode mode, int blockSize, int permissions, int decayStart);
  ~DBQSingle() override;
  DBQSingle(const DBQSingle&) = delete;
  DBQSingle& operator=(const DBQSingle&) = delete;

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
  // Reports the file's size changes of writing operations, and its bytes when
  // destroy() deletes it.
  void setSizeAccount(const SizeAccountPtr& account) override;

  // The data size of the queue file at `path` (opened read-only, B = 512); 0
  // when the file does not exist.
  static uint64_t getDataSize(const std::string& path);

  // Visits every record from the head without removing any; `fn` returns false
  // to stop. The pointer is valid only during the call.
  void forEachRecord(const std::function<bool(const unsigned char*, unsigned int)>& fn);
  // Verifies the used and free chains, counts, sizes, flags, span sequences,
  // magics and checksums. Prints "Checking queue for integrity" and one line
  // beginning "Queue is abnormal." per problem; true when consistent.
  bool checkIntegrity(std::ostream& out);
  // dump() to any stream.
  void dumpTo(std::ostream& out, bool verbose);

  // The descriptor held in the master's payload area (not used by the daemon).
  bool setDescriptor(const unsigned char* data, unsigned int len);
  std::string getDescriptor();

  const std::string& getPath() const { return m_path; }
  int getBlockSize() const { return m_blockSize; }
  // Payload bytes of one data block of this file.
  int getPayloadSize();
  // Blocks in the file, the master included.
  int64_t getBlockCount();
  int getDecayCounter();
  int getCurrentOperation();
  bool isExtendedFormat();

  // Process-wide statistics (never reset).
  static uint64_t statBlockWrites();
  static uint64_t statMasterBlockWrites();
  static uint64_t statFlushes();

 private:
  typedef boost::shared_ptr<DataBlock> DataBlockPtr;
  typedef std::map<int, DataBlockPtr> DirtyMap;

  void init(int blockSize);
  void closeFd();
  void loadOrInitialise(int permissions, bool failIfUnclean);
  void initialiseMaster(bool write);
  void validateMaster(const MasterBlock& m, int64_t blockCount) const;
  [[noreturn]] void corrupt(const std::string& text) const;
  void requireOpen(const char* op);
  void requireWritable(const char* op);

  int dataType() const;
  DataBlockPtr readDataBlock(int id);
  // A data block as a new one is (recycled when one is at hand).
  DataBlockPtr newDataBlock();
  // Empties the dirty-block cache, keeping its blocks and nodes for reuse.
  void clearDirty();
  void markDirty(const DataBlockPtr& b);
  // Keeps the committed image of block `id`, read during an operation, for a rollback.
  void rememberBefore(const DataBlock& b, int id);
  void stamp(Block& b);
  void writeMaster();
  void commit(int op);
  void syncCommitted(int err);
  void rollback();
  template <class F>
  void mutate(F f);
  // Adds the change of the committed file size since the last report.
  void reportSize();

  void push(const unsigned char* data, unsigned int len);
  DataBlockPtr takeFreeBlock();
  DataBlockPtr appendBlock();
  void freeBlock(const DataBlockPtr& b);
  void pop();
  // Removes the head record, then gives a free last block back if it is time.
  void removeHead();
  void dropLastBlock();
  // Whether the free-flagged block `id` is linked into the free list by its
  // neighbours (read into prevBlock / nextBlock when it has them).
  bool onFreeList(const DataBlock& b, int id, DataBlockPtr& prevBlock, DataBlockPtr& nextBlock);
  void reclaimUnlinkedTail();
  bool truncateLast();
  // Reads and checks the record whose first block is `first` into the room
  // `place(length)` gives; sets `blocks` and returns the link out of its last block.
  int readRecord(int first, int& blocks, const std::function<unsigned char*(int)>& place);
  // Checks that the tail block `id` ends an intact record (before an append).
  void checkTail(const DataBlock& t, int id);
  // Checks the first block of a record and returns its length and block count.
  void checkRecordStart(const DataBlock& b, int id, int& length, int& blocks);
  // Checks block number `seq` (of `blocks`) of a record of `length` bytes.
  void checkRecordBlock(const DataBlock& b, int id, int length, int seq, int blocks);
  bool inRange(int64_t id) const { return id >= 1 && id < m_blockCount; }

  int m_blockSize;
  int m_fd = -1;
  DBQMode m_mode = DBQ_READ_ONLY;
  boost::shared_ptr<MasterBlock> m_master;
  std::vector<unsigned char> m_committedMaster;  // master bytes as last committed
  int64_t m_blockCount = 0;                      // blocks in the file (this operation included)
  int64_t m_committedBlockCount = 0;
  DirtyMap m_dirty;
  std::map<int, std::vector<unsigned char>> m_before;  // committed images of blocks read by this operation
  DataBlockPtr m_written;  // the tail block exactly as last committed, or none
  int64_t m_fileSize = 0;  // bytes in the file, kept as the queue writes and cuts it
  bool m_inOperation = false;
  bool m_commitStarted = false;
  int m_decay = 0;
  std::string m_path;
  std::string m_prefix;
  LoggerPtr m_logger;
  bool m_open = false;
  Mutex m_mutex;
  QueueStat m_stat = QS_NORMAL;
  uint64_t m_age = 0;
  int m_maxBlockId = 0;
  CommitSync m_sync;  // spool.sync, read at open
  SizeAccountPtr m_account;
  int64_t m_accounted = 0;  // the file's bytes as counted in m_account
};

}  // namespace ofw
