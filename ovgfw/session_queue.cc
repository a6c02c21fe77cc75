#include "ovgfw/session_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "ofw/atomic_file.h"
#include "ofw/dbq/dbq_salvage.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/dbq/dbqsingle.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace ovgfw {

namespace {

const unsigned char kPearson[256] = {
    98,  6,   85,  150, 36,  23,  112, 164, 135, 207, 169, 5,   26,  64,  165, 219, 61,  20,  68,  89,  130, 63,
    52,  102, 24,  229, 132, 245, 80,  216, 195, 115, 90,  168, 156, 203, 177, 120, 2,   190, 188, 7,   100, 185,
    174, 243, 162, 10,  237, 18,  253, 225, 8,   208, 172, 244, 255, 126, 101, 79,  145, 235, 228, 121, 123, 251,
    67,  250, 161, 0,   107, 97,  241, 111, 181, 82,  249, 33,  69,  55,  59,  153, 29,  9,   213, 167, 84,  93,
    30,  46,  94,  75,  151, 114, 73,  222, 197, 96,  210, 45,  16,  227, 248, 202, 51,  152, 252, 125, 81,  206,
    215, 186, 39,  158, 178, 187, 131, 136, 1,   49,  50,  17,  141, 91,  47,  129, 60,  99,  154, 35,  86,  171,
    105, 34,  38,  200, 147, 58,  77,  118, 173, 246, 76,  254, 133, 232, 196, 144, 198, 124, 53,  4,   108, 74,
    223, 234, 134, 230, 157, 139, 189, 205, 199, 128, 176, 19,  211, 236, 127, 192, 231, 70,  233, 88,  146, 44,
    183, 201, 22,  83,  13,  214, 116, 109, 159, 32,  95,  226, 140, 220, 57,  12,  221, 31,  209, 182, 143, 92,
    149, 184, 148, 62,  113, 65,  37,  27,  106, 166, 3,   14,  204, 72,  21,  41,  56,  66,  28,  193, 40,  217,
    25,  54,  179, 117, 238, 87,  240, 155, 180, 170, 242, 212, 191, 163, 78,  218, 137, 194, 175, 110, 43,  119,
    224, 71,  122, 142, 42,  160, 104, 48,  247, 103, 15,  11,  138, 239};

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void makeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
    throw ofw::IOException(ofw::withErrno("Unable to create directory " + path, errno), errno, __FILE__, __LINE__);
}

// Removes a directory tree (queue directories hold only files).
void removeTree(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (d) {
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      struct stat st;
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        removeTree(child);
      else
        unlink(child.c_str());
    }
    closedir(d);
  }
  rmdir(path.c_str());
}

// Parses "<swapped guid>.<ext>"; false when the stem is not a GUID text.
bool parseSpoolName(const std::string& name, const std::string& ext, ofw::Guid* guid) {
  if (name.size() != 36 + ext.size() || name.compare(36, std::string::npos, ext) != 0) return false;
  std::string stem = name.substr(0, 36);
  if (!ofw::Guid::isValidGuidStringFormat(stem)) return false;
  *guid = ofw::Guid::fromSwappedString(stem);
  return true;
}

}  // namespace

unsigned char sessionBucket(const ofw::Guid& guid) {
  unsigned char h = 0;
  for (size_t i = 0; i < ofw::Guid::SIZE; ++i) h = kPearson[guid.data()[i] ^ h];
  return h;
}

std::string sessionBucketName(const ofw::Guid& guid) { return ofw::format("%02x", sessionBucket(guid)); }

SessionQueue::SessionQueue(const std::string& sessionsDir, const ofw::Guid& guid)
    : bucketDir_(sessionsDir + "/" + sessionBucketName(guid)), guid_(guid), logger_(ofw::getLogger("session.queue")) {
  if (!isDirectory(sessionsDir)) makeDirectory(sessionsDir);
  if (!isDirectory(bucketDir_)) makeDirectory(bucketDir_);
  status_.reset(new ofw::Status(getStatusPath()));
}

std::string SessionQueue::getDbqDirectoryPath() const { return bucketDir_ + "/" + guid_.toSwappedMSString() + ".dbq"; }
std::string SessionQueue::getStatusPath() const { return bucketDir_ + "/" + guid_.toSwappedMSString() + ".status"; }

