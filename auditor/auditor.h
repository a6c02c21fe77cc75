// The Auditor: the daemon's central object. It owns the spools (common,
// audit-trail, per session), the registry of what is audited on the host, the
// path by which every session event reaches disk, and the despooler thread.
//
// A record handed to postSessionData is either appended to its spool or the
// call raises: a record is never dropped silently. A corrupt spool is moved
// aside, salvaged into a fresh one and posting goes on; it never stops the
// daemon.
#pragma once
#include <boost/shared_array.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "auditor/agent_status.h"
#include "auditor/collector_selection.h"
#include "auditor/disk_quota.h"
#include "auditor/disk_state.h"
#include "auditor/rate_limit.h"
#include "auditor/rebind_requests.h"
#include "auditor/registry.h"
#include "host/nss_monitor.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/guid.h"
#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"
#include "ofw/dbq/status.h"
#include "ofw/threads/thread.h"
#include "ovgfw/ovg_message.h"
#include "ovgfw/secure_connection.h"
#include "ovgfw/session_queue.h"
#include "ovgfw/session_ping.h"
#include "ovgfw/spool_info.h"
#include "ovgfw/connection_info.h"

namespace Vigilog {

class Auditor {
 public:
  // Starts the despooler thread.
  Auditor();
  ~Auditor();
  Auditor(const Auditor&) = delete;
  Auditor& operator=(const Auditor&) = delete;

  // Opens the common and audit-trail spools (recovering damaged ones), their
  // status files, the session spool collection, and the continuation
  // directory (0700). Throws when the common spool cannot be opened at all.
  void init(const std::string& sessionsPath, const std::string& spoolPath, const std::string& atSpoolPath,
            const std::string& continuationDir);

  // Serialises msg and appends it to the session's spool (the common spool
  // for the null GUID). Raises when the record could not be stored.
  void postSessionData(const ofw::Guid& guid, ovgfw::OVGMessage& msg);
  // Appends one record to queue; recovers a damaged queue and retries once.
  // Raises when the record could not be stored (disk full included).
  void postMechanism(const boost::shared_ptr<ofw::DBQ>& queue, const unsigned char* bytes, unsigned int length);
  // The same for bytes the queue may keep as they are (no copy is made).
  void postMechanism(const boost::shared_ptr<ofw::DBQ>& queue, const boost::shared_array<unsigned char>& bytes,
                     unsigned int length);
  // Appends one audit-trail record to the audit-trail spool, or drops it
  // (with a WARN) while the disk is full. Raises as postMechanism does.
  void postAuditTrailData(const unsigned char* bytes, unsigned int length);

  // Removes a session's spool once everything in it was forwarded: only when
  // the session is not active (no end record yet: more records may come and
  // would go to a spool whose files were deleted) and the spool holds no
  // record. Takes the active-queue lock, then the collection's. True when the
  // spool was removed.
  bool retireSessionSpool(const ofw::Guid& guid);

  // Removes the spool of a session whose start record could not be stored:
  // drops the active reference, closes the queue and deletes its directory,
  // status and owner files. Only for a session no record was accepted for.
  void discardSessionSpool(const ofw::Guid& guid);

  // Whether a client connection holds the session. Set by start-up once the
  // IPC server exists and cleared before the server goes; the scheduler's
  // purge asks it. Empty when unset (the purge then goes by the audit shell's pid).
  typedef std::function<bool(const ofw::Guid&)> SessionConnectedCheck;
  void setSessionConnectedCheck(SessionConnectedCheck check);
  SessionConnectedCheck sessionConnectedCheck();
  // The session GUIDs of the connected clients, for the active session list.
  // Set and cleared by start-up like the check above; empty when unset.
  typedef std::function<std::vector<ofw::Guid>()> ConnectedSessions;
  void setConnectedSessions(ConnectedSessions sessions);

