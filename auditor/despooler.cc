// The despooler: forwards the spooled records to the collector in order.
//
// A record leaves its spool only through dequeueIfSame with the identity it
// was read under, after the collector acknowledged exactly that record (each
// record sent on a connection carries the next sequence number), so a record
// is sent at least once and a spool replaced meanwhile loses nothing.
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "auditor/action_count.h"
#include "auditor/auditor.h"
#include "ofw/atomic_file.h"
#include "ofw/config/properties.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ovgfw/agent_state.h"
#include "ovgfw/at_message.h"
#include "ovgfw/ovg_exception.h"

namespace Vigilog {

namespace {

const int kBlockSize = 512;
const int kDefaultChunkSize = 4098;
const int kDefaultChunkInterval = 3;
// Larger than the files of a fresh (renewed) spool.
const uint64_t kFreshSpoolBytes = 64 * 1024;
// GSS_S_CONTEXT_EXPIRED.
const int kContextExpired = 0x000C0000;
// Failed sends of one audit-trail head before its spool is paused.
const int kAuditTrailAttempts = 3;

// A record that cannot be decoded, or names another session than its spool's:
// its spool is paused (like a collector's session rejection), never retried.
class UndecodableRecord : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

long long monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int positiveIntSetting(const char* key, int def, const ofw::LoggerPtr& logger) {
  std::string v = ofw::Props().getProperty(key, "");
  if (v.empty()) return def;
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(v.c_str(), &end, 10);
  if (errno != 0 || end == v.c_str() || *end != '\0' || n < 1 || n > 1000000000L) {
    OFW_WARN(logger, "Illegal value for %s: '%s'. Using %d.", key, v.c_str(), def);
    return def;
  }
  return static_cast<int>(n);
}

struct Auditor::Spool {
  enum Kind { COMMON, AT, SESSION } kind = COMMON;
  boost::shared_ptr<ofw::DBQ> queue;
  boost::shared_ptr<ovgfw::SessionQueue> session;  // SESSION only
  std::string name;
};

// ---- state ----

void Auditor::setState(int state, const std::string& description) { status_.setState(state, description); }

int Auditor::getState() { return status_.getState(); }

std::string Auditor::getStateDescription() { return status_.getStateDescription(); }

// ---- connection ----

void Auditor::requestReconnect() {
  reconnectRequested_ = true;
  nudgeDespooler();
}

void Auditor::connect(const std::string& first) {
  ovg::incrementActionCount(ovg::AC_TRY_CONNECT);
  if (connectionShutdown_.load()) throw ovgfw::OVGException("The connection is shut down");
  CollectorList list;
  selection_->getCollectorList(list);
  connection_->cleanConnectionList(list.preferred);
  std::vector<std::string> targets = list.preferred;
  targets.insert(targets.end(), list.other.begin(), list.other.end());
  if (!first.empty()) targets.insert(targets.begin(), first);
  setState(list.state, list.message);
  if (targets.empty())
    throw ovgfw::OVGException(list.message.empty() ? "Collector list is empty" : list.message);
  connection_->setSigned(sign_);
  connection_->setSealed(seal_);
  connection_->setSymmetric(symmetric_);
  connection_->connectToCollectorFromList(targets);
  ovg::incrementActionCount(ovg::AC_COLLECTOR_CONNECT);
  onConnected();
}

void Auditor::onConnected() {
  {
    ofw::Lock lock(currentMutex_);
    currentCollector_ = connection_->getTarget();
  }
  sequence_ = 0;
  sentSessions_.clear();
  OFW_DEBUG(logger_, "Cleared list of sessions whose info has been sent");
  status_.setCollector(connection_->getTarget());
  setState(isDiskFull() || overDiskQuota() ? ovgfw::AgentState::SPOOL_DISK_FULL : ovgfw::AgentState::RUNNING, "");
  // Served by this thread before its next pass (serveRequests).
  agentStatusRequested_ = true;
  activeListRequested_ = true;
  nudgeDespooler();
}

void Auditor::reconnect() {
  ovg::incrementActionCount(ovg::AC_CHECK_CONNECTION);
  serveRebindRequests();
  if (isOnline()) {
    if (!rebindDue_.exchange(false)) {
      OFW_DEBUG(logger_, "Already connected and it isn't time to rebind");
      return;
    }
    try {
      RebindFlags flags;
      flags.loadBalance = forcedRebind_.exchange(false);
      rebindToBestSCP(flags);
    } catch (const std::exception& e) {
      OFW_INFO(logger_, "Unable to rebind connection: %s", e.what());
    }
    return;
  }
  // Connecting afresh chooses over the current list anyway.
  rebindDue_ = false;
  forcedRebind_ = false;
  if (connection_) connection_->disconnect();  // the audit-trail channel may outlive nothing
  try {
    connect("");
  } catch (const std::exception& e) {
    OFW_INFO(logger_, "Unable to connect to a collector. Vigilog will try to connect a collector automatically. Message: %s",
             e.what());
    // A configuration state (not configured, out of scope) stays as it was set.
    if (getState() == ovgfw::AgentState::NOT_CONNECTED) setState(ovgfw::AgentState::NOT_CONNECTED, e.what());
  }
}

void Auditor::shutdownConnection() {
  connectionShutdown_ = true;
  rebindRequests_.cancel();
  if (connection_) connection_->shutdownSocket();
}

void Auditor::despoolFailed(const std::string& text) {
  int seconds = ofw::Props().getInt("vgd.backoff.time", 10);
  unsigned skipped = 0;
  if (despoolLog_.shouldPrintLog(&skipped))
    OFW_INFO(logger_,
             "Issue in despooling data: %s. Leaving data in place. Vigilog will try other collectors. Current collector will be considered again after %d seconds.",
             text.c_str(), seconds);
  ovg::incrementActionCount(ovg::AC_DESPOOL_FAILED);
  backoff(text, seconds);
}

void Auditor::backoff(const std::string& text, int seconds) {
  if (connection_) {
    std::string target = connection_->getTarget();
    if (!target.empty()) connection_->markCollectorOffLimits(target, seconds);
    connection_->markTransmissionError(text);
    connection_->disconnect();
  }
  setState(ovgfw::AgentState::NOT_CONNECTED, text);
}

// ---- continuation messages ----

std::string Auditor::continueMessageFilePath(const ofw::Guid& guid) const {
  return continuationDir_ + "/" + guid.toSwappedString();
}

void Auditor::saveContinueMessage(const ofw::Guid& guid, ovgfw::OVGMessage& msg) {
  std::string path = continueMessageFilePath(guid);
  try {
    ofw::replaceFile(path, msg.serialize(), 0600);
    OFW_DEBUG(logger_, "Saved continuation message to %s", path.c_str());
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Unable to save continuation message to %s", path.c_str());
  }
}

bool Auditor::getContinueMessage(const ofw::Guid& guid, ovgfw::OVGRequestMessage& msg) {
  std::string path = continueMessageFilePath(guid);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    OFW_INFO(logger_, "Unable to open continuation message file %s", path.c_str());
    return false;
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    msg.deserialize(bytes);
    if (!msg.isSerialized()) throw ovgfw::OVGException("empty");
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Unreadable continuation message file %s (%s); it counts as missing", path.c_str(), e.what());
    return false;
  }
  OFW_DEBUG(logger_, "Read continuation message from file %s", path.c_str());
  return true;
}

void Auditor::deleteContinueMessage(const ofw::Guid& guid) {
  std::string path = continueMessageFilePath(guid);
  if (unlink(path.c_str()) == 0)
    OFW_DEBUG(logger_, "Removed continuation message file %s", path.c_str());
  else if (errno != ENOENT)
    OFW_INFO(logger_, "Unable to remove contination message file %s", path.c_str());
}

// ---- resuming ----

void Auditor::resumePausedSpools() {
  if (commonStatus_) commonStatus_->clearFlag(ofw::Status::FLAG_PAUSED);
  if (atStatus_) atStatus_->clearFlag(ofw::Status::FLAG_PAUSED);
  if (getState() == ovgfw::AgentState::RUNNING) setState(ovgfw::AgentState::RUNNING, "");
  if (sessions_ && sessions_->checkAndResetPausedSessionStatus()) {
    OFW_DEBUG(logger_, "need to iterate thru all to resume paused session queues.");
    for (auto it = sessions_->begin(); !it.atEnd(); ++it) {
      try {
        boost::shared_ptr<ovgfw::SessionQueue> sq = *it;
        if (sq && sq->isPaused()) sq->resume();
      } catch (const std::exception& e) {
        OFW_DEBUG(logger_, "Unable to resume a session spool: %s", e.what());
      }
    }
  }
  if (sessions_) sessions_->cleanReferences();
  nudgeDespooler();
}

bool Auditor::resumeSpool(const std::string& name) {
  try {
    if (name == "all") {
      OFW_DEBUG(logger_, "Resuming any paused spools");
      resumePausedSpools();
      return true;
    }
    if (name == "common") {
      OFW_DEBUG(logger_, "Resuming any common spool");
      commonStatus_->clearFlag(ofw::Status::FLAG_PAUSED);
    } else if (name == "at") {
      OFW_DEBUG(logger_, "Resuming audit trail spool");
      atStatus_->clearFlag(ofw::Status::FLAG_PAUSED);
    } else {
      OFW_DEBUG(logger_, "Resuming spool %s", name.c_str());
      ofw::Guid guid = ofw::Guid::fromSwappedString(name);
      if (guid.isNull() || !sessions_->exists(guid)) throw ofw::NotFoundException("No such spool");
      sessions_->getSessionQueue(guid)->resume();
    }
    nudgeDespooler();
    return true;
  } catch (const std::exception& e) {
    OFW_DEBUG(logger_, "Unable to resume spool '%s': %s", name.c_str(), e.what());
    return false;
  }
}

// ---- the thread ----

void* Auditor::runDespooler(void* self) {
  ofw::Logger::SetThreadName("Despooler");
  static_cast<Auditor*>(self)->despoolMechanism();
  return nullptr;
}

void Auditor::despoolMechanism() {
  while (!stopping_.load()) {
    OFW_DEBUG(logger_, "Waiting for nudge");
    const bool offline = !isOnline();
    {
      ofw::Lock lock(nudgeMutex_);
      while (!nudged_ && !stopping_.load()) {
        despoolerWaiting_ = true;
        despoolerOffline_ = offline;
        lock.wait();
        despoolerWaiting_ = false;
      }
      nudged_ = false;
    }
    if (stopping_.load()) break;
    OFW_DEBUG(logger_, "Received nudge");
    try {
      if (reconnectRequested_.exchange(false)) reconnect();
      serveRequests();
      despool();
    } catch (const std::exception& e) {
      OFW_DEBUG(logger_, "Unexpected error in despooling: %s", e.what());
      ofw::Thread::sleep(5, 0);
    }
  }
  if (connection_) connection_->disconnect();
  OFW_DEBUG(logger_, "Despooler thread exiting gracefully");
}

void Auditor::despool() {
  if (!isOnline()) {
    OFW_DEBUG(logger_, "Deferring despooling because we aren't online");
    return;
  }
  Spool spool;
  spool.kind = Spool::COMMON;
  spool.queue = common_;
  spool.name = "common spool";
  ovgfw::SessionQueueCollection::Iterator it;
  while (!stopping_.load()) {
    // A waiting rebind request is served between chunks, not after the spools empty.
    if (rebindRequests_.pending()) return;
    const long long start = monotonicMs();
    const int chunkSize = positiveIntSetting("vgd.despool.chunksize", kDefaultChunkSize, logger_);
    const int interval = positiveIntSetting("vgd.despool.chunkinterval", kDefaultChunkInterval, logger_);
    unsigned records = 0;
    uint64_t bytes = 0, atBytes = 0;
    bool finished = false;
    while (records < static_cast<unsigned>(chunkSize)) {
      if ((monotonicMs() - start) / 1000 >= interval || stopping_.load()) break;
      Step step;
      unsigned int length = 0;
      try {
        step = despoolStep(spool, length);
      } catch (const ovgfw::OVGSessionException& e) {
        OFW_INFO(logger_, "Issue in despooling %s: %s.  Leaving data in place.  Please call Orvane support",
                 spool.name.c_str(), e.what());
        pauseSpool(spool, e.what());
        step = Step::MOVE_ON;
      } catch (const UndecodableRecord& e) {
        OFW_ERROR(logger_, "Unable to decode the head record of %s: %s. The spool is paused; the record is kept.",
                  spool.name.c_str(), e.what());
        pauseSpool(spool, std::string("Undecodable record: ") + e.what());
        step = Step::MOVE_ON;
      } catch (const ofw::KerberosException& e) {
        if (e.code() == kContextExpired && connection_) {
          OFW_DEBUG(logger_, "Kerberos context expired when despooling data, reconnect immediately.");
          std::string target = connection_->getTarget();
          connection_->disconnect();
          try {
            connect(target);
            return;
          } catch (const std::exception&) {
            OFW_DEBUG(logger_, "Error when reconnecting collector. Back off and retry later.");
          }
        }
        despoolFailed(e.what());
        return;
      } catch (const std::exception& e) {
        despoolFailed(e.what());
        return;
      }
      if (step == Step::FORWARDED) {
        ++records;
        (spool.kind == Spool::AT ? atBytes : bytes) += length;
      } else if (!nextSpool(spool, it)) {
        finished = true;
        break;
      }
    }
    if (records > 0) {
      OFW_DEBUG(logger_, "Despooled %u records", records);
      long long ms = monotonicMs() - start;
      if (ms > 0) {
        if (bytes > 0) dataRate_ = static_cast<uint32_t>(bytes * 1000 / ms);
        if (atBytes > 0) atDataRate_ = static_cast<uint32_t>(atBytes * 1000 / ms);
        OFW_DEBUG(logger_, "Data rate %u bytes/second", dataRate_.load());
      }
    }
    if (finished) return;
    // A long pass still lets the heartbeat and the active list through.
    serveRequests();
    if (!isOnline()) return;
  }
}

bool Auditor::nextSpool(Spool& spool, ovgfw::SessionQueueCollection::Iterator& it) {
  if (spool.kind == Spool::COMMON) {
    OFW_DEBUG(logger_, "Moving on to audit trail spool");
    spool.kind = Spool::AT;
    spool.queue = at_;
    spool.name = "audit trail spool";
    return true;
  }
  if (spool.kind == Spool::AT) {
    OFW_DEBUG(logger_, "Moving on to session spools");
    it = sessions_->begin();
  } else {
    OFW_DEBUG(logger_, "Moving on to next session spool");
    ++it;
  }
  spool.kind = Spool::SESSION;
  spool.queue.reset();
  spool.session.reset();
  for (; !it.atEnd(); ++it) {
    try {
      spool.session = *it;
      if (!spool.session) continue;
      spool.queue = sessions_->getDBQ(spool.session, kBlockSize);
      spool.name = ofw::format("session %s spool", spool.session->getSessionGuid().toSwappedMSString().c_str());
      return true;
    } catch (const std::exception& e) {
      // Retired by another thread since the listing: nothing left to send.
      OFW_DEBUG(logger_, "Skipping a session spool: %s", e.what());
    }
  }
  OFW_DEBUG(logger_, "All session spools have been emptied");
  sessions_->cleanReferences();
  OFW_DEBUG(logger_, "All spools have been emptied, returning");
  return false;
}

void Auditor::readHead(Spool& spool, boost::shared_array<unsigned char>& data, unsigned int& len,
                       uint64_t& identity) {
  try {
    spool.queue->getHead(data, len, identity);
  } catch (const std::exception& e) {
    // A corrupt spool is moved aside and salvaged; the daemon goes on.
    recover(spool.queue, e);
    spool.queue->getHead(data, len, identity);
  }
}

void Auditor::removeHead(Spool& spool, uint64_t identity) {
  bool removed;
  try {
    removed = spool.queue->dequeueIfSame(identity);
  } catch (const std::exception& e) {
    recover(spool.queue, e);
    removed = false;
  }
  // The record stays and is sent again: at least once.
  if (!removed) OFW_DEBUG(logger_, "The head record of %s was kept", spool.name.c_str());
}

Auditor::Step Auditor::despoolStep(Spool& spool, unsigned int& bytes) {
  OFW_DEBUG(logger_, "Despooling from %s", spool.name.c_str());
  bool paused = spool.kind == Spool::SESSION ? spool.session->isPaused()
                                             : (spool.kind == Spool::COMMON ? commonStatus_ : atStatus_)
                                                   ->isFlagSet(ofw::Status::FLAG_PAUSED);
  if (paused) {
    OFW_DEBUG(logger_, "Skipping %s because it is paused", spool.name.c_str());
    return Step::MOVE_ON;
  }
  if (!spool.queue) return Step::MOVE_ON;
  if (spool.kind == Spool::AT && !isATOnline()) {
    // The audit-trail channel being down never holds session data back.
    OFW_DEBUG(logger_, "Skipping %s because its channel is not open", spool.name.c_str());
    return Step::MOVE_ON;
  }
  if (spool.queue->getBlockSizeOnDisk() != kBlockSize) {
    OFW_WARN(logger_,
             "The block size on disk of %s is unmatched with the specified one, which is unexpected. Please call Orvane Support.",
             spool.name.c_str());
    return Step::MOVE_ON;
  }
  boost::shared_array<unsigned char> data;
  unsigned int len = 0;
  uint64_t identity = 0;
  readHead(spool, data, len, identity);
  if (data && len > 0) {
    OFW_DEBUG(logger_, "%s has messages", spool.name.c_str());
    std::string record(reinterpret_cast<const char*>(data.get()), len);
    bytes = len;
    if (spool.kind == Spool::AT) {
      despoolOneAuditTrailData(spool, record, identity);
      return Step::FORWARDED;
    }
    if (spool.kind == Spool::COMMON) {
      commonStatus_->setStatusString("");
    } else {
      spool.session->setStatus("");
      spool.session->setInProgress();
    }
    bool ended = despoolOneSessionData(spool, record, identity);
    if (ended && spool.kind == Spool::SESSION && spool.queue->empty()) {
      ofw::Guid guid = spool.session->getSessionGuid();
      OFW_DEBUG(logger_, "Deleting empty completed %s", spool.name.c_str());
      spool.queue.reset();
      retireSessionSpool(guid);
      return Step::MOVE_ON;
    }
    return Step::FORWARDED;
  }
  OFW_DEBUG(logger_, "%s is empty", spool.name.c_str());
  if (spool.kind == Spool::SESSION) {
    ofw::Guid guid = spool.session->getSessionGuid();
    SessionConnectedCheck connected = sessionConnectedCheck();
    if (connected && connected(guid)) {
      OFW_DEBUG(logger_, "%s has active client", spool.name.c_str());
      giveBackSpace(spool);
    } else {
      spool.queue.reset();
      // Kept while the session is active (its end record not posted yet).
      if (retireSessionSpool(guid)) {
        OFW_DEBUG(logger_, "Deleting empty completed %s (reason: client does not exist)", spool.name.c_str());
        deleteContinueMessage(guid);
      }
    }
  }
  return Step::MOVE_ON;
}

void Auditor::giveBackSpace(Spool& spool) {
  // Forwarded records leave their blocks in the spool's files for reuse: while
  // the disk is over quota the posts of an ongoing session are refused, so its
  // spool would stay full-sized and the session refused for good. A spool that
  // grew beyond a fresh one is renewed (it is empty) to give the space back.
  if (spool.queue->getQueueSizeOnDisk() <= kFreshSpoolBytes || !overDiskQuota()) return;
  OFW_INFO(logger_, "The disk is over its quota: renewing the emptied %s to give back %llu bytes", spool.name.c_str(),
           static_cast<unsigned long long>(spool.queue->getQueueSizeOnDisk()));
  spool.queue->flushDb();
}

bool Auditor::despoolOneSessionData(Spool& spool, const std::string& record, uint64_t identity) {
  ovgfw::OVGRequestMessage msg;
  ofw::Guid guid;
  uint16_t type = 0;
  try {
    msg.deserialize(record);
    if (!msg.isSerialized()) throw UndecodableRecord("empty record");
    type = msg.getType();
    bool sessionType = type == ovgfw::OVGMessage::TYPE_SESSION_START || type == ovgfw::OVGMessage::TYPE_SESSION_END ||
                       type == ovgfw::OVGMessage::TYPE_SESSION_DATA || type == ovgfw::OVGMessage::TYPE_WINDOW_SIZE ||
                       type == ovgfw::OVGMessage::TYPE_SESSION_RESUME;
    if (sessionType) {
      msg.rewind();
      guid = msg.readGUID();
      msg.rewind();
      if (spool.kind == Spool::SESSION && guid != spool.session->getSessionGuid())
        throw UndecodableRecord("the record names session " + guid.toSwappedMSString());
    }
  } catch (const UndecodableRecord&) {
    throw;
  } catch (const std::exception& e) {
    throw UndecodableRecord(e.what());
  }
  const std::string text = guid.toSwappedMSString();
  switch (type) {
    case ovgfw::OVGMessage::TYPE_SESSION_END:
    case ovgfw::OVGMessage::TYPE_SESSION_DATA:
    case ovgfw::OVGMessage::TYPE_WINDOW_SIZE:
      if (sentSessions_.count(guid)) {
        OFW_DEBUG(logger_, "Session info has already been sent for session with Guid %s", text.c_str());
      } else {
        OFW_DEBUG(logger_, "A continuation message is needed for session with Guid %s", text.c_str());
        ovgfw::OVGRequestMessage resume;
        if (getContinueMessage(guid, resume))
          sendMessageCheckReply(resume, true);
        else
          OFW_WARN(logger_, "Missing session information for continuation of session with GUID %s", text.c_str());
        sentSessions_.insert(guid);
      }
      break;
    case ovgfw::OVGMessage::TYPE_SESSION_START:
    case ovgfw::OVGMessage::TYPE_SESSION_RESUME: {
      ovgfw::OVGRequestMessage copy;
      copy.deserialize(record);
      copy.setType(ovgfw::OVGMessage::TYPE_SESSION_RESUME);
      saveContinueMessage(guid, copy);
      break;
    }
    default:
      break;
  }
  sendMessageCheckReply(msg, true);
  removeHead(spool, identity);
  OFW_TRACE(logger_, "Dequeue - Guid: %s, sequence number: %llu", text.c_str(),
            static_cast<unsigned long long>(msg.getSequenceNumber()));
  if (type == ovgfw::OVGMessage::TYPE_SESSION_START || type == ovgfw::OVGMessage::TYPE_SESSION_RESUME) {
    sentSessions_.insert(guid);
    OFW_DEBUG(logger_, "Added Guid %s to sessions whose info has been sent", text.c_str());
  } else if (type == ovgfw::OVGMessage::TYPE_SESSION_END) {
    deleteContinueMessage(guid);
    sentSessions_.erase(guid);
    OFW_DEBUG(logger_, "Removed Guid %s from sessions whose info has been sent", text.c_str());
    return true;
  }
  return false;
}

void Auditor::despoolOneAuditTrailData(Spool& spool, const std::string& record, uint64_t identity) {
  if (!isOnline()) {
    OFW_DEBUG(logger_, "Skipping sending audit trail data because it isn't connected");
    throw ovgfw::OVGException("Exception from auditor while despooling audit trail: it isn't connected");
  }
  ovgfw::ATMessage msg(record, false);
  try {
    connection_->sendATMessage(msg);
  } catch (const ofw::KerberosException&) {
    throw;  // an expired context is the connection's fault, not the record's
  } catch (const std::exception& e) {
    // A record the collector cannot take makes it drop the connection, and
    // the head would be retried after every reconnect, holding back the
    // session spools behind it: after repeated failures of the same head the
    // spool is paused (resumable) and the record kept.
    const size_t key = std::hash<std::string>()(record);
    if (identity != atFailedIdentity_ || key != atFailedRecord_) atFailures_ = 0;
    atFailedIdentity_ = identity;
    atFailedRecord_ = key;
    if (++atFailures_ >= kAuditTrailAttempts) {
      atFailures_ = 0;
      OFW_ERROR(logger_, "Sending the head record of %s failed %d times (%s). The spool is paused; the record is kept.",
                spool.name.c_str(), kAuditTrailAttempts, e.what());
      pauseSpool(spool, ofw::format("Audit trail record not accepted after %d attempts: %s", kAuditTrailAttempts,
                                    e.what()));
    }
    throw;
  }
  atFailures_ = 0;
  connection_->markTransmissionSuccess();
  removeHead(spool, identity);
}

void Auditor::sendMessageCheckReply(ovgfw::OVGRequestMessage& msg, bool expectReply) {
  // Each record sent on a connection gets the next number: an acknowledgement
  // then names exactly the record it answers.
  msg.setSequenceNumber(++sequence_);
  if (!expectReply) {
    connection_->sendMessage(msg);
    return;
  }
  ovgfw::OVGResponseMessage reply = connection_->sendMessageGetResponse(msg);
  if (reply.getType() == ovgfw::OVGMessage::TYPE_ACK) {
    if (reply.getSequenceNumber() != msg.getSequenceNumber())
      throw ovgfw::OVGException("While despooling we received an ACK (acknowledge) code for the wrong packet.");
    connection_->markTransmissionSuccess();
    return;
  }
  if (reply.getType() == ovgfw::OVGMessage::TYPE_EXCEPTION) {
    reply.rewind();
    ovgfw::OVGExceptionReply ex = reply.readExceptionReply();
    std::string text = ovgfw::despoolExceptionText(ex.code, ex.text);
    if (ex.sequenceNumber != msg.getSequenceNumber())
      throw ovgfw::OVGException("While despooling we received an exception reply for the wrong packet: " + text);
    if (ex.code == ovgfw::EXCEPTION_SESSION) throw ovgfw::OVGSessionException(text);
    OFW_INFO(logger_,
             "Vigilog agent received exception reply from Collector. Data is stored locally and will be re-submitted later.");
    connection_->markTransmissionError(text);
    throw ovgfw::OVGException("Exception from collector while despooling: " + text);
  }
  throw ovgfw::OVGException("Unknown response type received");
}

void Auditor::pauseSpool(Spool& spool, const std::string& text) {
  if (getState() == ovgfw::AgentState::RUNNING)
    setState(ovgfw::AgentState::RUNNING,
             ofw::format("Warning: unable to despool %s: %s", spool.name.c_str(), text.c_str()));
  else
    setState(ovgfw::AgentState::RUNNING, text);
  if (spool.kind == Spool::SESSION) {
    sessions_->setPausedSessionStatus();
    spool.session->pause();
    spool.session->setStatus(text);
  } else {
    const boost::shared_ptr<ofw::Status>& status = spool.kind == Spool::COMMON ? commonStatus_ : atStatus_;
    status->setFlag(ofw::Status::FLAG_PAUSED);
    status->setStatusString(text);
  }
}

}  // namespace Vigilog
