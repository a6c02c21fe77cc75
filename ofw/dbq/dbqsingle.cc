#include "ofw/dbq/dbqsingle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <iostream>
#include <vector>

#include <boost/make_shared.hpp>

#include "ofw/dbq/dbq_record.h"
#include "ofw/format.h"

// Every message of the queue: "<prefix>: <text>".
#define DBQS_LOG(level, fmt, ...) \
  OFW_LOG(m_logger, ::ofw::Logger::level, "%s: " fmt, m_prefix.c_str(), ##__VA_ARGS__)

namespace ofw {

using namespace dbqfmt;

namespace {

std::atomic<uint64_t> gMasterWrites{0};
std::atomic<uint64_t> gFlushes{0};

std::string baseName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Blocks of a record of `len` bytes at payload `p`.
int64_t blocksFor(int64_t len, int p) { return (len + p - 1) / p; }

// Blocks and dirty-cache nodes of finished operations, kept per thread for the
// next ones: an append of a 16 KB record takes 35 blocks, far more of one size
// than the allocator's own per-thread cache holds.
constexpr size_t kSparesPerThread = 64;
struct Spares {
  std::vector<boost::shared_ptr<DataBlock>> blocks;
  std::vector<std::map<int, boost::shared_ptr<DataBlock>>::node_type> nodes;
};
thread_local Spares tSpares;

}  // namespace

bool isDbqNoSpace(const std::exception& e) {
  const IOException* io = dynamic_cast<const IOException*>(&e);
  if (!io) return false;
  int c = io->code();
  return c == ENOSPC || c == EFBIG || c == EDQUOT;
}

// ------------------------------------------------------------- construction

DBQSingle::DBQSingle(int blockSize) { init(blockSize); }

DBQSingle::DBQSingle(const std::string& path, DBQMode mode, int blockSize, int permissions, int decayStart) {
  init(blockSize);
  m_decay = decayStart;
  open(path, mode, permissions, true, std::string());
}

void DBQSingle::init(int blockSize) {
  if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize)
    OFW_THROW_CODE(InvalidArgumentException, format("Invalid block size %d", blockSize), EINVAL);
  m_blockSize = blockSize;
  m_logger = getLogger("ofw.dbqs");
  m_master.reset(new MasterBlock(blockSize));
}

DBQSingle::~DBQSingle() {
  try {
    close();
  } catch (...) {
  }
}

// ------------------------------------------------------------------- helpers

void DBQSingle::corrupt(const std::string& text) const {
  OFW_WARN(m_logger, "%s: %s", m_prefix.c_str(), text.c_str());
  throw FatalErrorException(text, DBQ_ERR_CORRUPT, __FILE__, __LINE__);
}

void DBQSingle::requireOpen(const char* op) {
  if (!m_open) OFW_THROW_CODE(IOException, format("DBQSingle (%s) is not opened.", op), 0);
}

void DBQSingle::requireWritable(const char* op) {
  requireOpen(op);
  if (m_mode == DBQ_READ_ONLY)
    OFW_THROW_CODE(IOException, format("DBQSingle (%s) is opened read-only.", op), EBADF);
}

int DBQSingle::dataType() const { return m_master->isExtended() ? kTypeDataX : kTypeData; }

int DBQSingle::getPayloadSize() {
  Lock lock(m_mutex);
  return payloadSize(m_blockSize, dataType());
}

int64_t DBQSingle::getBlockCount() {
  Lock lock(m_mutex);
  return m_blockCount;
}

int DBQSingle::getDecayCounter() {
  Lock lock(m_mutex);
  return m_decay;
}

int DBQSingle::getCurrentOperation() {
  Lock lock(m_mutex);
  return m_master->getCurOp();
}

bool DBQSingle::isExtendedFormat() {
  Lock lock(m_mutex);
  return m_master->isExtended();
}

uint64_t DBQSingle::statBlockWrites() { return Block::blockWrites(); }
uint64_t DBQSingle::statMasterBlockWrites() { return gMasterWrites.load(); }
uint64_t DBQSingle::statFlushes() { return gFlushes.load(); }

// ----------------------------------------------------------------- open/close

bool DBQSingle::open(const std::string& path, DBQMode mode, int permissions, bool failIfUnclean,
                     const std::string& tag) {
  Lock lock(m_mutex);
  if (m_open || m_fd >= 0) close();
  m_prefix = tag.empty() ? baseName(path) : tag + "/" + baseName(path);
  m_path = path;
  m_mode = mode;
  m_stat = QS_NORMAL;

  int flags = O_CLOEXEC;
  bool known = true;
  switch (mode) {
    case DBQ_READ_ONLY: flags |= O_RDONLY; break;
    case DBQ_OPEN_OR_CREATE: flags |= O_RDWR | O_CREAT; break;
    case DBQ_CREATE: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    default: known = false; break;
  }
  int fd = -1;
  int err = EINVAL;
  int64_t sizeAtOpen = 0;
  if (known) {
    fd = ::open(path.c_str(), flags, static_cast<mode_t>(permissions & 07777));
    err = errno;
    if (fd >= 0) {
      struct stat st;
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        fd = -1;
      } else {
        sizeAtOpen = static_cast<int64_t>(st.st_size);
      }
    }
  }
  if (fd < 0) {
    DBQS_LOG(DEBUG, "Open file %s failed (error %d)", path.c_str(), err);
    if (err == ENFILE || err == EMFILE)
      DBQS_LOG(WARN,
               "The number of open files reached the limitation. Need to increase the limitation, then "
               "restart vgd to take effect.");
    m_open = false;
    errno = err;
    return false;
  }
  m_fd = fd;
  m_sync.reset(mode == DBQ_READ_ONLY ? SpoolSyncPolicy() : configuredSpoolSync());
  struct stat created;
  if (mode != DBQ_READ_ONLY && ::fstat(fd, &created) == 0 && created.st_size == 0)
    syncCommitted(m_sync.syncDirectoryOf(path));  // a new file's name must outlive a crash too
  m_accounted = sizeAtOpen;
  try {
    loadOrInitialise(permissions, failIfUnclean);
  } catch (...) {
    closeFd();
    m_open = false;
    throw;
  }
  reportSize();
  m_open = true;
  takeNewIdentity();
  return true;
}