bool SessionQueue::isPaused() { return status_->isFlagSet(ofw::Status::FLAG_PAUSED); }
void SessionQueue::pause() { status_->setFlag(ofw::Status::FLAG_PAUSED); }
void SessionQueue::resume() { status_->clearFlag(ofw::Status::FLAG_PAUSED); }
bool SessionQueue::isInProgress() { return status_->isFlagSet(ofw::Status::FLAG_IN_PROGRESS); }
void SessionQueue::setInProgress() { status_->setFlag(ofw::Status::FLAG_IN_PROGRESS); }
std::string SessionQueue::getStatus() { return status_->getStatusString(); }
void SessionQueue::setStatus(const std::string& text) { status_->setStatusString(text); }

void SessionQueue::createStatusFile() {
  std::string path = getStatusPath();
  if (pathExists(path)) return;
  try {
    ofw::replaceFile(path, ofw::formatStatusFile(0, static_cast<long long>(time(nullptr)), 0, ""), 0644);
  } catch (const ofw::IOException& e) {
    throw ofw::IOException("Unable to write status file", e.code(), __FILE__, __LINE__);
  }
}

boost::shared_ptr<ofw::DBQ> SessionQueue::getDBQ(uint64_t maxSingleFileSize, ofw::DBQMode mode, int blockSize,
                                                 const ofw::SizeAccountPtr& account) {
  std::string path = getDbqDirectoryPath();
  std::string tag = guid_.toSwappedMSString();
  boost::shared_ptr<ofw::DBQComposite> q(new ofw::DBQComposite(blockSize));
  q->setDbqMaxSize(static_cast<unsigned long>(maxSingleFileSize));
  if (account) q->setSizeAccount(account);
  bool opened = false;
  try {
    opened = q->open(path, mode, 0600, true, tag);
  } catch (const std::exception& e) {
    if (ofw::isDbqNoSpace(e)) throw;
    std::string aside = path + "." + std::to_string(static_cast<long>(getpid()));
    if (pathExists(aside)) aside += "." + ofw::Guid::generate().toString();
    OFW_WARN(logger_, "Error encountered while opening audit database: %s  Moving the file out of the way to: %s",
             e.what(), aside.c_str());
    q->close();
    if (rename(path.c_str(), aside.c_str()) != 0) {
      int err = errno;
      throw ofw::SystemException(ofw::format("Unable to move corrupt %s out of the way: %s (error: %d).", path.c_str(),
                                             ofw::errnoText(err).c_str(), err),
                                 err, __FILE__, __LINE__);
    }
    OFW_DEBUG(logger_, "Renaming %s to %s succeeded.", path.c_str(), aside.c_str());
    q.reset(new ofw::DBQComposite(blockSize));
    q->setDbqMaxSize(static_cast<unsigned long>(maxSingleFileSize));
    try {
      opened = q->open(path, mode, 0600, true, tag);
    } catch (const std::exception&) {
      throw ofw::SystemException("Unable to despool records. Giveup.", 0, __FILE__, __LINE__);
    }
    if (opened) ofw::salvageQueueDirectory(aside, *q, logger_, blockSize);
  }
  if (!opened) throw ofw::SystemException("Unable to open DBQ.", 0, __FILE__, __LINE__);
  return q;
}

void SessionQueue::setOwner(int uid) {
  std::string path = bucketDir_ + "/" + guid_.toSwappedMSString() + ".owner";
  try {
    ofw::replaceFile(path, std::to_string(uid), 0600);
  } catch (const ofw::IOException& e) {
    throw ofw::IOException(ofw::withErrno("Unable to write " + path, e.code()), e.code(), __FILE__, __LINE__);
  }
}

int SessionQueue::getOwner() {
  std::string path = bucketDir_ + "/" + guid_.toSwappedMSString() + ".owner";
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  char buf[32] = {0};
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return -1;
  char* end = nullptr;
  long uid = std::strtol(buf, &end, 10);
  return (end == buf || uid < 0 || uid > 0x7fffffff) ? -1 : static_cast<int>(uid);
}

