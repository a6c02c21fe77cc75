// One connected local client: an audit shell, a tool, the name-service module
// or the watchdog. The IPC server's loop negotiates the LRPC2 session without
// waiting, adopts it here, reads each request into io() and has a worker call
// HandleMessage() once the request is whole; replies are collected in io()
// and written by the worker or, when the socket is full, by the loop. It also
// carries the state of the audited session the client opened, if any.
//
// A session is handled by one worker at a time (the server never polls a busy
// client); the fields the server's loop reads (fd, alive, busy, lastActivity,
// sessionGuid, psid, pids) are atomics or guarded by the server's client lock.
// The connection ends in one place, closeConnection(), whatever ends it.
#pragma once
#include <sys/time.h>

#include <atomic>
#include <ctime>
#include <string>

#include "lrpc2/msg.h"
#include "ofw/guid.h"
#include "ofw/logging/logger.h"

#include "lrpc2/session.h"
#include "server/client_io.h"

namespace ofw {
class IPCServer;
}
namespace ovg {
class RequestReader;
struct StartRequest;
struct StartDecision;
struct SessionClaims;
struct Registered;
struct SessionStartInfo;
}  // namespace ovg

class LRPC2ServerSession {
 public:
  explicit LRPC2ServerSession(ofw::IPCServer* server);
  ~LRPC2ServerSession();
  LRPC2ServerSession(const LRPC2ServerSession&) = delete;
  LRPC2ServerSession& operator=(const LRPC2ServerSession&) = delete;

  // Accepts the LRPC2 session on fd, waiting for the handshake. Throws
  // ofw::SystemException on failure; fd is then closed.
  void negotiate(int fd);
  // Takes fd and the session the loop's handshake accepted (both owned here
  // from now on).
  void adopt(int fd, LRPC2SessionServer* session);
  // The text of a failed handshake (status as the accept gave it).
  static std::string acceptFailure(int fd, int status, int offered);
  // Answers the request taken by receiveRequest(), or else the whole request
  // in io(). 0 keeps the client, non-zero drops it; an exception also drops it.
  int HandleMessage();
  // Decodes the whole request in io() ahead of HandleMessage(), so that the
  // server may choose the thread that answers it. Same results as
  // HandleMessage(); a request the transport asks to be sent again leaves
  // nothing pending.
  int receiveRequest();
  bool hasPendingRequest() const { return pending_.get() != nullptr; }
  // The pending request only appends a record to this client's open session
  // spool (session data, window size): it costs about what storing it costs.
  bool pendingIsRecord() const;
  // Ends the connection: the open audited session (end record, registrations
  // released, spool closed), the transport and the descriptor. Runs once; on
  // the thread that holds the client (the loop, or the worker it is handed to).
  // endAudited false (the daemon stopping) leaves the session open for its
  // shell to resume on the next daemon.
  void closeConnection(bool endAudited = true);
  ovg::ClientIO& io() { return io_; }
  // A secure-file exchange awaits the client's next message.
  bool authPending() const;
  void disconnect() { alive = false; }
  // True only when the transport knows the peer and its uid is 0.
  bool ClientIsRoot();
  // Two trailing uint32 fields, high word first; 0 when the request ends first.
  static uint64_t getSequenceNumber(LRPC2Msg* request);
  // Ends an open audited session (end time given, else now).
  void endSession(const struct timeval* end);

  int getFd() const { return fd.load(); }
  int getVersion() const { return version_; }
  // Peer credentials from the transport (fetched once); false when unknown.
  bool getPeerIdentity(int* uid, int* gid);

  // Fields the server's loop and look-ups use.
  std::atomic<int> fd{-1};
  std::atomic<bool> alive{true};
  std::atomic<bool> busy{false};
  std::atomic<time_t> lastActivity;
  // Since when an incomplete request (or an exchange's next message) is
  // awaited (0 = none).
  time_t partialSince = 0;
  // The peer's uid at accept time (counted per uid by the server).
  int connUid = -1;
  ofw::Guid sessionGuid;
  std::string tty;
  std::atomic<int> psid{-1};
  int pgid = -1;
  int sessionOpen = 0;
  std::atomic<int> ovgshPid{0};
  int ovgshParentPid = 0;
  std::atomic<int> shellPid{0};
  bool identityKnown = false;
  int peerUid = -1;
  int peerGid = -1;
  bool countedShell = false;

 private:
  void dispatch(uint32_t type, LRPC2Msg* request, LRPC2Msg* reply);
  void HandleStop(LRPC2Msg* request, LRPC2Msg* reply, bool withRestart);