void DBQSingle::initialiseMaster(bool write) {
  m_master.reset(new MasterBlock(m_blockSize));
  m_master->setTypeAndSize(kTypeMasterX);
  m_master->setHead(0);
  m_master->setTail(0);
  m_master->setFreeHead(0);
  m_master->setFreeTail(0);
  m_master->setID(0);
  m_master->setCount(0);
  m_master->setDataSize(0);
  m_master->setCurOp(kOpNone);
  m_master->setDescriptorLength(0);
  m_master->setMagic();
  m_master->setVersion(kVersion);
  m_master->setBlockSizeField(m_blockSize);
  m_blockCount = 1;
  if (write) {
    stamp(*m_master);
    m_master->write(m_fd);
    ++gMasterWrites;
    ++gFlushes;
    DBQS_LOG(DEBUG, "Initialize master block.");
  }
}

void DBQSingle::loadOrInitialise(int permissions, bool failIfUnclean) {
  struct stat st;
  if (::fstat(m_fd, &st) != 0) OFW_THROW_CODE(IOException, withErrno("fstat " + m_path, errno), errno);
  int64_t blocks = static_cast<int64_t>(st.st_size) / m_blockSize;
  m_fileSize = static_cast<int64_t>(st.st_size);
  if (blocks > INT_MAX) blocks = INT_MAX;  // IDs are 32-bit: blocks beyond are not addressable

  if (blocks == 0) {
    // Empty, or shorter than one block (a creation cut short): it holds no record.
    if (m_mode == DBQ_READ_ONLY) {
      initialiseMaster(false);
    } else {
      if (st.st_size != 0 && ::ftruncate(m_fd, 0) != 0)
        OFW_THROW_CODE(IOException, withErrno("Truncate " + m_path, errno), errno);
      if (::fchmod(m_fd, static_cast<mode_t>(permissions & 07777)) != 0)
        DBQS_LOG(DEBUG, "chmod %s failed (error %d)", m_path.c_str(), errno);
      initialiseMaster(true);
      m_fileSize = m_blockSize;
    }
  } else {
    boost::shared_ptr<MasterBlock> m(new MasterBlock(m_blockSize));
    m->read(0, m_fd);
    if (m->getType() == kTypeMasterX) {
      m->recomputeSize();
      if (m->getMagic() != kMasterMagic)
        throw FatalErrorException(
            format("Master block's magic number mismatch: the expected magic number is 0x%x, the one from "
                   "file is 0x%x",
                   static_cast<unsigned>(kMasterMagic), static_cast<unsigned>(m->getMagic())),
            DBQ_ERR_MAGIC, __FILE__, __LINE__);
      if (m->getChecksum() != m->calcChecksum())
        throw FatalErrorException(
            format("Master block's checksum mismatch: the calculated checksum is 0x%x, the one from file is "
                   "0x%x",
                   m->calcChecksum(), m->getChecksum()),
            DBQ_ERR_CHECKSUM, __FILE__, __LINE__);
    }
    m_master = m;
    m_blockCount = blocks;
    if (m->getCurOp() != kOpNone) {
      DBQS_LOG(INFO, "File %s is not shut cleanly. Close the file.", m_path.c_str());
      m_stat = QS_NOT_SHUT_CLEANLY;
      if (failIfUnclean) OFW_THROW_CODE(IOException, "DBQSingle is not shut cleanly.", 0);
    }
    validateMaster(*m, blocks);
    if (m_mode != DBQ_READ_ONLY && m->getCurOp() == kOpNone) reclaimUnlinkedTail();
  }
  m_committedMaster.assign(m_master->raw(), m_master->raw() + m_blockSize);
  m_committedBlockCount = m_blockCount;
  clearDirty();
  m_before.clear();
}