void SessionQueue::destroy(const std::string& bucketPath, const ofw::Guid& guid) {
  std::string base = bucketPath + "/" + guid.toSwappedMSString();
  std::string dbqPath = base + ".dbq";
  if (isDirectory(dbqPath)) {
    ofw::DBQComposite q;
    try {
      if (q.open(dbqPath, ofw::DBQ_OPEN_OR_CREATE, 0600, false, guid.toSwappedMSString())) q.destroy();
    } catch (const std::exception&) {
    }
    if (pathExists(dbqPath)) removeTree(dbqPath);
  }
  unlink((base + ".owner").c_str());
  unlink((base + ".status").c_str());
}

SessionQueueCollection::SessionQueueCollection(const std::string& sessionsDir, uint64_t maxSingleFileSize,
                                               ofw::DBQMode mode)
    : dir_(sessionsDir), maxSize_(maxSingleFileSize), mode_(mode),
      logger_(ofw::getLogger("session.queue.collection")) {}

boost::shared_ptr<SessionQueue> SessionQueueCollection::add(const ofw::Guid& guid, uint64_t maxSingleFileSize) {
  ofw::Lock lock(mutex_);
  OFW_DEBUG(logger_, "Adding session %s", guid.toSwappedMSString().c_str());
  boost::shared_ptr<SessionQueue> q(new SessionQueue(dir_, guid));
  q->createStatusFile();
  queues_[guid] = q;
  (void)maxSingleFileSize;
  return q;
}

boost::shared_ptr<SessionQueue> SessionQueueCollection::getSessionQueue(const ofw::Guid& guid) {
  ofw::Lock lock(mutex_);
  auto it = queues_.find(guid);
  if (it != queues_.end())
    if (boost::shared_ptr<SessionQueue> live = it->second.lock()) return live;
  boost::shared_ptr<SessionQueue> q(new SessionQueue(dir_, guid));
  queues_[guid] = q;
  return q;
}

boost::shared_ptr<ofw::DBQ> SessionQueueCollection::getDBQ(const boost::shared_ptr<SessionQueue>& queue,
                                                           int blockSize) {
  ofw::Lock lock(mutex_);
  const ofw::Guid& guid = queue->getSessionGuid();
  auto it = dbqs_.find(guid);
  if (it != dbqs_.end())
    if (boost::shared_ptr<ofw::DBQ> live = it->second.lock()) return live;
  boost::shared_ptr<ofw::DBQ> q = queue->getDBQ(maxSize_, mode_, blockSize, account_);
  dbqs_[guid] = q;
  return q;
}

boost::shared_ptr<ofw::DBQ> SessionQueueCollection::getDBQ(const ofw::Guid& guid, int blockSize) {
  boost::shared_ptr<SessionQueue> q = getSessionQueue(guid);
  if (!q)
    throw ofw::SystemException(ofw::format("Session %s not found", guid.toSwappedMSString().c_str()), 0, __FILE__,
                               __LINE__);
  return getDBQ(q, blockSize);
}

void SessionQueueCollection::destroy(const ofw::Guid& guid) {
  ofw::Lock lock(mutex_);
  OFW_DEBUG(logger_, "Destroying session %s", guid.toSwappedMSString().c_str());
  std::string bucket = dir_ + "/" + sessionBucketName(guid);
  auto it = dbqs_.find(guid);
  if (it != dbqs_.end()) {
    if (boost::shared_ptr<ofw::DBQ> live = it->second.lock()) live->close();
    dbqs_.erase(it);
  }
  queues_.erase(guid);
  if (account_) {
    const std::string dbqPath = bucket + "/" + guid.toSwappedMSString() + ".dbq";
    account_->add(-static_cast<int64_t>(ofw::DBQComposite::getQueueSizeOnDisk(dbqPath)));
  }
  SessionQueue::destroy(bucket, guid);
  DIR* d = opendir(bucket.c_str());
  if (!d) return;
  bool empty = true;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") {
      empty = false;
      break;
    }
  }
  closedir(d);
  if (empty) rmdir(bucket.c_str());
}

