#include "ofw/dbq/dbqcomposite.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "ofw/dbq/dbq_salvage.h"
#include "ofw/format.h"
#include "ofw/guid.h"

namespace ofw {

namespace {

std::atomic<DBQComposite::RolloverFaultHook> gRolloverFault{nullptr};

bool pathExists(const std::string& path, struct stat* st = nullptr) {
  struct stat local;
  return ::stat(path.c_str(), st ? st : &local) == 0;
}

// mkdir -p with the given permission bits for every directory it creates.
bool makeDirectories(const std::string& path, mode_t mode, int& err) {
  std::string partial;
  std::string::size_type pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
      err = errno;
      return false;
    }
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    err = ENOTDIR;
    return false;
  }
  return true;
}

}  // namespace

void DBQComposite::setRolloverFaultHook(RolloverFaultHook hook) { gRolloverFault.store(hook); }

DBQComposite::DBQComposite(int blockSize) : m_blockSize(blockSize), m_logger(getLogger("ofw.dbqc")) {
  if (blockSize < dbqfmt::kMinBlockSize || blockSize > dbqfmt::kMaxBlockSize)
    OFW_THROW_CODE(InvalidArgumentException, format("Invalid block size %d", blockSize), EINVAL);
}

DBQComposite::DBQComposite(const std::string& path, DBQMode mode, int blockSize, int permissions)
    : DBQComposite(blockSize) {
  open(path, mode, permissions, true, std::string());
}

DBQComposite::~DBQComposite() {
  try {
    close();
  } catch (...) {
  }
}

std::string DBQComposite::filePath(int64_t id) const { return m_path + "/" + std::to_string(id); }

DBQComposite::SinglePtr DBQComposite::newMember() const {
  SinglePtr s(new DBQSingle(m_blockSize));
  s->setDbqMaxSize(static_cast<unsigned long>(m_maxFileSize));
  if (m_account) s->setSizeAccount(m_account);
  return s;
}

bool DBQComposite::listFiles(const std::string& path, std::vector<std::pair<int64_t, std::string>>& files) {
  files.clear();
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return false;
  while (struct dirent* e = ::readdir(dir)) {
    const char* name = e->d_name;
    if (*name < '0' || *name > '9') continue;
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(name, &end, 10);
    if (errno == ERANGE || n < 0 || n > (LLONG_MAX >> 1)) continue;
    files.emplace_back(static_cast<int64_t>(n), std::string(name));
  }
  ::closedir(dir);
  std::sort(files.begin(), files.end());
  return true;
}

int64_t DBQComposite::getEnqueueID() {
  Lock lock(m_mutex);
  return m_DbqEnqueueID;
}
int64_t DBQComposite::getDequeueID() {
  Lock lock(m_mutex);
  return m_DbqDequeueID;
}
uint64_t DBQComposite::getMaxFileSize() {
  Lock lock(m_mutex);
  return m_maxFileSize;
}

// ------------------------------------------------------------------- opening

bool DBQComposite::open(const std::string& path, DBQMode mode, int permissions, bool failIfUnclean,
                        const std::string& tag) {
  Lock lock(m_mutex);
  return openLocked(path, mode, permissions, failIfUnclean, tag);
}

bool DBQComposite::initialiseFresh() {
  m_DbqEnqueueID = 0;
  m_DbqDequeueID = 0;
  SinglePtr s = newMember();
  if (!s->open(filePath(0), m_mode, m_permissions, true, m_tag)) return false;
  m_DbqEnqueue = s;
  m_DbqDequeue = s;
  m_count = s->count();
  m_size = static_cast<int64_t>(s->getDataSize());
  return true;
}