void DBQSingle::validateMaster(const MasterBlock& m, int64_t blocks) const {
  int type = m.getType();
  if (type != kTypeMaster && type != kTypeMasterX)
    corrupt(format("Master block has the unknown type %d", type));
  if (m.isExtended() && m.getBlockSizeField() != m_blockSize)
    corrupt(format("Master block's block size %d differs from the queue's %d", m.getBlockSizeField(),
                   m_blockSize));
  if (m.getID() != 0) corrupt(format("Master block's ID is %d, not 0", m.getID()));
  const int links[4] = {m.getHead(), m.getTail(), m.getFreeHead(), m.getFreeTail()};
  const char* names[4] = {"head", "tail", "free head", "free tail"};
  for (int i = 0; i < 4; ++i)
    if (links[i] < 0 || links[i] >= blocks)
      corrupt(format("Master block's %s %d lies outside the file of %lld blocks", names[i], links[i],
                     static_cast<long long>(blocks)));
  if ((m.getHead() == 0) != (m.getTail() == 0))
    corrupt(format("Master block's head %d and tail %d disagree", m.getHead(), m.getTail()));
  if ((m.getFreeHead() == 0) != (m.getFreeTail() == 0))
    corrupt(format("Master block's free head %d and free tail %d disagree", m.getFreeHead(), m.getFreeTail()));
  if (m.getCount() < 0) corrupt(format("Master block's count %d is negative", m.getCount()));
  if (m.getHead() != 0 && m.getCount() == 0) corrupt("Master block has a head but counts no record");
  uint64_t capacity = static_cast<uint64_t>(blocks - 1) *
                      static_cast<uint64_t>(payloadSize(m_blockSize, m.isExtended() ? kTypeDataX : kTypeData));
  if (m.getDataSize() > capacity)
    corrupt(format("Master block's data size %llu exceeds what the file's blocks can hold (%llu)",
                   static_cast<unsigned long long>(m.getDataSize()), static_cast<unsigned long long>(capacity)));
  if (m.getHead() == 0 && m.getDataSize() != 0)
    corrupt(format("Master block counts %d records of %llu bytes but its head is 0", m.getCount(),
                   static_cast<unsigned long long>(m.getDataSize())));
  int dl = m.getDescriptorLength();
  if (dl < 0 || dl > m_blockSize - m.dataOffSet())
    corrupt(format("Master block's descriptor length %d is out of range", dl));
}

void DBQSingle::closeFd() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_fileSize = 0;
  m_written.reset();
}

void DBQSingle::close() {
  Lock lock(m_mutex);
  if (m_fd >= 0) syncCommitted(m_sync.syncPending(m_fd));
  closeFd();
  m_open = false;
  clearIdentity();
  clearDirty();
  m_before.clear();
}

void DBQSingle::destroy() {
  Lock lock(m_mutex);
  close();
  if (!m_path.empty() && ::unlink(m_path.c_str()) != 0) {
    DBQS_LOG(DEBUG, "Remove file %s failed (error %d)", m_path.c_str(), errno);
  } else if (m_account && m_mode != DBQ_READ_ONLY) {
    m_account->add(-m_accounted);
    m_accounted = 0;
  }
}

bool DBQSingle::isOpen() {
  Lock lock(m_mutex);
  return m_open;
}

// ------------------------------------------------------------ block handling

DBQSingle::DataBlockPtr DBQSingle::readDataBlock(int id) {
  auto it = m_dirty.find(id);
  if (it != m_dirty.end()) return it->second;
  if (!inRange(id))
    corrupt(format("Data block id %d lies outside the file of %lld blocks", id,
                   static_cast<long long>(m_blockCount)));
  if (m_written && m_written->getID() == id) {
    // The block as this queue last wrote it. Readers outside an operation
    // share it; an operation may change it, and either commits it again or is
    // rolled back, so the cache lets it go.
    if (!m_inOperation) return m_written;
    DataBlockPtr b;
    b.swap(m_written);
    rememberBefore(*b, id);
    return b;
  }
  DataBlockPtr b = newDataBlock();
  b->read(id, m_fd);
  rememberBefore(*b, id);
  // A block that is not where it says it lives, or not of this file's data
  // type, cannot be used: its ID would direct a write elsewhere, its type would
  // skip the checks below and shift the payload.
  if (b->getType() != dataType())
    corrupt(format("file %s block id %d unexpected type %d", m_path.c_str(), id, b->getType()));
  if (b->getID() != id)
    corrupt(format("file %s block id %d does not match that in content (%d)", m_path.c_str(), id, b->getID()));
  if (b->isExtended()) {
    b->recomputeSize();
    if (b->getMagic() != kDataMagic)
      throw FatalErrorException(
          format("Data block '%d' magic number mismatch: the expected magic number is 0x%x, the one from file "
                 "is 0x%x",
                 id, static_cast<unsigned>(kDataMagic), static_cast<unsigned>(b->getMagic())),
          DBQ_ERR_MAGIC, __FILE__, __LINE__);
    if (b->getChecksum() != b->calcChecksum())
      throw FatalErrorException(
          format("Data block '%d' checksum mismatch: the calculated checksum is 0x%x, the one from file is 0x%x",
                 id, b->calcChecksum(), b->getChecksum()),
          DBQ_ERR_CHECKSUM, __FILE__, __LINE__);
  }
  return b;
}

void DBQSingle::rememberBefore(const DataBlock& b, int id) {
  if (m_inOperation && id < m_committedBlockCount && m_before.find(id) == m_before.end())
    m_before[id].assign(b.raw(), b.raw() + m_blockSize);
}

void DBQSingle::markDirty(const DataBlockPtr& b) {
  const int id = b->getID();
  auto it = m_dirty.lower_bound(id);
  if (it != m_dirty.end() && it->first == id) {
    it->second = b;
    return;
  }
  if (tSpares.nodes.empty()) {
    m_dirty.emplace_hint(it, id, b);
    return;
  }
  DirtyMap::node_type node = std::move(tSpares.nodes.back());
  tSpares.nodes.pop_back();
  node.key() = id;
  node.mapped() = b;
  m_dirty.insert(it, std::move(node));
}

DBQSingle::DataBlockPtr DBQSingle::newDataBlock() {
  std::vector<DataBlockPtr>& spare = tSpares.blocks;
  while (!spare.empty()) {
    DataBlockPtr b = std::move(spare.back());
    spare.pop_back();
    if (b->getBlockSize() != m_blockSize) continue;
    b->clear();
    return b;
  }
  return boost::make_shared<DataBlock>(m_blockSize);
}

