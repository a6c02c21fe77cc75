#include "auditor/auditor.h"

#include "auditor/action_count.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <boost/make_shared.hpp>

#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/config/properties.h"
#include "ofw/unique_fd.h"
#include "ovgfw/agent_state.h"

namespace Vigilog {

Auditor* gAuditor = nullptr;

namespace {
const int kBlockSize = 512;
// Largest accepted `spool.max.single.file.size`: 1 TiB in KiB.
const uint64_t kMaxFileSizeKiB = 1ull << 30;
}  // namespace

uint64_t maxSingleFileSizeSetting(const ofw::LoggerPtr& logger) {
  std::string v = ofw::Props().getProperty("spool.max.single.file.size", "");
  if (v.empty()) return 10240ull * 1024;
  char* end = nullptr;
  errno = 0;
  unsigned long long kib = std::strtoull(v.c_str(), &end, 10);
  if (errno != 0 || end == v.c_str() || *end != '\0' || v[0] == '-' || kib == 0 || kib > kMaxFileSizeKiB) {
    OFW_WARN(logger, "Illegal value for %s: '%s'. Using %d.", "spool.max.single.file.size", v.c_str(), 10240);
    return 10240ull * 1024;
  }
  return static_cast<uint64_t>(kib) * 1024;
}

Auditor::Auditor() : status_(ofw::getLogger("ovg.vgd.auditor")), logger_(ofw::getLogger("ovg.vgd.auditor")) {
  // Made before the despooler starts and never replaced: other threads may ask it.
  connection_.reset(new ovgfw::SecureConnection());
  status_.setOnlineProbe([this](bool* online, bool* atOnline) {
    *online = isOnline();
    *atOnline = isATOnline();
  });
  selection_.reset(new CollectorSelection(ofw::CapiDynamicLoader::getInstance(), ofw::Props()));
  despooler_.start("Despooler", &Auditor::runDespooler, this, 50);
}

Auditor::~Auditor() { stop(); }

boost::shared_ptr<ofw::DBQComposite> Auditor::openSpool(const std::string& path, const std::string& tag,
                                                        const ofw::SizeAccountPtr& account) {
  boost::shared_ptr<ofw::DBQComposite> q(new ofw::DBQComposite(kBlockSize));
  q->setDbqMaxSize(static_cast<unsigned long>(maxFileSize_));
  if (account) q->setSizeAccount(account);
  try {
    if (!q->open(path, ofw::DBQ_OPEN_OR_CREATE, 0600, true, tag))
      OFW_ERROR(logger_, "Unable to open the %s spool at %s", tag.c_str(), path.c_str());
  } catch (const std::exception& e) {
    if (ofw::isDbqNoSpace(e)) throw;
    // One damaged spool is that spool's problem alone: move it aside,
    // salvage its records and go on with a fresh one.
    OFW_ERROR(logger_, "The %s spool at %s is damaged (%s); it is moved aside and its records salvaged.", tag.c_str(),
              path.c_str(), e.what());
    if (const ofw::FatalErrorException* f = dynamic_cast<const ofw::FatalErrorException*>(&e))
      q->handleException(*f);
    else if (const ofw::OFWException* o = dynamic_cast<const ofw::OFWException*>(&e))
      q->handleException(*o);
    else
      q->handleException(ofw::IOException(e.what()));
  }
  return q;
}

void Auditor::init(const std::string& sessionsPath, const std::string& spoolPath, const std::string& atSpoolPath,
                   const std::string& continuationDir) {
  maxFileSize_ = maxSingleFileSizeSetting(logger_);
  spoolPath_ = spoolPath;
  continuationDir_ = continuationDir;
  common_ = openSpool(spoolPath, "Common", spoolSize_);
  at_ = openSpool(atSpoolPath, "AT");
  commonStatus_.reset(new ofw::Status(spoolPath + ".status"));
  atStatus_.reset(new ofw::Status(atSpoolPath + ".status"));
  sessions_.reset(new ovgfw::SessionQueueCollection(sessionsPath, maxFileSize_, ofw::DBQ_OPEN_OR_CREATE));
  sessions_->setSizeAccount(spoolSize_);
  if (mkdir(sessionsPath.c_str(), 0755) != 0 && errno != EEXIST)
    OFW_WARN(logger_, "Unable to create %s: %s", sessionsPath.c_str(), ofw::errnoText(errno).c_str());
  if (!continuationDir.empty()) makePrivateDirectory(continuationDir);
  recountDbSizeOnDisk();
  if (!common_->isOpen())
    throw ofw::IOException(ofw::format("Unable to open the common spool %s", spoolPath.c_str()), 0, __FILE__, __LINE__);
}

void Auditor::makePrivateDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    OFW_WARN(logger_, "Unable to create %s: %s", path.c_str(), ofw::errnoText(errno).c_str());
    return;
  }
  // mkdir's mode passes through the daemon's umask (0177 leaves 0600, a
  // directory no one can enter); a directory left by an earlier run is mended
  // too. Opened without following a link, so only that directory changes.
  ofw::UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid() || fchmod(fd.get(), 0700) != 0)
    OFW_WARN(logger_, "Unable to set the mode of %s: %s", path.c_str(), ofw::errnoText(errno).c_str());
}