bool SessionQueueCollection::destroyIfEmpty(const ofw::Guid& guid) {
  ofw::Lock lock(mutex_);
  boost::shared_ptr<ofw::DBQ> live;
  auto it = dbqs_.find(guid);
  if (it != dbqs_.end()) live = it->second.lock();
  std::string dbqPath = dir_ + "/" + sessionBucketName(guid) + "/" + guid.toSwappedMSString() + ".dbq";
  if (live && live->isOpen()) {
    if (live->count() != 0) return false;
  } else {
    // Not open here (never opened, or held but closed): the files decide.
    std::vector<std::pair<int64_t, std::string>> files;
    if (ofw::DBQComposite::listFiles(dbqPath, files))
      for (auto& f : files)
        if (ofw::DBQSingle::getDataSize(dbqPath + "/" + f.second) != 0) return false;
    ofw::DBQComposite probe;
    try {
      if (isDirectory(dbqPath) && probe.open(dbqPath, ofw::DBQ_READ_ONLY, 0600, false, "") && probe.count() != 0)
        return false;
    } catch (const std::exception&) {
      return false;  // unreadable: never destroyed unread
    }
  }
  destroy(guid);
  return true;
}

uint64_t SessionQueueCollection::getDataSize() {
  uint64_t total = 0;
  for (const ofw::Guid& g : listSessions()) {
    std::string dbqPath = dir_ + "/" + sessionBucketName(g) + "/" + g.toSwappedMSString() + ".dbq";
    std::vector<std::pair<int64_t, std::string>> files;
    if (!ofw::DBQComposite::listFiles(dbqPath, files)) continue;
    for (auto& f : files) total += ofw::DBQSingle::getDataSize(dbqPath + "/" + f.second);
  }
  return total;
}

uint64_t SessionQueueCollection::getQueueSizeOnDisk() {
  uint64_t total = 0;
  for (const ofw::Guid& g : listSessions())
    total += ofw::DBQComposite::getQueueSizeOnDisk(dir_ + "/" + sessionBucketName(g) + "/" + g.toSwappedMSString() +
                                                   ".dbq");
  return total;
}

void SessionQueueCollection::setSizeAccount(const ofw::SizeAccountPtr& account) {
  ofw::Lock lock(mutex_);
  account_ = account;
}

void SessionQueueCollection::cleanReferences() {
  ofw::Lock lock(mutex_);
  for (auto it = queues_.begin(); it != queues_.end();) it = it->second.expired() ? queues_.erase(it) : std::next(it);
  for (auto it = dbqs_.begin(); it != dbqs_.end();) it = it->second.expired() ? dbqs_.erase(it) : std::next(it);
}

void SessionQueueCollection::setPausedSessionStatus() {
  ofw::Lock lock(mutex_);
  pausedSession_ = true;
}

bool SessionQueueCollection::checkAndResetPausedSessionStatus() {
  ofw::Lock lock(mutex_);
  bool was = pausedSession_;
  pausedSession_ = false;
  return was;
}

bool SessionQueueCollection::exists(const ofw::Guid& guid) {
  std::string base = dir_ + "/" + sessionBucketName(guid) + "/" + guid.toSwappedMSString();
  return pathExists(base + ".status") || pathExists(base + ".dbq");
}

std::vector<ofw::Guid> SessionQueueCollection::listSessions() {
  std::vector<ofw::Guid> out;
  DIR* top = opendir(dir_.c_str());
  if (!top) return out;
  std::vector<std::string> buckets;
  while (struct dirent* e = readdir(top)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    buckets.push_back(name);
  }
  closedir(top);
  for (const std::string& b : buckets) {
    DIR* d = opendir((dir_ + "/" + b).c_str());
    if (!d) continue;
    std::set<ofw::Guid> seen;
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      ofw::Guid g;
      if ((parseSpoolName(name, ".status", &g) || parseSpoolName(name, ".dbq", &g)) && seen.insert(g).second)
        out.push_back(g);
    }
    closedir(d);
  }
  return out;
}

boost::shared_ptr<SessionQueue> SessionQueueCollection::Iterator::operator*() const {
  if (atEnd()) throw ofw::SystemException("Attempt to move beyond end of collection", 0, __FILE__, __LINE__);
  return owner_->getSessionQueue(guids_[pos_]);
}

SessionQueueCollection::Iterator& SessionQueueCollection::Iterator::operator++() {
  if (atEnd()) throw ofw::SystemException("Attempt to move beyond end of collection", 0, __FILE__, __LINE__);
  ++pos_;
  return *this;
}

SessionQueueCollection::Iterator SessionQueueCollection::begin() { return Iterator(this, listSessions(), 0); }
SessionQueueCollection::Iterator SessionQueueCollection::end() { return Iterator(this, {}, 0); }

}  // namespace ovgfw