void DBQSingle::clearDirty() {
  Spares& s = tSpares;
  while (!m_dirty.empty()) {
    DirtyMap::node_type node = m_dirty.extract(m_dirty.begin());
    // A block only the cache holds is free for the next operation.
    if (node.mapped().use_count() == 1 && s.blocks.size() < kSparesPerThread)
      s.blocks.push_back(std::move(node.mapped()));
    node.mapped().reset();
    if (s.nodes.size() < kSparesPerThread) s.nodes.push_back(std::move(node));
  }
}

void DBQSingle::stamp(Block& b) {
  if (MasterBlock* m = dynamic_cast<MasterBlock*>(&b)) {
    m->setChecksum();
    m->setTime();
    m->setAge(++m_age);
  } else if (DataBlock* d = dynamic_cast<DataBlock*>(&b)) {
    d->setChecksum();
    d->setTime();
    d->setAge(++m_age);
  }
}

void DBQSingle::writeMaster() {
  stamp(*m_master);
  m_master->write(m_fd);
  ++gMasterWrites;
  ++gFlushes;
}

void DBQSingle::commit(int op) {
  m_master->setCurOp(op);
  m_commitStarted = true;
  try {
    writeMaster();
    DBQS_LOG(DEBUG, "Flush data block to disk, data blocks: %d", static_cast<int>(m_dirty.size()));
    std::vector<Block*> run;
    int prev = 0;
    for (auto& kv : m_dirty) {
      stamp(*kv.second);
      if (!run.empty() && kv.first != prev + 1) {
        Block::writeRun(m_fd, run.data(), run.size());
        run.clear();
      }
      run.push_back(kv.second.get());
      prev = kv.first;
    }
    if (!run.empty()) Block::writeRun(m_fd, run.data(), run.size());
  } catch (const IOException&) {
    DBQS_LOG(WARN, "flush failed.  EOF: false, Bad: true, Fail: true");
    throw;
  }
  m_master->setCurOp(kOpNone);
  try {
    writeMaster();
  } catch (const IOException&) {
    DBQS_LOG(WARN, "flush failed(2).  EOF: false, Bad: true, Fail: true");
    throw;
  }
  uint64_t written = static_cast<uint64_t>(m_dirty.size() + 2) * static_cast<uint64_t>(m_blockSize);
  // The next append links behind the tail block: keep it as written, so that
  // the append need not read it back.
  auto tail = m_dirty.find(m_master->getTail());
  if (tail != m_dirty.end()) m_written = tail->second;
  else if (m_written && m_dirty.count(m_written->getID())) m_written.reset();
  clearDirty();
  m_before.clear();
  m_committedMaster.assign(m_master->raw(), m_master->raw() + m_blockSize);
  m_committedBlockCount = m_blockCount;
  if (m_committedBlockCount * m_blockSize > m_fileSize) m_fileSize = m_committedBlockCount * m_blockSize;
  m_commitStarted = false;
  syncCommitted(m_sync.afterCommit(m_fd, written));
}

// The operation is committed whatever the sync returned: a failed fdatasync is
// reported, and the next sync covers the same bytes again.
void DBQSingle::syncCommitted(int err) {
  if (err != 0) DBQS_LOG(ERROR, "Sync of %s failed: %s", m_path.c_str(), errnoText(err).c_str());
}

// Undoes an operation that failed: the in-memory state returns to the last
// commit, and so does the file when the commit had begun writing it.
void DBQSingle::rollback() {
  int err = 0;
  if (m_commitStarted && m_fd >= 0) {
    // The file may hold the new master (operation in progress) and some of the
    // dirty blocks: write back the committed images, the master last, so that an
    // interruption here still leaves the file marked as not shut cleanly.
    for (auto& kv : m_before) {
      if (m_dirty.find(kv.first) == m_dirty.end()) continue;
      err = Block::writeImage(m_fd, kv.first, kv.second.data(), m_blockSize);
      if (err != 0) break;
    }
  }
  m_written.reset();
  if (m_fd >= 0 && m_blockCount > m_committedBlockCount) {
    if (::ftruncate(m_fd, static_cast<off_t>(m_committedBlockCount) * m_blockSize) != 0)
      DBQS_LOG(DEBUG, "Truncate after a failed operation failed:%s", errnoText(errno).c_str());
    else
      m_fileSize = m_committedBlockCount * m_blockSize;
  }
  if (m_commitStarted && m_fd >= 0 && err == 0)
    err = Block::writeImage(m_fd, 0, m_committedMaster.data(), m_blockSize);
  m_master.reset(new MasterBlock(m_blockSize));
  std::memcpy(m_master->raw(), m_committedMaster.data(), static_cast<size_t>(m_blockSize));
  m_master->recomputeSize();
  clearDirty();
  m_before.clear();
  m_blockCount = m_committedBlockCount;
  bool started = m_commitStarted;
  m_commitStarted = false;
  if (err != 0) {
    // The file could not be put back: it stays marked as not shut cleanly and
    // is left to recovery.
    DBQS_LOG(ERROR, "Could not restore %s after a failed write (%s); the queue is closed.", m_path.c_str(),
             errnoText(err).c_str());
    closeFd();
    m_open = false;
  } else if (started) {
    DBQS_LOG(WARN, "The failed operation was undone; the file holds the records committed before.");
  }
}