  bool overDiskQuota();
  void flushDb();
  uint64_t getDbSize();
  // Bytes of the common and session spools' files on disk: a running total
  // that the queues keep (no system call), set from the disk at init and
  // corrected from it by recountDbSizeOnDisk.
  uint64_t getDbSizeOnDisk();
  // Lists and stats every spool file and sets the running total (the
  // scheduler's disk check calls it now and then).
  void recountDbSizeOnDisk();
  uint64_t getATDbSize();
  void nudgeDespooler();
  // The nudge of a stored record: none while the despooler sleeps without a
  // collector connection (it would only find itself offline; the records go
  // out after the next reconnection, whose nudges always wake it).
  void nudgeDespoolerForRecord();
  // One check of the name-service hook (scheduler thread), repairing a lost hook.
  void monitorNssConf() { nssMonitor_.monitorNssConf(); }
  void stop();

  AuditRegistry& registry() { return registry_; }
  // Kept by the scheduler's disk check.
  DiskState& diskState() { return diskState_; }
  bool isDiskFull() const { return diskState_.diskFull.load(); }
  void resetLogIsPrinted() { diskState_.resetLogIsPrinted(); }
  ovgfw::SessionQueueCollection* sessions() { return sessions_.get(); }
  boost::shared_ptr<ofw::DBQComposite> commonSpool() { return common_; }
  boost::shared_ptr<ofw::DBQComposite> atSpool() { return at_; }
  uint64_t maxSingleFileSize() const { return maxFileSize_; }

  // Whether the session (audit-trail) channel of the collector connection is up.
  bool isOnline() const { return connection_ && connection_->isConnected(); }
  bool isATOnline() const { return connection_ && connection_->isATConnected(); }

  // Protection options, applied to the connection before every connect.
  void setGssapi(bool seal, bool sign, bool symmetric) {
    seal_ = seal;
    sign_ = sign;
    symmetric_ = symmetric;
  }

  // The collector connection is used by the despooler thread alone: the
  // scheduler only asks for a reconnect, which the despooler performs before
  // its next pass, so a slow connect never holds the scheduler's checks.
  void requestReconnect();
  // Despooler thread: answers posted rebind requests; when disconnected,
  // connects over the collector list (collector_selection.h); when
  // connected and a rebind is due, evaluates the choice (rebindToBestSCP).
  void reconnect();
  // The scheduler's collector check: the next reconnect pass evaluates the
  // choice of collector (drops a vanished one, follows site changes).
  void setVerifyCollector();
  // The scheduler's forced rebind: the next evaluation (the collector check
  // raised with it) moves away from a working collector with probability
  // one half (load balancing).
  void setForcedRebind();
  // A local rebind request (any thread but the despooler's): the despooler
  // evaluates at once, moving away from the current collector whenever
  // another candidate accepts, and this waits at most
  // `lrpc2.rebind.timeout` (300) seconds for it. Returns the result code with
  // the collector before and after, or -1 when the wait timed out (the
  // evaluation still runs) or the daemon stops.
  int performRebind(std::string& oldName, std::string& newName);
  // Drops the cached directory answer: 0, 1 on failure.
  int flushScpCache();
  // The target of the collector connected to ("" while not connected).
  std::string currentCollector();
  // Makes blocked reads and writes of the connection return and stops
  // further connects (daemon shutdown, any thread).
  void shutdownConnection();

  // Agent state (ovgfw::AgentState numbers) and its description, with the
  // masked copy local tools read (auditor/agent_status.h). Any thread.
  void setState(int state, const std::string& description);
  int getState();
  std::string getStateDescription();
  void updateMaskedState() { status_.updateMaskedState(); }
  bool isStateDiffer() { return status_.isStateDiffer(); }
  AgentStatus& agentStatus() { return status_; }
  // The daemon's start time (start-up).
  void setStartTime(const struct timeval& start) { status_.setStartTime(start); }
  bool isOnlineMasked() { return status_.isOnlineMasked(); }
  bool isATOnlineMasked() { return status_.isATOnlineMasked(); }
  // The masked state, description, installation, online flag, audit store and collector.
  void getCurrentInfo(int32_t* state, std::string* description, std::string* installation, bool* online,
                      std::string* auditStore, std::string* collector) {
    status_.getCurrentInfo(state, description, installation, online, auditStore, collector);
  }
  // Per-collector connection records, in the connection's order.
  std::vector<ovgfw::ConnectionInfo> getConnectionInfoList();
  // "Common Spool" and "Audit Trail Spool" from their status files.
  std::vector<ovgfw::SpoolInfo> getSpoolInfoList();
  // One entry per session spool on disk, named "Session Spool <GUID>".
  std::vector<ovgfw::SpoolInfo> getSessionSpoolInfoList();