bool DBQComposite::openLocked(const std::string& path, DBQMode mode, int permissions, bool failIfUnclean,
                              const std::string& tag) {
  closeLocked();
  m_mode = mode;
  m_permissions = permissions;
  m_path = path;
  m_failIfUnclean = failIfUnclean;
  if (m_tag.empty()) m_tag = tag;
  OFW_DEBUG(m_logger, "DBQC open");
  m_count = 0;
  m_size = 0;
  m_DbqEnqueueID = 0;
  m_DbqDequeueID = 0;

  struct stat st;
  bool exists = pathExists(path, &st);
  if (exists && !S_ISDIR(st.st_mode)) return false;
  if (!exists) {
    if (mode == DBQ_READ_ONLY) {
      OFW_DEBUG(m_logger, "Directory %s doesn't exist", path.c_str());
      return false;
    }
    int err = 0;
    if (!makeDirectories(path, 0755, err)) {
      OFW_DEBUG(m_logger, "Directory %s couldn't be created: %s", path.c_str(), errnoText(err).c_str());
      return false;
    }
    if (!initialiseFresh()) return false;
    m_stat = QS_NORMAL;
    m_open = true;
    takeNewIdentity();
    return true;
  }
  if (mode == DBQ_CREATE) {
    if (!initialiseFresh()) return false;
    m_stat = QS_NORMAL;
    m_open = true;
    takeNewIdentity();
    return true;
  }

  std::vector<std::pair<int64_t, std::string>> files;
  if (!listFiles(path, files)) return false;
  files.erase(std::unique(files.begin(), files.end(),
                          [](const std::pair<int64_t, std::string>& a, const std::pair<int64_t, std::string>& b) {
                            return a.first == b.first;
                          }),
              files.end());
  if (!files.empty()) {
    m_DbqDequeueID = files.front().first;
    m_DbqEnqueueID = files.back().first;
    OFW_DEBUG(m_logger, "DBQC enqueues to %ld and dequeue from %ld", static_cast<long>(m_DbqEnqueueID),
              static_cast<long>(m_DbqDequeueID));
    try {
      for (auto& f : files) {
        int64_t id = f.first;
        OFW_TRACE(m_logger, "DBQC reads book keeping data from %lld. m_count: %lld; m_size: %lld",
                  static_cast<long long>(id), static_cast<long long>(m_count), static_cast<long long>(m_size));
        SinglePtr s = newMember();
        if (!s->open(filePath(id), mode, permissions, failIfUnclean, m_tag)) {
          m_stat = s->getQueueStat();
          closeLocked();
          return false;
        }
        m_count += s->count();
        m_size += static_cast<int64_t>(s->getDataSize());
        OFW_TRACE(m_logger, "DBQC reads %lld has count %lld and data size %lld", static_cast<long long>(id),
                  static_cast<long long>(s->count()), static_cast<long long>(s->getDataSize()));
        bool kept = false;
        if (id == m_DbqEnqueueID) {
          m_DbqEnqueue = s;
          kept = true;
          OFW_DEBUG(m_logger, "DBQC's enqueue end has count %lld and data size %lld",
                    static_cast<long long>(s->count()), static_cast<long long>(s->getDataSize()));
        }
        if (id == m_DbqDequeueID) {
          m_DbqDequeue = s;
          kept = true;
          OFW_DEBUG(m_logger, "DBQC's dequeue end has count %lld and data size %llu",
                    static_cast<long long>(s->count()), static_cast<unsigned long long>(s->getDataSize()));
          if (m_DbqDequeueID == m_DbqEnqueueID) OFW_DEBUG(m_logger, "DBQC's enqueue end is same as dequeue end");
        }
        if (!kept) s->close();
      }
    } catch (...) {
      closeLocked();
      throw;
    }
    OFW_DEBUG(m_logger, "DBQC has count %lld and data size %lld", static_cast<long long>(m_count),
              static_cast<long long>(m_size));
  } else if (mode != DBQ_READ_ONLY) {
    if (!initialiseFresh()) return false;
  }
  // Read-only with no file: an empty queue with no member open.
  m_stat = QS_NORMAL;
  m_open = true;
  takeNewIdentity();
  return true;
}

void DBQComposite::closeLocked() {
  if (m_DbqDequeue) m_DbqDequeue->close();
  if (m_DbqEnqueue) m_DbqEnqueue->close();
  m_DbqDequeue.reset();
  m_DbqEnqueue.reset();
  m_open = false;
  clearIdentity();
}

void DBQComposite::close() {
  Lock lock(m_mutex);
  OFW_DEBUG(m_logger, "DBQC close");
  closeLocked();
}

bool DBQComposite::isOpen() {
  Lock lock(m_mutex);
  OFW_TRACE(m_logger, "DBQC isOpen");
  if (!m_open) return false;
  if (!m_DbqEnqueue && !m_DbqDequeue) return m_mode == DBQ_READ_ONLY;
  return m_DbqEnqueue && m_DbqDequeue && m_DbqEnqueue->isOpen() && m_DbqDequeue->isOpen();
}