template <class F>
void DBQSingle::mutate(F f) {
  m_inOperation = true;
  m_commitStarted = false;
  try {
    f();
  } catch (...) {
    m_inOperation = false;
    rollback();
    reportSize();
    throw;
  }
  m_inOperation = false;
  m_before.clear();
  reportSize();
}

void DBQSingle::reportSize() {
  if (!m_account || m_fd < 0 || m_mode == DBQ_READ_ONLY) return;
  const int64_t now = m_committedBlockCount * m_blockSize;
  if (now == m_accounted) return;
  m_account->add(now - m_accounted);
  m_accounted = now;
}

void DBQSingle::setSizeAccount(const SizeAccountPtr& account) {
  Lock lock(m_mutex);
  m_account = account;
  m_accounted = m_fd >= 0 ? m_committedBlockCount * m_blockSize : 0;
}

// ----------------------------------------------------------------- free list

// A block added at the end of the file for an append, when the free list is
// empty. The free-list steps (add the block as a free one, then take it again
// at once) would leave the same bytes, so they are skipped; their log lines
// are kept. The block exists only in this operation until its commit writes
// it with the rest of the record: a failure or a crash before the commit
// leaves the file as it was, and blocks beyond the committed count are
// truncated again if the commit fails.
DBQSingle::DataBlockPtr DBQSingle::appendBlock() {
  if (m_blockCount + 1 > INT_MAX)
    OFW_THROW_CODE(IOException, format("%s: the file has reached the largest block ID", m_path.c_str()), EFBIG);
  DataBlockPtr b = newDataBlock();
  if (m_master->isExtended()) {
    b->setTypeAndSize(kTypeDataX);
    b->setMagic();
    b->setVersion(kVersion);
  }
  const int id = static_cast<int>(m_blockCount);
  b->setID(id);
  ++m_blockCount;
  if (m_maxBlockId != 0 && id > m_maxBlockId) {
    DBQS_LOG(WARN, "The block id %d is beyond max id", id);
    DBQS_LOG(WARN, "The new free list head %d is beyond max id", id);
  }
  DBQS_LOG(DEBUG, "Free a block(id:%d)", id);
  DBQS_LOG(DEBUG, "Added an new free block id:%d", id);
  DBQS_LOG(DEBUG, "Get a free block id:%d", id);
  markDirty(b);
  return b;
}

DBQSingle::DataBlockPtr DBQSingle::takeFreeBlock() {
  if (m_master->getFreeHead() == 0) return appendBlock();
  int id = m_master->getFreeHead();
  DataBlockPtr b = readDataBlock(id);
  if (!b->isFree()) corrupt(format("Free list head %d is not a free block", id));
  if (m_maxBlockId != 0 && id > m_maxBlockId) DBQS_LOG(WARN, "The new free list head %d is beyond max id", id);
  int next = b->getNext();
  if (next != 0) {
    if (!inRange(next) || next == id) corrupt(format("Free block %d links to %d outside the file", id, next));
    DataBlockPtr n = readDataBlock(next);
    if (!n->isFree() || n->getPrevious() != id)
      corrupt(format("Free list is broken between blocks %d and %d", id, next));
    n->setPrevious(0);
    markDirty(n);
  } else {
    if (m_master->getFreeTail() != id)
      corrupt(format("Free list ends at block %d but its tail is %d", id, m_master->getFreeTail()));
    m_master->setFreeTail(0);
  }
  m_master->setFreeHead(next);
  b->setFree(false);
  markDirty(b);
  DBQS_LOG(DEBUG, "Get a free block id:%d", id);
  return b;
}

void DBQSingle::freeBlock(const DataBlockPtr& b) {
  int id = b->getID();
  b->setFree(true);
  b->setNext(0);
  if (m_maxBlockId != 0 && id > m_maxBlockId) DBQS_LOG(WARN, "The block id %d is beyond max id", id);
  DBQS_LOG(DEBUG, "Free a block(id:%d)", id);
  int tail = m_master->getFreeTail();
  if (tail != 0) {
    DataBlockPtr t = readDataBlock(tail);
    if (!t->isFree() || t->getNext() != 0) corrupt(format("Free list tail %d is not the end of a free list", tail));
    t->setNext(id);
    markDirty(t);
  } else {
    m_master->setFreeHead(id);
  }
  m_master->setFreeTail(id);
  b->setPrevious(tail);
  markDirty(b);
}

// ----------------------------------------------------------------- records

void DBQSingle::checkRecordStart(const DataBlock& b, int id, int& length, int& blocks) {
  length = b.getLength();
  int p = payloadSize(m_blockSize, dataType());
  if (b.isFree()) corrupt(format("Data block %d starts a record but is on the free list", id));
  if (length <= 0 || static_cast<uint64_t>(length) > m_master->getDataSize())
    corrupt(format("Data block %d holds the record length %d, outside 1..%llu", id, length,
                   static_cast<unsigned long long>(m_master->getDataSize())));
  int64_t n = blocksFor(length, p);
  if (n > m_blockCount - 1)
    corrupt(format("Data block %d holds the record length %d, more than the file's blocks can carry", id, length));
  blocks = static_cast<int>(n);
}