  // The heartbeat and the active session list use the collector connection,
  // which belongs to the despooler thread. Other threads (the scheduler) only
  // request them: the despooler performs a request when it wakes, before its
  // next pass and between two chunks of a long one, so the connection sees
  // one exchange at a time and a slow collector never holds the scheduler.
  // A request made while the same one is pending is merged with it.
  void requestAgentStatusUpdate();
  void requestActiveList();
  // One heartbeat: the session ping (despooler thread only).
  void updateAgentStatus();
  // The active session list, a type-7 request (despooler thread only).
  void sendActiveList();
  void prepareSessionPingPayload(ovgfw::SessionPingPayload& payload);
  // Last despool rates in bytes per second: session data, audit trail.
  uint32_t despoolRate() const { return dataRate_.load(); }
  uint32_t despoolATRate() const { return atDataRate_.load(); }

  // Clears the paused flags of every spool and nudges.
  void resumePausedSpools();
  // "all", "common", "at" or a session GUID; false when it failed.
  bool resumeSpool(const std::string& name);

  // The continuation message of a session (a type-9 message), one file per
  // session in the continuation directory, replaced atomically.
  std::string continueMessageFilePath(const ofw::Guid& guid) const;
  void saveContinueMessage(const ofw::Guid& guid, ovgfw::OVGMessage& msg);
  // False when there is none or it cannot be read or decoded.
  bool getContinueMessage(const ofw::Guid& guid, ovgfw::OVGRequestMessage& msg);
  void deleteContinueMessage(const ofw::Guid& guid);

  // Despooler thread body.
  static void* runDespooler(void* self);

 private:
  // Sets the nudge; wakes a sleeping despooler unless !always and it sleeps offline.
  void nudge(bool always);
  struct Spool;
  enum class Step { FORWARDED, MOVE_ON };
  void despoolMechanism();
  void despool();
  Step despoolStep(Spool& spool, unsigned int& bytes);
  void readHead(Spool& spool, boost::shared_array<unsigned char>& data, unsigned int& len, uint64_t& identity);
  void removeHead(Spool& spool, uint64_t identity);
  // An emptied session spool of an ongoing session, while the disk is over
  // its quota: renewed, so its files shrink to a fresh spool's.
  void giveBackSpace(Spool& spool);
  bool nextSpool(Spool& spool, ovgfw::SessionQueueCollection::Iterator& it);
  // Forwards one session record; true when it was a session end.
  bool despoolOneSessionData(Spool& spool, const std::string& record, uint64_t identity);
  void despoolOneAuditTrailData(Spool& spool, const std::string& record, uint64_t identity);
  void sendMessageCheckReply(ovgfw::OVGRequestMessage& msg, bool expectReply);
  void pauseSpool(Spool& spool, const std::string& text);
  void backoff(const std::string& text, int seconds);
  // Any other failure of a pass: rate-limited INFO, then backoff.
  void despoolFailed(const std::string& text);
  // Applies the protection options and connects over the configured targets
  // (`first`, when not empty, tried before them).
  void connect(const std::string& first);
  // The one step after every successful (re)connection: state, collector
  // name, and the heartbeat and the active session list requested.
  void onConnected();
  // Runs the requested heartbeat and active session list (despooler thread).
  void serveRequests();
  class Link;
  // Despooler thread: one evaluation with the pending flags.
  int rebindToBestSCP(RebindFlags flags);
  void serveRebindRequests();
  boost::shared_ptr<ofw::DBQComposite> openSpool(const std::string& path, const std::string& tag,
                                                 const ofw::SizeAccountPtr& account = ofw::SizeAccountPtr());
  // Creates path with mode 0700 (or gives an existing directory that mode).
  void makePrivateDirectory(const std::string& path);
  // Moves a damaged queue aside, salvages it, reopens it.
  void recover(const boost::shared_ptr<ofw::DBQ>& queue, const std::exception& e);