void DBQComposite::requireOpen(const char* op) {
  if (!isOpen()) OFW_THROW_CODE(IOException, format("DBQC (%s) is not opened.", op), 0);
}

void DBQComposite::requireWritable(const char* op) {
  requireOpen(op);
  if (m_mode == DBQ_READ_ONLY) OFW_THROW_CODE(IOException, format("DBQC (%s) is opened read-only.", op), EBADF);
}

// ------------------------------------------------------------------ enqueue

void DBQComposite::enqueue(boost::shared_array<unsigned char> data, unsigned int len) {
  Lock lock(m_mutex);
  requireWritable("enqueue");
  OFW_DEBUG(m_logger, "DBQC Enqueue data. m_DbqDequeueID %ld, m_DbqEnqueueID %ld", static_cast<long>(m_DbqDequeueID),
            static_cast<long>(m_DbqEnqueueID));
  if (m_DbqEnqueue->getQueueSizeOnDisk() > m_maxFileSize) {
    int64_t id = m_DbqEnqueueID + 1;
    SinglePtr s = newMember();
    bool ok = false;
    int err = 0;
    std::string why;
    RolloverFaultHook hook = gRolloverFault.load();
    if (hook && hook(id)) {
      err = EIO;
      why = "injected failure";
    } else {
      try {
        ok = s->open(filePath(id), m_mode, m_permissions, true, m_tag);
        if (!ok) err = errno;
      } catch (const std::exception& e) {
        why = e.what();
        err = EIO;
      }
    }
    if (!ok) {
      // The record is not dropped: it goes to the current file, which so grows
      // past the limit until a new file can be made.
      OFW_ERROR(m_logger,
                "DBQC failed to make new file. The record is appended to the current file. Error: %d%s%s. Please "
                "recover the machine and restart the process.",
                err, why.empty() ? "" : ", ", why.c_str());
    } else {
      if (m_DbqEnqueue != m_DbqDequeue) m_DbqEnqueue->close();
      m_DbqEnqueue = s;
      m_DbqEnqueueID = id;
    }
  }
  int64_t c0 = m_DbqEnqueue->count();
  uint64_t s0 = m_DbqEnqueue->getDataSize();
  m_DbqEnqueue->enqueue(data, len);
  m_count += m_DbqEnqueue->count() - c0;
  m_size += static_cast<int64_t>(m_DbqEnqueue->getDataSize() - s0);
}

// --------------------------------------------------------------- dequeue end

std::string DBQComposite::newAsideName(const std::string& base) const {
  std::string name = base + "." + std::to_string(static_cast<long>(::getpid())) + "." + Guid::generate().toString();
  if (pathExists(name)) {
    OFW_DEBUG(m_logger, "New generated name exists: %s", name.c_str());
    name = base + "." + std::to_string(static_cast<long>(::getpid())) + "." + Guid::generate().toString();
    if (pathExists(name)) return std::string();
  }
  return name;
}

// Releases the emptied dequeue end: deleted, unless its master still counts
// records (records of no bytes, or damage): then it is moved aside next to the
// directory and kept.
void DBQComposite::retireDequeueEnd() {
  SinglePtr old = m_DbqDequeue;
  if (m_mode == DBQ_READ_ONLY) {
    old->close();
    return;
  }
  int64_t c = old->count();
  uint64_t s = old->getDataSize();
  if (c == 0) {
    old->destroy();
    return;
  }
  old->close();
  std::string from = filePath(m_DbqDequeueID);
  std::string aside = newAsideName(m_path + "." + std::to_string(static_cast<long long>(m_DbqDequeueID)));
  if (aside.empty() || ::rename(from.c_str(), aside.c_str()) != 0) {
    OFW_ERROR(m_logger, "Unable to move %s out of the way: %s; it is left in place.", from.c_str(),
              errnoText(errno).c_str());
  } else {
    OFW_WARN(m_logger, "%s counts %lld records that cannot be read from its head; moved it to %s", from.c_str(),
             static_cast<long long>(c), aside.c_str());
    salvageQueueFile(aside, *this, m_logger, m_blockSize);
  }
  m_count -= c;
  m_size -= static_cast<int64_t>(s);
}