void Auditor::recover(const boost::shared_ptr<ofw::DBQ>& queue, const std::exception& e) {
  OFW_ERROR(logger_, "Error encountered in a spool (%s): it is moved aside, its records are salvaged and posting goes on.",
            e.what());
  if (const ofw::OFWException* o = dynamic_cast<const ofw::OFWException*>(&e))
    queue->handleException(*o);
  else
    queue->handleException(ofw::IOException(e.what()));
}

void Auditor::postMechanism(const boost::shared_ptr<ofw::DBQ>& queue, const unsigned char* bytes, unsigned int length) {
  if (!bytes || length == 0) return;
  boost::shared_array<unsigned char> copy(new unsigned char[length]);
  std::memcpy(copy.get(), bytes, length);
  postMechanism(queue, copy, length);
}

void Auditor::postMechanism(const boost::shared_ptr<ofw::DBQ>& queue, const boost::shared_array<unsigned char>& copy,
                            unsigned int length) {
  if (!copy || length == 0) return;
  if (!queue) throw ofw::IOException("No spool to post to", 0, __FILE__, __LINE__);
  try {
    queue->enqueue(copy, length);
  } catch (const std::exception& e) {
    if (ofw::isDbqNoSpace(e) || overDiskQuota()) {
      unsigned skipped = 0;
      if (quotaLog_.shouldPrintLog(&skipped))
        OFW_ERROR(logger_,
                  "Error in pushing data to spool file because disk quota is full. Data is dropped. Please check the disk space.");
      throw ofw::IOException(ofw::format("Spool full: %s", e.what()), ENOSPC, __FILE__, __LINE__);
    }
    recover(queue, e);
    queue->enqueue(copy, length);  // a second failure raises to the caller
  }
  nudgeDespoolerForRecord();
}

void Auditor::postSessionData(const ofw::Guid& guid, ovgfw::OVGMessage& msg) {
  ovg::incrementActionCount(ovg::AC_POST_SESSION_DATA);
  // The serialised record goes to the queue as it is: the array keeps the
  // string alive instead of a copy of its bytes.
  boost::shared_ptr<std::string> bytes = boost::make_shared<std::string>(msg.serialize());
  boost::shared_array<unsigned char> data(reinterpret_cast<unsigned char*>(&(*bytes)[0]), [bytes](unsigned char*) {});
  unsigned int length = static_cast<unsigned int>(bytes->size());
  if (guid.isNull()) {
    postMechanism(common_, data, length);
    return;
  }
  // Only log lines use the GUID's text: made when one is written.
  auto text = [&guid] { return guid.toSwappedMSString(); };
  boost::shared_ptr<ofw::DBQ> queue;
  {
    ofw::Lock lock(activeMutex_);
    auto it = active_.find(guid);
    if (it != active_.end()) queue = it->second;
    if (queue) {
      OFW_DEBUG(logger_, "Using already active DBQ %s", text().c_str());
    } else {
      OFW_DEBUG(logger_, "DBQ %s is not currently active", text().c_str());
      boost::shared_ptr<ovgfw::SessionQueue> sq;
      if (sessions_->exists(guid)) {
        OFW_DEBUG(logger_, "Using existing session queue with GUID %s", text().c_str());
        sq = sessions_->getSessionQueue(guid);
      } else {
        OFW_DEBUG(logger_, "Creating a session queue with GUID %s", text().c_str());
        sq = sessions_->add(guid, maxFileSize_);
      }
      queue = sessions_->getDBQ(sq, kBlockSize);
      active_[guid] = queue;
    }
  }
  // Records of one session come from one client, one request at a time, so
  // their order is kept without holding the map's lock while writing.
  postMechanism(queue, data, length);
  if (msg.getType() == ovgfw::OVGMessage::TYPE_SESSION_END) {
    OFW_DEBUG(logger_, "Removing auditor's active DBQ reference for %s", text().c_str());
    ofw::Lock lock(activeMutex_);
    active_.erase(guid);
  }
}