  std::atomic<bool> stopping_{false};
  ofw::Thread despooler_;
  boost::shared_ptr<ofw::DBQComposite> common_;
  boost::shared_ptr<ofw::DBQComposite> at_;
  boost::shared_ptr<ofw::Status> commonStatus_;
  boost::shared_ptr<ofw::Status> atStatus_;
  boost::shared_ptr<ovgfw::SessionQueueCollection> sessions_;
  ofw::Mutex activeMutex_;
  // Strong references: an active session's queue stays open until its end record.
  std::map<ofw::Guid, boost::shared_ptr<ofw::DBQ>> active_;
  std::string spoolPath_;
  ofw::SizeAccountPtr spoolSize_ = std::make_shared<ofw::SizeAccount>();
  uint64_t maxFileSize_ = 10240ull * 1024;
  AuditRegistry registry_;
  ofw::Mutex connectedMutex_;
  SessionConnectedCheck connected_;
  DiskState diskState_;
  ovg::NssMonitor nssMonitor_;
  ofw::Mutex nudgeMutex_;
  bool nudged_ = false;
  bool despoolerWaiting_ = false;  // under nudgeMutex_: the despooler sleeps on the condition
  bool despoolerOffline_ = false;  // under nudgeMutex_: and had no collector connection when it went to sleep
  LogRateLimit quotaLog_;
  LogRateLimit flushLog_;
  bool seal_ = true, sign_ = true, symmetric_ = true;
  std::atomic<bool> reconnectRequested_{false};
  std::atomic<bool> connectionShutdown_{false};
  std::unique_ptr<CollectorSelection> selection_;
  RebindRequests rebindRequests_;
  std::atomic<bool> rebindDue_{false};  // the verify-collector flag
  std::atomic<bool> forcedRebind_{false};
  ofw::Mutex currentMutex_;
  std::string currentCollector_;
  // Despooler thread only, but for the thread-safe queries and shutdownSocket.
  std::unique_ptr<ovgfw::SecureConnection> connection_;
  // Sessions whose continuation message was sent on the current connection.
  std::set<ofw::Guid> sentSessions_;
  // Sequence number of the last record sent on the current connection.
  uint64_t sequence_ = 0;
  std::string continuationDir_;
  std::atomic<uint32_t> dataRate_{0};
  std::atomic<uint32_t> atDataRate_{0};
  // Consecutive failed sends of one audit-trail head: the queue identity it
  // was read under and a hash of its bytes.
  int atFailures_ = 0;
  uint64_t atFailedIdentity_ = 0;
  size_t atFailedRecord_ = 0;
  LogRateLimit despoolLog_;
  LogRateLimit deferLog_;
  AgentStatus status_;
  std::atomic<bool> agentStatusRequested_{false};
  std::atomic<bool> activeListRequested_{false};
  ConnectedSessions connectedSessions_;  // under connectedMutex_
  ofw::LoggerPtr logger_;
};

extern Auditor* gAuditor;

// `spool.max.single.file.size` in KiB, range-checked, in bytes (10 MiB when
// empty or invalid).
uint64_t maxSingleFileSizeSetting(const ofw::LoggerPtr& logger);

// A count or interval setting (`vgd.despool.chunksize`, `vgd.despool.chunkinterval`):
// empty gives def; malformed or below 1 (which would make every chunk empty
// and the despooler spin) gives def with a WARN.
int positiveIntSetting(const char* key, int def, const ofw::LoggerPtr& logger);

}  // namespace Vigilog