void DBQSingle::checkRecordBlock(const DataBlock& b, int id, int length, int seq, int blocks) {
  if (b.isFree()) corrupt(format("Data block %d of a record is on the free list", id));
  if (b.getLength() != length)
    corrupt(format("Data block %d holds the length %d, its record %d", id, b.getLength(), length));
  bool last = seq == blocks - 1;
  if (b.isSpanning() == last)
    corrupt(format("Data block %d has the spanning flag %s at position %d of %d", id, last ? "set" : "clear", seq,
                   blocks));
  if (b.isExtended() && b.getSpanSeq() != seq)
    corrupt(format("Data block %d has the span sequence %d, expected %d", id, b.getSpanSeq(), seq));
  int next = b.getNext();
  if (!last) {
    if (!inRange(next)) corrupt(format("Data block %d links to %d outside the file", id, next));
  } else if (next == 0) {
    if (id != m_master->getTail())
      corrupt(format("Data block %d ends the chain but the tail is %d", id, m_master->getTail()));
  } else {
    if (id == m_master->getTail()) corrupt(format("The tail block %d links on to %d", id, next));
    if (!inRange(next)) corrupt(format("Data block %d links to %d outside the file", id, next));
  }
}

// The block a new record is linked behind must end the newest record: an
// append behind a damaged tail would be acknowledged and never be readable.
void DBQSingle::checkTail(const DataBlock& t, int id) {
  int length = t.getLength();
  int64_t blocks = length > 0 ? blocksFor(length, payloadSize(m_blockSize, dataType())) : 0;
  if (t.isFree() || t.getNext() != 0 || t.isSpanning() || length <= 0 ||
      static_cast<uint64_t>(length) > m_master->getDataSize() || (t.isExtended() && t.getSpanSeq() != blocks - 1))
    corrupt(format("The tail block %d does not end a record", id));
}

void DBQSingle::push(const unsigned char* data, unsigned int len) {
  int p = payloadSize(m_blockSize, dataType());
  int n = static_cast<int>(len / static_cast<unsigned>(p));
  int r = static_cast<int>(len - static_cast<unsigned>(n) * static_cast<unsigned>(p));
  int lastSize = p;
  if (r > 0) {
    ++n;
    lastSize = r;
  }
  DBQS_LOG(DEBUG, "Push data, size:%d, block size:%d, blocks: %d, the last blocks size: %d", static_cast<int>(len),
           p, n, lastSize);
  if (m_master->getCount() == INT_MAX)
    OFW_THROW_CODE(IOException, format("%s: the queue holds the largest number of records", m_path.c_str()), EFBIG);
  for (int s = 0; s < n; ++s) {
    DataBlockPtr b = takeFreeBlock();
    int id = b->getID();
    b->setNext(0);
    b->setLength(static_cast<int>(len));
    int tail = m_master->getTail();
    if (tail != 0) {
      DataBlockPtr t = readDataBlock(tail);
      if (s == 0) checkTail(*t, tail);
      t->setNext(id);
      markDirty(t);
    }
    if (m_maxBlockId != 0 && id > m_maxBlockId) DBQS_LOG(WARN, "block id %d is beyond max id", id);
    if (m_master->getHead() == 0) m_master->setHead(id);
    m_master->setTail(id);
    b->setSpanning(s < n - 1);
    b->setSpanSeq(s);
    b->setDataBuffer(data + static_cast<size_t>(s) * static_cast<size_t>(p),
                     static_cast<unsigned>(s < n - 1 ? p : lastSize));
  }
  m_master->setCount(m_master->getCount() + 1);
  m_master->setDataSize(m_master->getDataSize() + len);
  commit(kOpPush);
  DBQS_LOG(DEBUG, "Push data, count: %d", m_master->getCount());
}

void DBQSingle::pop() {
  if (m_master->getHead() == 0) {
    DBQS_LOG(DEBUG, "Pop data, data blocks queue is empty.");
    return;
  }
  int head = m_master->getHead();
  DataBlockPtr h = readDataBlock(head);
  int length = 0, blocks = 0;
  checkRecordStart(*h, head, length, blocks);
  if (m_master->getCount() < 1) corrupt("The queue holds a record but counts none");
  DBQS_LOG(DEBUG, "Pop data, the first data block id: %d, data blocks size: %d", head, length);
  int id = head;
  int next = 0;
  int seq = 0;
  bool spanning = false;
  do {
    DataBlockPtr b = readDataBlock(id);
    checkRecordBlock(*b, id, length, seq, blocks);
    next = b->getNext();
    if (m_maxBlockId != 0 && next > m_maxBlockId) DBQS_LOG(WARN, "head id %d is beyond max id", next);
    m_master->setHead(next);
    spanning = b->isSpanning();
    freeBlock(b);
    ++seq;
    if (spanning) id = next;
  } while (spanning);
  DBQS_LOG(DEBUG, "Data blocks are freed, block count %d, id: %d", seq, id);
  if (next == 0) {
    m_master->setHead(0);
    m_master->setTail(0);
  }
  m_master->setCount(m_master->getCount() - 1);
  m_master->setDataSize(m_master->getDataSize() - static_cast<uint64_t>(length));
  if (next == 0 && m_master->getDataSize() != 0)
    corrupt("The queue ends but its data size is not 0");
  commit(kOpPop);
  DBQS_LOG(DEBUG, "Pop data count:%d", m_master->getCount());
}

bool DBQSingle::truncateLast() {
  off_t size = static_cast<off_t>(m_blockCount - 1) * m_blockSize;
  if (::ftruncate(m_fd, size) != 0) {
    DBQS_LOG(DEBUG, "Drop the last free block of the file failed:%s", errnoText(errno).c_str());
    return false;
  }
  --m_blockCount;
  m_committedBlockCount = m_blockCount;
  m_fileSize = size;
  m_written.reset();
  return true;
}