void DBQComposite::rotateDequeueEnd(bool afterRemoval) {
  OFW_DEBUG(m_logger, "Rotate dequeue end. m_DbqEnqueueID %ld, m_DbqDequeueID %ld", static_cast<long>(m_DbqEnqueueID),
            static_cast<long>(m_DbqDequeueID));
  if (!m_DbqDequeue || !m_DbqDequeue->empty() || m_DbqDequeueID >= m_DbqEnqueueID) return;
  if (m_DbqDequeue->count() != 0)
    OFW_INFO(m_logger, "Rotate dequeue end - dequeue end is empty but the accounting claims there are still %d records.",
             static_cast<int>(m_DbqDequeue->count()));
  int64_t nextId = m_DbqDequeueID + 1;
  if (m_mode == DBQ_READ_ONLY)  // nothing is created: go on to the next file that exists
    while (nextId < m_DbqEnqueueID && !pathExists(filePath(nextId))) ++nextId;
  if (nextId == m_DbqEnqueueID) {
    OFW_DEBUG(m_logger, "Rotate dequeue end - become same as enqueue end.");
    retireDequeueEnd();
    m_DbqDequeue = m_DbqEnqueue;
    m_DbqDequeueID = m_DbqEnqueueID;
    return;
  }
  OFW_DEBUG(m_logger, "Rotate dequeue end - open next DBQSingle: %ld.", static_cast<long>(nextId));
  SinglePtr s = newMember();
  bool ok = false;
  int err = 0;
  try {
    ok = s->open(filePath(nextId), m_mode, m_permissions, m_failIfUnclean, m_tag);
    if (!ok) err = errno;
  } catch (const std::exception& e) {
    if (!afterRemoval) throw;
    err = EIO;
    OFW_ERROR(m_logger, "DBQC dequeue failed to open %s: %s", filePath(nextId).c_str(), e.what());
  }
  if (ok) {
    retireDequeueEnd();
    m_DbqDequeue = s;
    m_DbqDequeueID = nextId;
    OFW_DEBUG(m_logger, "Dequeue rotate dequeue end successful.");
  } else {
    OFW_ERROR(m_logger, "DBQC dequeue failed to open %s. Error: %d. Please recover the machine and restart the process.",
              filePath(nextId).c_str(), err);
  }
}

void DBQComposite::skipEmpty() {
  OFW_TRACE(m_logger, "DBQC skip empty DBQ at dequeue head");
  while (m_DbqDequeue && m_DbqDequeue->empty() && m_DbqDequeueID < m_DbqEnqueueID) {
    OFW_DEBUG(m_logger, "DBQC skipping empty dequeue head");
    int64_t before = m_DbqDequeueID;
    rotateDequeueEnd(false);
    if (m_DbqDequeueID == before) break;  // the rotation failed; it was logged
  }
}

void DBQComposite::dequeue(boost::shared_array<unsigned char>& data, unsigned int& len) {
  Lock lock(m_mutex);
  OFW_DEBUG(m_logger, "DBQC dequeue and get data");
  requireWritable("dequeue(..)");
  removeHead([&] { m_DbqDequeue->dequeue(data, len); });
}

void DBQComposite::dequeue() {
  Lock lock(m_mutex);
  OFW_DEBUG(m_logger, "DBQC dequeue and purge data");
  requireWritable("dequeue()");
  removeHead([&] { m_DbqDequeue->dequeue(); });
}

void DBQComposite::removeHead(const std::function<void()>& remove) {
  skipEmpty();
  OFW_TRACE(m_logger, "m_DbqDequeue count %ld, m_DbqDequeueID %ld, m_DbqEnqueueID %ld",
            static_cast<long>(m_DbqDequeue->count()), static_cast<long>(m_DbqDequeueID),
            static_cast<long>(m_DbqEnqueueID));
  int64_t c0 = m_DbqDequeue->count();
  uint64_t s0 = m_DbqDequeue->getDataSize();
  remove();
  OFW_TRACE(m_logger, "m_DbqDequeue count after dequeue: %ld", static_cast<long>(m_DbqDequeue->count()));
  m_count += m_DbqDequeue->count() - c0;
  m_size -= static_cast<int64_t>(s0 - m_DbqDequeue->getDataSize());
  rotateDequeueEnd(true);
}