  // Session lifecycle.
  void HandleSessionStart(LRPC2Msg* request, LRPC2Msg* reply, int version);
  void HandleSessionData(LRPC2Msg* request, LRPC2Msg* reply, int version);
  void HandleSessionWSizeChange(LRPC2Msg* request, LRPC2Msg* reply, int version);
  void HandleSessionPGID(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleSessionResume(LRPC2Msg* request, LRPC2Msg* reply, int version);
  void HandleSessionEnd(LRPC2Msg* request, LRPC2Msg* reply, int version);
  void HandleSessionPause(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleSessionContinue(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleSessionKill(LRPC2Msg* request, LRPC2Msg* reply);
  // Queries and control.
  void HandleNameQuery(LRPC2Msg* request, LRPC2Msg* reply, int version);
  void HandleUidQuery(LRPC2Msg* request, LRPC2Msg* reply, int version);
  void HandleGetAuditLevel(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleIsUserAlwaysPermitted(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleQueryRunlevel(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleQueryOriginalShell(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleCacheOvsSecret(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleFlushCache(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleReloadProps(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleControlLog2(LRPC2Msg* request, LRPC2Msg* reply);
  // Status, statistics and spool control (handlers_control.cc).
  void HandleQueryVgdParameters(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleQueryVgdParameter(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleQuerySpoolSize(LRPC2Msg* request, LRPC2Msg* reply, bool auditTrail);
  void HandleQueryDespoolRate(LRPC2Msg* request, LRPC2Msg* reply, bool auditTrail);
  void HandleResumeSpool(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleQueryActionCount(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleQueryIsHooked(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleQueryIsLibauditEnabled(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleEnableLibaudit(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleReloadMonitoring(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleQueryIsSessionAudited(LRPC2Msg* request, LRPC2Msg* reply);
  // Status of the daemon, its collector connection and its spools.
  void HandleIsDaemonOnline(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleIsATChannelOnline(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleCollectorStatus(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleCollectorStatus2(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleConnectionStatistics(LRPC2Msg* request, LRPC2Msg* reply);
  void HandleSpoolInfo(LRPC2Msg* request, LRPC2Msg* reply);
  // Root only; the verdict text, or a refusal text for others.
  void HandleRebindCollector(LRPC2Msg* request, LRPC2Msg* reply);
  // Root only (others: 500); the result of Auditor::flushScpCache.
  void HandleFlushInstallationInfoCache(LRPC2Msg* request, LRPC2Msg* reply);
  // The steps of a session start: the user name it is recorded under (the
  // peer's own unless a trusted caller gave one); whether it is audited, with
  // what it registered; the content of its start record (reads the further
  // argv strings); storing it (false, and nothing left on disk, when that
  // fails); taking it as the connection's session.
  std::string trustedUserName(const ovg::StartRequest& s, int peerUid);
  void evaluateStart(ovg::StartRequest& s, const std::string& guidText, ovg::StartDecision* decision,
                     ovg::SessionClaims* claims, ovg::Registered* added);
  ovg::SessionStartInfo startRecordInfo(ovg::RequestReader& r, LRPC2Msg* request, const ovg::StartRequest& s,
                                        const ofw::Guid& guid, uint8_t video);
  bool storeStartRecord(ovg::RequestReader& r, LRPC2Msg* request, const ovg::StartRequest& s, const ofw::Guid& guid,
                        uint8_t video, std::string* serialized);
  void adoptStartedSession(const ovg::StartRequest& s, const ovg::SessionClaims& claims, const ofw::Guid& guid);
  // Whether uid may resume the session: its owner or root; a session without
  // a spool gets one owned by uid.
  bool admitResume(const ofw::Guid& guid, int uid);
  // Spool-limit check shared by data, window size and resume: 0, 1 or 2.
  int spoolLimitStatus(bool forStart);
  // The user name of the peer's uid (the daemon's own look-up), with the
  // document's fallbacks; *gecos gets the gecos text cut at its first comma.
  std::string peerUserName(std::string* gecos);
  int getUserType(const std::string& name, std::string* directoryName, std::string* sid);

  ofw::IPCServer* server_;
  const MsgTable* msgTable_;
  MsgPtr pending_;             // received, not answered yet
  uint32_t pendingType_ = 0;
  LRPC2SessionServer* lrpcSession_ = nullptr;
  int version_ = 0;
  ovg::ClientIO io_;
  std::atomic<bool> closed_{false};
  ofw::LoggerPtr logger_;
};