void Auditor::postAuditTrailData(const unsigned char* bytes, unsigned int length) {
  // Session data has its own spool limits; audit-trail events give way first.
  if (isDiskFull()) {
    OFW_WARN(logger_, "Skipping audit trail data due to partition full");
    return;
  }
  postMechanism(at_, bytes, length);
}

bool Auditor::retireSessionSpool(const ofw::Guid& guid) {
  if (!sessions_ || guid.isNull()) return false;
  ofw::Lock lock(activeMutex_);
  if (active_.count(guid)) {
    OFW_DEBUG(logger_, "Session %s is still active; its spool is kept", guid.toSwappedMSString().c_str());
    return false;
  }
  return sessions_->destroyIfEmpty(guid);
}

void Auditor::discardSessionSpool(const ofw::Guid& guid) {
  if (!sessions_ || guid.isNull()) return;
  {
    ofw::Lock lock(activeMutex_);
    active_.erase(guid);
  }
  sessions_->destroy(guid);
}

void Auditor::setSessionConnectedCheck(SessionConnectedCheck check) {
  ofw::Lock lock(connectedMutex_);
  connected_ = std::move(check);
}

void Auditor::setConnectedSessions(ConnectedSessions sessions) {
  ofw::Lock lock(connectedMutex_);
  connectedSessions_ = std::move(sessions);
}

Auditor::SessionConnectedCheck Auditor::sessionConnectedCheck() {
  ofw::Lock lock(connectedMutex_);
  return connected_;
}

bool Auditor::overDiskQuota() {
  if (spoolPath_.empty()) return false;
  DiskThreshold floor = parseDiskThreshold(ofw::Props().getProperty("spool.diskspace.min", "10"),
                                           "spool.diskspace.min", DiskThreshold{true, 10}, logger_);
  return isOverQuota(diskSpaceOf(spoolPath_), floor, logger_);
}

void Auditor::flushDb() {
  if (overDiskQuota() && !spoolPath_.empty()) {
    DiskSpace s = diskSpaceOf(spoolPath_);
    if (s.freeBytes <= 10239) {
      if (flushLog_.shouldPrintLog())
        OFW_WARN(logger_, "Skipping DB flush because the filesystem is too full to recreate the database. Free bytes: %llu",
                 static_cast<unsigned long long>(s.freeBytes));
      return;
    }
  }
  OFW_DEBUG(logger_, "Attempting to reclaim spool disk space");
  if (common_) common_->flushDb();
  if (at_) at_->flushDb();
}

uint64_t Auditor::getDbSize() {
  uint64_t size = common_ ? common_->getDataSize() : 0;
  return size + (sessions_ ? sessions_->getDataSize() : 0);
}

uint64_t Auditor::getDbSizeOnDisk() { return spoolSize_->bytes(); }

void Auditor::recountDbSizeOnDisk() {
  uint64_t size = spoolPath_.empty() ? 0 : ofw::DBQComposite::getQueueSizeOnDisk(spoolPath_);
  spoolSize_->reset(size + (sessions_ ? sessions_->getQueueSizeOnDisk() : 0));
}

uint64_t Auditor::getATDbSize() { return at_ ? at_->getDataSize() : 0; }

void Auditor::nudgeDespooler() { nudge(true); }

void Auditor::nudgeDespoolerForRecord() { nudge(false); }

void Auditor::nudge(bool always) {
  bool wake = false;
  {
    ofw::Lock lock(nudgeMutex_);
    if (!always && despoolerWaiting_ && despoolerOffline_) return;
    wake = despoolerWaiting_ && !nudged_;
    nudged_ = true;
  }
  // A despooler at work, or one already nudged, finds the flag before it
  // sleeps: only a sleeping one is woken, once, and after the lock is
  // released, so that it does not wake only to wait for the lock (every
  // stored record nudges).
  if (wake) nudgeMutex_.signalAll();
}

void Auditor::stop() {
  if (stopping_.exchange(true)) return;
  rebindRequests_.cancel();  // nobody evaluates any more
  nudgeDespooler();
  despooler_.join();  // the despooler disconnects on its way out
  setState(ovgfw::AgentState::STOPPED, "");
  if (common_) common_->close();
  if (at_) at_->close();
}

}  // namespace Vigilog