bool DBQSingle::onFreeList(const DataBlock& b, int id, DataBlockPtr& prevBlock, DataBlockPtr& nextBlock) {
  int prev = b.getPrevious();
  int next = b.getNext();
  if (prev == 0) {
    if (m_master->getFreeHead() != id) return false;
  } else {
    if (!inRange(prev) || prev == id) return false;
    prevBlock = readDataBlock(prev);
    if (!prevBlock->isFree() || prevBlock->getNext() != id) return false;
  }
  if (next == 0) return m_master->getFreeTail() == id;
  if (!inRange(next) || next == id) return false;
  nextBlock = readDataBlock(next);
  return nextBlock->isFree() && nextBlock->getPrevious() == id;
}

// Blocks at the end of the file that no chain links to: those appended for a
// record whose commit never began (a process killed in between; every used
// block has a length, every listed one the free flag), and a free block whose
// truncation did not happen. They are cut off, last first.
void DBQSingle::reclaimUnlinkedTail() {
  int64_t cut = 0;
  try {
    while (m_blockCount > 1) {
      int id = static_cast<int>(m_blockCount - 1);
      const MasterBlock& m = *m_master;
      if (id == m.getHead() || id == m.getTail() || id == m.getFreeHead() || id == m.getFreeTail()) break;
      DataBlockPtr b = readDataBlock(id);
      bool fresh = b->getFlags() == 0 && b->getLength() == 0 && b->getNext() == 0;
      DataBlockPtr pb, nb;
      if (!fresh && !(b->isFree() && !onFreeList(*b, id, pb, nb))) break;
      if (::ftruncate(m_fd, static_cast<off_t>(id) * m_blockSize) != 0) break;
      m_fileSize = static_cast<int64_t>(id) * m_blockSize;
      --m_blockCount;
      ++cut;
    }
  } catch (const FatalErrorException&) {
    // A damaged block ends the reclaim; the queue reports it when it gets there.
  }
  if (cut > 0)
    DBQS_LOG(INFO, "Reclaimed %lld blocks at the end of %s that no chain links to.", static_cast<long long>(cut),
             m_path.c_str());
}

void DBQSingle::dropLastBlock() {
  if (m_blockCount <= 1) return;
  int lastId = static_cast<int>(m_blockCount - 1);
  DataBlockPtr b = readDataBlock(lastId);
  if (!b->isFree()) return;
  if (m_decay++ < DECAY_RATE) return;
  m_decay = 0;
  DBQS_LOG(DEBUG, "Drop the last free block at the tail of the file id:%d", lastId);
  int next = b->getNext();
  int prev = b->getPrevious();
  // A free-flagged block that its neighbours do not link to is not on the list
  // (a truncation that did not happen): it is only cut off.
  DataBlockPtr pb, nb;
  if (!onFreeList(*b, lastId, pb, nb)) {
    truncateLast();
    return;
  }
  bool isHead = m_master->getFreeHead() == lastId;
  bool isTail = m_master->getFreeTail() == lastId;
  if (isHead && isTail) {
    m_master->setFreeHead(0);
    m_master->setFreeTail(0);
  } else if (isHead) {
    m_master->setFreeHead(next);
    if (m_maxBlockId != 0 && next > m_maxBlockId) DBQS_LOG(WARN, "The new free list head %d is beyond max id", next);
    nb->setPrevious(0);
    markDirty(nb);
  } else if (isTail) {
    m_master->setFreeTail(prev);
    if (m_maxBlockId != 0 && prev > m_maxBlockId) DBQS_LOG(WARN, "The new free list tail %d is beyond max id", prev);
    pb->setNext(0);
    markDirty(pb);
  } else {
    pb->setNext(next);
    nb->setPrevious(prev);
    markDirty(pb);
    markDirty(nb);
  }
  commit(kOpDropLast);
  truncateLast();
}

// ------------------------------------------------------------ public queue API

void DBQSingle::enqueue(boost::shared_array<unsigned char> data, unsigned int len) {
  Lock lock(m_mutex);
  requireOpen("enqueue");
  requireWritable("enqueue");
  if (len > static_cast<unsigned int>(INT_MAX))
    OFW_THROW_CODE(InvalidArgumentException, format("Record of %u bytes is too long", len), EINVAL);
  if (len > 0 && !data) OFW_THROW_CODE(InvalidArgumentException, "Record without data", EINVAL);
  mutate([&] { push(data.get(), len); });
}

void DBQSingle::peek(boost::shared_array<unsigned char>& data, unsigned int& len) {
  Lock lock(m_mutex);
  requireOpen("peek");
  getHead(data, len);
}

int DBQSingle::readRecord(int first, int& blocks, const std::function<unsigned char*(int)>& place) {
  DataBlockPtr h = readDataBlock(first);
  int length = 0;
  checkRecordStart(*h, first, length, blocks);
  int p = payloadSize(m_blockSize, dataType());
  DBQS_LOG(DEBUG, "Get head data, size:%d, block size:%d, blocks: %d, the last blocks size: %d", length, p, blocks,
           length - (blocks - 1) * p);
  unsigned char* out = place(length);
  DataBlockPtr held;
  return gatherRecord(first, length, p, out, [&](int id, int seq) -> DataBlock& {
    held = seq == 0 ? h : readDataBlock(id);
    checkRecordBlock(*held, id, length, seq, blocks);
    return *held;
  });
}