void DBQComposite::peek(boost::shared_array<unsigned char>& data, unsigned int& len) {
  Lock lock(m_mutex);
  OFW_DEBUG(m_logger, "DBQC peek");
  requireOpen("peek");
  len = 0;
  skipEmpty();
  if (m_DbqDequeue) m_DbqDequeue->peek(data, len);
}

void DBQComposite::getHead(boost::shared_array<unsigned char>& data, unsigned int& len) {
  Lock lock(m_mutex);
  OFW_DEBUG(m_logger, "DBQC gethead");
  requireOpen("getHead");
  len = 0;
  skipEmpty();
  if (m_DbqDequeue) m_DbqDequeue->getHead(data, len);
}

void DBQComposite::getHead(boost::shared_array<unsigned char>& data, unsigned int& len, uint64_t& identity) {
  Lock lock(m_mutex);
  getHead(data, len);
  identity = this->identity();
}

bool DBQComposite::dequeueIfSame(uint64_t identity) {
  Lock lock(m_mutex);
  if (!m_open || identity == 0 || identity != this->identity()) {
    OFW_WARN(m_logger, "DBQ (%s) was replaced since its head was read; the head record is kept.", m_tag.c_str());
    return false;
  }
  if (m_count <= 0) return false;
  dequeue();
  return true;
}

void DBQComposite::shrink() {
  Lock lock(m_mutex);
  requireWritable("shrink");
  skipEmpty();
  OFW_DEBUG(m_logger, "DBQC shrink");
  m_DbqDequeue->shrink();
}

void DBQComposite::forEachRecord(const std::function<bool(const unsigned char*, unsigned int)>& fn) {
  Lock lock(m_mutex);
  requireOpen("forEachRecord");
  if (!m_DbqDequeue) return;
  bool stopped = false;
  auto visit = [&](const unsigned char* d, unsigned int l) {
    if (!fn(d, l)) stopped = true;
    return !stopped;
  };
  for (int64_t id = m_DbqDequeueID; id <= m_DbqEnqueueID && !stopped; ++id) {
    if (id == m_DbqDequeueID) {
      m_DbqDequeue->forEachRecord(visit);
    } else if (id == m_DbqEnqueueID) {
      m_DbqEnqueue->forEachRecord(visit);
    } else if (pathExists(filePath(id))) {
      SinglePtr s = newMember();
      if (!s->open(filePath(id), DBQ_READ_ONLY, m_permissions, m_failIfUnclean, m_tag))
        OFW_THROW_CODE(IOException, "Unable to open " + filePath(id), errno);
      s->forEachRecord(visit);
    }
  }
}

// ------------------------------------------------------------------- accounting

int64_t DBQComposite::count() {
  Lock lock(m_mutex);
  OFW_DEBUG(m_logger, "DBQC count");
  return m_count;
}

uint64_t DBQComposite::getDataSize() {
  Lock lock(m_mutex);
  OFW_DEBUG(m_logger, "DBQC getDataSize: %llu", static_cast<unsigned long long>(m_size));
  return static_cast<uint64_t>(m_size);
}

bool DBQComposite::empty() {
  Lock lock(m_mutex);
  if (!m_DbqEnqueue) return true;
  return m_DbqEnqueue->empty() && m_DbqEnqueueID == m_DbqDequeueID;
}