void DBQSingle::getHead(boost::shared_array<unsigned char>& data, unsigned int& len) {
  Lock lock(m_mutex);
  len = 0;
  int head = m_master->getHead();
  if (head == 0) return;
  if (m_fd < 0) OFW_THROW_CODE(IOException, "DBQSingle (getHead) is not opened.", 0);
  boost::shared_array<unsigned char> out;
  int blocks = 0;
  readRecord(head, blocks, [&](int length) {
    out.reset(new unsigned char[static_cast<size_t>(length)]);
    len = static_cast<unsigned int>(length);
    return out.get();
  });
  data = out;
}

void DBQSingle::getHead(boost::shared_array<unsigned char>& data, unsigned int& len, uint64_t& identity) {
  Lock lock(m_mutex);
  getHead(data, len);
  identity = this->identity();
}

bool DBQSingle::dequeueIfSame(uint64_t identity) {
  Lock lock(m_mutex);
  if (!m_open || identity == 0 || identity != this->identity()) {
    DBQS_LOG(WARN, "The queue was replaced since its head was read; the head record is kept.");
    return false;
  }
  if (m_master->getHead() == 0) return false;
  dequeue();
  return true;
}

void DBQSingle::forEachRecord(const std::function<bool(const unsigned char*, unsigned int)>& fn) {
  Lock lock(m_mutex);
  requireOpen("forEachRecord");
  int id = m_master->getHead();
  int64_t records = 0;
  int64_t visited = 0;
  std::vector<unsigned char> buf;
  while (id != 0) {
    if (++records > m_master->getCount()) corrupt("The chain holds more records than the queue counts");
    int blocks = 0;
    id = readRecord(id, blocks, [&](int length) {
      buf.resize(static_cast<size_t>(length));
      return buf.data();
    });
    visited += blocks;
    if (visited > m_blockCount - 1) corrupt("The chain of records is longer than the file");
    if (!fn(buf.data(), static_cast<unsigned int>(buf.size()))) return;
  }
}

void DBQSingle::dequeue(boost::shared_array<unsigned char>& data, unsigned int& len) {
  Lock lock(m_mutex);
  peek(data, len);
  requireWritable("dequeue");
  removeHead();
}

void DBQSingle::dequeue() {
  Lock lock(m_mutex);
  requireOpen("dequeue");
  requireWritable("dequeue");
  removeHead();
}

void DBQSingle::removeHead() {
  mutate([&] { pop(); });
  // The record is gone: a failure of the space reclaim must not look like a
  // failed removal (the caller would remove the next record too).
  try {
    mutate([&] { dropLastBlock(); });
  } catch (const std::exception& e) {
    DBQS_LOG(WARN, "Dropping the last free block failed: %s", e.what());
  }
}

void DBQSingle::shrink() {
  Lock lock(m_mutex);
  requireOpen("shrink");
  requireWritable("shrink");
  mutate([&] { dropLastBlock(); });
}

int DBQSingle::getBlockSizeOnDisk() {
  Lock lock(m_mutex);
  return m_master->getBlockSizeField();
}

uint64_t DBQSingle::getDataSize() {
  Lock lock(m_mutex);
  return m_master->getDataSize();
}

uint64_t DBQSingle::getQueueSizeOnDisk() {
  Lock lock(m_mutex);
  return m_fd < 0 ? 0 : static_cast<uint64_t>(m_fileSize);
}

int64_t DBQSingle::count() {
  Lock lock(m_mutex);
  return m_master->getCount();
}

bool DBQSingle::empty() {
  Lock lock(m_mutex);
  return m_master->getHead() == 0;
}

DBQ::QueueStat DBQSingle::getQueueStat() {
  Lock lock(m_mutex);
  return m_stat;
}

void DBQSingle::setQueueStat(QueueStat stat) {
  Lock lock(m_mutex);
  m_stat = stat;
}

void DBQSingle::handleFatalErrorException(const FatalErrorException&) {}
void DBQSingle::handleException(const OFWException&) {}
void DBQSingle::flushDb() {
  Lock lock(m_mutex);
  if (m_fd >= 0) syncCommitted(m_sync.syncPending(m_fd));
}

void DBQSingle::setDbqMaxSize(unsigned long bytes) {
  Lock lock(m_mutex);
  if (m_maxBlockId != 0) return;
  unsigned long ids = bytes / static_cast<unsigned long>(m_blockSize);
  m_maxBlockId = ids > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(ids);
}

uint64_t DBQSingle::getDataSize(const std::string& path) {
  DBQSingle q(kDefaultBlockSize);
  if (!q.open(path, DBQ_READ_ONLY, 0600, false, std::string())) return 0;
  return q.getDataSize();
}

// --------------------------------------------------------------- descriptor

bool DBQSingle::setDescriptor(const unsigned char* data, unsigned int len) {
  Lock lock(m_mutex);
  requireWritable("setDescriptor");
  int limit = m_blockSize - m_master->dataOffSet();
  if (len > static_cast<unsigned int>(limit) || (len > 0 && data == nullptr)) {
    DBQS_LOG(WARN, "descriptor is too bigdata size %d, limitation %d.", static_cast<int>(len), limit);
    return false;
  }
  mutate([&] {
    if (len > 0) std::memcpy(m_master->getDataBuffer(), data, len);
    m_master->setDescriptorLength(static_cast<int>(len));
    commit(kOpDescriptor);
  });
  return true;
}

std::string DBQSingle::getDescriptor() {
  Lock lock(m_mutex);
  int len = m_master->getDescriptorLength();
  int limit = m_blockSize - m_master->dataOffSet();
  if (len <= 0 || len > limit) return std::string();
  return std::string(reinterpret_cast<const char*>(m_master->getDataBuffer()), static_cast<size_t>(len));
}

}  // namespace ofw