uint64_t DBQComposite::getQueueSizeOnDisk(const std::string& path) {
  std::vector<std::pair<int64_t, std::string>> files;
  if (!listFiles(path, files)) return 0;
  uint64_t total = 0;
  for (auto& f : files) {
    struct stat st;
    if (::stat((path + "/" + f.second).c_str(), &st) == 0 && S_ISREG(st.st_mode))
      total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

uint64_t DBQComposite::getQueueSizeOnDisk() {
  Lock lock(m_mutex);
  return getQueueSizeOnDisk(m_path);
}

int DBQComposite::getBlockSizeOnDisk() {
  Lock lock(m_mutex);
  return m_DbqEnqueue ? m_DbqEnqueue->getBlockSizeOnDisk() : 0;
}

DBQ::QueueStat DBQComposite::getQueueStat() {
  Lock lock(m_mutex);
  return m_stat;
}

void DBQComposite::setQueueStat(QueueStat stat) {
  Lock lock(m_mutex);
  m_stat = stat;
}

void DBQComposite::setDbqMaxSize(unsigned long bytes) {
  Lock lock(m_mutex);
  m_maxFileSize = bytes;
}

void DBQComposite::setSizeAccount(const SizeAccountPtr& account) {
  Lock lock(m_mutex);
  m_account = account;
  if (m_DbqEnqueue) m_DbqEnqueue->setSizeAccount(account);
  if (m_DbqDequeue && m_DbqDequeue != m_DbqEnqueue) m_DbqDequeue->setSizeAccount(account);
}

// ------------------------------------------------------------------ lifecycle

void DBQComposite::destroy() {
  Lock lock(m_mutex);
  OFW_DEBUG(m_logger, "Destroy the whole DBQC");
  closeLocked();
  std::vector<std::pair<int64_t, std::string>> files;
  listFiles(m_path, files);
  for (auto& f : files) {
    OFW_DEBUG(m_logger, "Destroying %ld", static_cast<long>(f.first));
    std::string p = m_path + "/" + f.second;
    struct stat st;
    const int64_t bytes = m_account && ::stat(p.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    if (::unlink(p.c_str()) != 0)
      OFW_DEBUG(m_logger, "Remove file %s failed (error %d)", p.c_str(), errno);
    else if (m_account && m_mode != DBQ_READ_ONLY)
      m_account->add(-bytes);
  }
  if (::rmdir(m_path.c_str()) != 0)
    OFW_DEBUG(m_logger, "Error when removing dbq file %s (error: %s)", m_path.c_str(), errnoText(errno).c_str());
}

void DBQComposite::flushDb() {
  Lock lock(m_mutex);
  if (!m_open || m_mode == DBQ_READ_ONLY) return;
  int64_t c = 0;
  try {
    c = m_count;
    if (c == 0) {
      // Renew only when every file on disk agrees that it holds nothing.
      std::vector<std::pair<int64_t, std::string>> files;
      if (!listFiles(m_path, files)) return;
      for (auto& f : files) {
        DBQSingle probe(m_blockSize);
        if (!probe.open(m_path + "/" + f.second, DBQ_READ_ONLY, m_permissions, false, m_tag) || probe.count() != 0 ||
            probe.getCurrentOperation() != 0) {
          OFW_WARN(m_logger, "DBQ (%s) %s/%s is not empty; the queue is not renewed.", m_tag.c_str(), m_path.c_str(),
                   f.second.c_str());
          return;
        }
      }
    }
  } catch (const FatalErrorException& e) {
    handleFatalErrorException(e);
    return;
  } catch (const Base_Exception& e) {
    handleException(e);
    return;
  }
  if (c != 0) return;
  OFW_DEBUG(m_logger, "DBQ (%s) Data size becomes 0. Renew DBQ.", m_tag.c_str());
  std::string path = m_path;
  DBQMode mode = m_mode;
  int permissions = m_permissions;
  destroy();
  bool ok = false;
  try {
    ok = openLocked(path, mode, permissions, true, m_tag);
  } catch (const std::exception& e) {
    OFW_DEBUG(m_logger, "Renewal of %s: %s", path.c_str(), e.what());
  }
  if (!ok) OFW_DEBUG(m_logger, "Fail to open db %s at %s.", m_tag.c_str(), path.c_str());
}

void DBQComposite::handleFatalErrorException(const FatalErrorException& e) {
  Lock lock(m_mutex);
  OFW_FATAL(m_logger, "Fatal Error encountered in audit database: %s. Please call Orvane support", e.what());
  closeLocked();
}

void DBQComposite::handleException(const OFWException& e) {
  Lock lock(m_mutex);
  OFW_WARN(m_logger, "Error encountered in audit database: %s. Please call Orvane support", e.what());
  if (isDbqNoSpace(e)) {
    // The failed write was undone and the queue is intact: moving it aside would
    // only need more space. The caller decides what to do with the record.
    OFW_WARN(m_logger, "The disk is full; %s is kept in place.", m_path.c_str());
    if (!isOpen()) {
      try {
        openLocked(m_path, m_mode, m_permissions, true, m_tag);
      } catch (const std::exception& e2) {
        OFW_DEBUG(m_logger, "Fail to open db %s at %s: %s", m_tag.c_str(), m_path.c_str(), e2.what());
      }
    }
    return;
  }
  closeLocked();
  std::string aside;
  struct stat st;
  if (pathExists(m_path, &st)) {
    aside = newAsideName(m_path);
    if (aside.empty())
      throw Base_Exception(
          format("Unable to move corrupt %s out of the way: failed to generate non-existing name", m_path.c_str()),
          "OFWException", 0, __FILE__, __LINE__);
    OFW_WARN(m_logger, "  Moving the file out of the way to: %s", aside.c_str());
    if (::rename(m_path.c_str(), aside.c_str()) != 0) {
      int err = errno;
      throw Base_Exception(format("Unable to move corrupt %s out of the way: %s (error: %d).", m_path.c_str(),
                                  errnoText(err).c_str(), err),
                           "OFWException", err, __FILE__, __LINE__);
    }
    OFW_DEBUG(m_logger, "Renaming %s to %s succeeded.", m_path.c_str(), aside.c_str());
  }
  bool ok = false;
  try {
    ok = openLocked(m_path, DBQ_OPEN_OR_CREATE, 0600, true, m_tag);
  } catch (const std::exception& e2) {
    OFW_DEBUG(m_logger, "Reopen of %s: %s", m_path.c_str(), e2.what());
  }
  if (!ok) {
    OFW_DEBUG(m_logger, "Fail to open db %s at %s.", m_tag.c_str(), m_path.c_str());
    return;
  }
  // Every complete record of the moved-aside copy goes first into the fresh queue.
  if (!aside.empty()) salvageQueueDirectory(aside, *this, m_logger, m_blockSize);
}

// ------------------------------------------------------------------ diagnostics

void DBQComposite::dump(bool verbose) {
  dumpTo(std::cout, verbose);
  std::cout.flush();
}

void DBQComposite::dumpTo(std::ostream& out, bool verbose) {
  Lock lock(m_mutex);
  if (m_open)
    out << "DBQC " << m_path << (m_tag.empty() ? "" : " (" + m_tag + ")") << "\n  count: " << m_count
        << "\n  data size: " << m_size << "\n  dequeue end: " << m_DbqDequeueID << "\n  enqueue end: " << m_DbqEnqueueID
        << "\n";
  dumpDirectory(m_path, out, verbose, m_blockSize);
}

void DBQComposite::dumpDirectory(const std::string& path, std::ostream& out, bool verbose, int blockSize) {
  std::vector<std::pair<int64_t, std::string>> files;
  if (!listFiles(path, files)) {
    out << "Database files don't exist.\n";
    return;
  }
  out << "Directory " << path << "\n  files: " << files.size() << "\n  size on disk: " << getQueueSizeOnDisk(path)
      << "\n";
  for (auto& f : files) {
    out << "File " << f.second << ":\n";
    DBQSingle s(blockSize);
    try {
      if (!s.open(path + "/" + f.second, DBQ_READ_ONLY, 0600, false, std::string())) {
        out << "  cannot be opened: " << errnoText(errno) << "\n";
        continue;
      }
      s.dumpTo(out, verbose);
    } catch (const std::exception& e) {
      out << "  cannot be read: " << e.what() << "\n";
    }
  }
}

bool DBQComposite::checkIntegrity(std::ostream& out) {
  Lock lock(m_mutex);
  return checkDirectory(m_path, out, m_blockSize);
}

bool DBQComposite::checkDirectory(const std::string& path, std::ostream& out, int blockSize) {
  std::vector<std::pair<int64_t, std::string>> files;
  out << "Checking queue for integrity: " << path << "\n";
  if (!listFiles(path, files)) {
    out << "Queue is abnormal. The directory " << path << " cannot be read: " << errnoText(errno) << "\n";
    return false;
  }
  bool ok = true;
  for (auto& f : files) {
    std::string p = path + "/" + f.second;
    DBQSingle s(blockSize);
    try {
      if (!s.open(p, DBQ_READ_ONLY, 0600, false, std::string())) {
        out << "Queue is abnormal. File " << f.second << " cannot be opened: " << errnoText(errno) << "\n";
        ok = false;
        continue;
      }
      if (!s.checkIntegrity(out)) ok = false;
    } catch (const std::exception& e) {
      out << "Queue is abnormal. File " << f.second << ": " << e.what() << "\n";
      ok = false;
    }
  }
  return ok;
}

}  // namespace ofw
