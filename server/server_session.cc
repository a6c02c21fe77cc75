#include "server/server_session.h"

#include <unistd.h>

#include <cstring>

#include "lrpc2/msg_types.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/config/properties.h"
#include "auditor/action_count.h"
#include "server/handlers_audittrail.h"
#include "server/ipc_server.h"

LRPC2ServerSession::LRPC2ServerSession(ofw::IPCServer* server)
    : lastActivity(time(nullptr)), server_(server), msgTable_(OVGPrivGetMsgTable()),
      logger_(ofw::getLogger("ovg.lrpc2.server")) {}

LRPC2ServerSession::~LRPC2ServerSession() {
  closeConnection();
  if (countedShell) ovg::incrementActionCount(ovg::AC_OVGSH_DISCONNECT);
}

void LRPC2ServerSession::closeConnection(bool endAudited) {
  if (closed_.exchange(true)) return;
  alive = false;
  try {
    if (endAudited) endSession(nullptr);
  } catch (const std::exception& e) {
    OFW_ERROR(logger_, "Ending the session of a closed connection failed: %s", e.what());
  } catch (...) {
    OFW_ERROR(logger_, "Ending the session of a closed connection failed");
  }
  if (lrpcSession_) SessionServerClose(lrpcSession_);
  lrpcSession_ = nullptr;
  int f = fd.exchange(-1);
  if (f >= 0) close(f);
}

bool LRPC2ServerSession::authPending() const { return SessionAuthPending(lrpcSession_) != 0; }

void LRPC2ServerSession::adopt(int newFd, LRPC2SessionServer* session) {
  fd = newFd;
  lrpcSession_ = session;
  version_ = SessionGetVersion(session);
  SessionSetOutput(session, &ovg::appendClientOutput, &io_);
}

std::string LRPC2ServerSession::acceptFailure(int fd, int status, int offered) {
  const char* text = SessionErr2Str(status);
  if (status == SESSION_ERR_PROTOCOL)
    return ofw::format("Problem when attempting to accept a connection from a client on fd: %d -> %s (Client protocol version = %d)",
                       fd, text ? text : "", offered);
  return ofw::format("Problem when attempting to accept a connection from a client on fd: %d -> %s", fd,
                     text ? text : "");
}

void LRPC2ServerSession::negotiate(int newFd) {
  fd = newFd;
  int signing = SignStringToSignSetting(ofw::Props().getProperty("lrpc2.message.signing", "disabled").c_str());
  int timeout = static_cast<int>(ofw::Props().getTime("lrpc.connect.timeout", 's', 5));
  OFW_DEBUG(logger_, "Negotiating lrpc2 server session");
  int status = 0;
  int offered = 0;
  lrpcSession_ = SessionAccept(newFd, newFd, timeout, msgTable_, signing, &status, &offered);
  if (!lrpcSession_ || status != 0) {
    if (lrpcSession_) SessionServerClose(lrpcSession_);
    lrpcSession_ = nullptr;
    close(newFd);
    fd = -1;
    throw ofw::SystemException(acceptFailure(newFd, status, offered), status, __FILE__, __LINE__);
  }
  adopt(newFd, lrpcSession_);
}

bool LRPC2ServerSession::getPeerIdentity(int* uid, int* gid) {
  if (!identityKnown) {
    int u = -1, g = -1;
    if (!lrpcSession_) return false;
    // Requests that need no transport authentication (resume, process group)
    // still act for a local user: the socket's peer credentials name them.
    if (SessionProcessIdentity(lrpcSession_, &u, &g) != 0 && get_peer_credential(fd.load(), &u, &g) != 0) return false;
    peerUid = u;
    peerGid = g;
    identityKnown = true;
  }
  if (uid) *uid = peerUid;
  if (gid) *gid = peerGid;
  return true;
}

bool LRPC2ServerSession::ClientIsRoot() {
  int uid = -1;
  // Asked of the transport each time: identity is known only after an
  // authenticated request.
  int u = -1, g = -1;
  if (!lrpcSession_ || SessionProcessIdentity(lrpcSession_, &u, &g) != 0) return false;
  uid = u;
  return uid == 0;
}

uint64_t LRPC2ServerSession::getSequenceNumber(LRPC2Msg* request) {
  uint32_t high = 0, low = 0;
  if (MsgReadUInt32(request, &high) != 0) return 0;
  if (MsgReadUInt32(request, &low) != 0) return 0;
  return (static_cast<uint64_t>(high) << 32) | low;
}

int LRPC2ServerSession::receiveRequest() {
  int f = fd.load();
  OFW_TRACE(logger_, "Reading lrpc2 message from client");
  int err = 0;
  MsgPtr request(SessionRecvFrame(lrpcSession_, io_.request(), io_.requestLength(), 60, &err));
  io_.clearRequest();
  if (!request || err != 0) {
    const char* text = SessionErr2Str(err);
    OFW_DEBUG(logger_, "Reading lrpc2 message from client on %d resulted in: %s", f, text ? text : "");
    if (err == SESSION_ERR_RETRY) {
      OFW_DEBUG(logger_, "Session error, but will give Client a chance to have a retry");
      return 0;
    }
    // The caller ends the connection (and with it the session).
    alive = false;
    if (err == SESSION_ERR_CLOSED || err == SESSION_ERR_TIMEOUT) return 1;
    throw ofw::SystemException(ofw::format("Unable to read message (%d): %s", err, text ? text : ""), err, __FILE__,
                               __LINE__);
  }
  uint32_t type = 0;
  int rc = MsgReadMsgType(request.get(), &type);
  if (rc != 0) {
    const char* text = MsgErr2Str(rc);
    throw ofw::SystemException(ofw::format("Unable to read message type (%d): %s", rc, text ? text : ""), rc,
                               __FILE__, __LINE__);
  }
  if (type != MsgType::VGPing && type != MsgType::AuditTrailPing && type != MsgType::WatchDogPing)
    lastActivity = time(nullptr);
  pending_ = std::move(request);
  pendingType_ = type;
  return 0;
}

bool LRPC2ServerSession::pendingIsRecord() const {
  if (!pending_ || !sessionOpen) return false;
  switch (pendingType_) {
    case MsgType::VGSessionData:
    case MsgType::VGSessionData2:
    case MsgType::VGSessionData3:
    case MsgType::VGSessionWSizeChange:
    case MsgType::VGSessionWSizeChange2:
    case MsgType::VGSessionWSizeChange3:
      return true;
    default:
      return false;
  }
}

int LRPC2ServerSession::HandleMessage() {
  if (!pending_) {
    int rc = receiveRequest();
    if (rc != 0 || !pending_) return rc;
  }
  MsgPtr request = std::move(pending_);
  const uint32_t type = pendingType_;
  LRPC2Msg* raw = request.get();
  int f = fd.load();

  const char* name = MsgTableGetMsgTypeName(type);
  int level = (type == MsgType::VGSessionData || type == MsgType::VGSessionData2 || type == MsgType::ControlLog2)
                  ? ofw::Logger::TRACE
                  : ofw::Logger::DEBUG;
  if (logger_ && logger_->isLevelEnabled(level)) {
    pid_t pid = 0;
    std::string pidText = SessionProcessPid(lrpcSession_, &pid) == 0 ? std::to_string(pid) : "UNKNOWN";
    OFW_LOG(logger_, level, "Got message %s (id: %d) from client (pid: %s) on fd = %d", name ? name : "",
            static_cast<int>(type), pidText.c_str(), f);
  }
  ofw::Logger::SetThreadName(f, name);

  int status = 0;
  MsgPtr reply(MsgNew(type, 0, msgTable_, 48, &status));
  if (!reply.get()) throw ofw::SystemException("Unable to create reply message", status, __FILE__, __LINE__);

  try {
    dispatch(type, raw, reply.get());
  } catch (const std::exception& e) {
    OFW_DEBUG(logger_, "Message handler improperly threw an exception: %s", e.what());
    throw;
  }

  if (MsgComplete(reply.get()) != 0) throw ofw::SystemException("Unable to complete reply message", 0, __FILE__, __LINE__);
  int sendErr = SessionServerSend(f, lrpcSession_, reply.get(), 60);
  if (sendErr != 0) {
    alive = false;
    const char* text = SessionErr2Str(sendErr);
    throw ofw::SystemException(ofw::format("Unable to send message reply (%d): %s", sendErr, text ? text : ""),
                               sendErr, __FILE__, __LINE__);
  }
  return 0;
}

void LRPC2ServerSession::HandleStop(LRPC2Msg* request, LRPC2Msg*, bool withRestart) {
  if (!ClientIsRoot()) return;
  bool restart = false;
  if (withRestart) {
    int b = 0;
    if (MsgReadBool(request, &b) == 0) restart = b != 0;
  }
  server_->flags().restart = withRestart ? restart : server_->flags().restart.load();
  server_->flags().stop = true;
}

void LRPC2ServerSession::dispatch(uint32_t type, LRPC2Msg* request, LRPC2Msg* reply) {
  switch (type) {
    case MsgType::VGPing:
    case MsgType::AuditTrailPing:
    case MsgType::WatchDogPing:
      return;
    case MsgType::VGStop:
      HandleStop(request, reply, false);
      return;
    case MsgType::VGStop2:
      HandleStop(request, reply, true);
      return;
    case MsgType::VGSessionStart: HandleSessionStart(request, reply, 1); return;
    case MsgType::VGSessionStart2: HandleSessionStart(request, reply, 2); return;
    case MsgType::VGSessionStart4: HandleSessionStart(request, reply, 4); return;
    case MsgType::VGSessionStart5: HandleSessionStart(request, reply, 5); return;
    case MsgType::VGSessionStart6: HandleSessionStart(request, reply, 6); return;
    case MsgType::VGSessionStart7: HandleSessionStart(request, reply, 7); return;
    case MsgType::VGSessionStart8: HandleSessionStart(request, reply, 8); return;
    case MsgType::VGSessionStart9: HandleSessionStart(request, reply, 9); return;
    case MsgType::VGSessionStart10: HandleSessionStart(request, reply, 10); return;
    case MsgType::VGSessionStart11: HandleSessionStart(request, reply, 11); return;
    case MsgType::VGSessionStart12: HandleSessionStart(request, reply, 12); return;
    case MsgType::VGSessionStart13: HandleSessionStart(request, reply, 13); return;
    case MsgType::VGSessionStart14: HandleSessionStart(request, reply, 14); return;
    case MsgType::VGSessionStart15: HandleSessionStart(request, reply, 15); return;
    case MsgType::VGSessionStart16: HandleSessionStart(request, reply, 16); return;
    case MsgType::VGSessionStart17: HandleSessionStart(request, reply, 17); return;
    case MsgType::VGSessionResume: HandleSessionResume(request, reply, 1); return;
    case MsgType::VGSessionResume2: HandleSessionResume(request, reply, 2); return;
    case MsgType::VGSessionResume3: HandleSessionResume(request, reply, 3); return;
    case MsgType::VGSessionResume4: HandleSessionResume(request, reply, 4); return;
    case MsgType::VGSessionResume5: HandleSessionResume(request, reply, 5); return;
    case MsgType::VGSessionData: HandleSessionData(request, reply, 1); return;
    case MsgType::VGSessionData2: HandleSessionData(request, reply, 2); return;
    case MsgType::VGSessionData3: HandleSessionData(request, reply, 3); return;
    case MsgType::VGSessionWSizeChange: HandleSessionWSizeChange(request, reply, 1); return;
    case MsgType::VGSessionWSizeChange2: HandleSessionWSizeChange(request, reply, 2); return;
    case MsgType::VGSessionWSizeChange3: HandleSessionWSizeChange(request, reply, 3); return;
    case MsgType::VGSessionPGID: HandleSessionPGID(request, reply); return;
    case MsgType::VGSessionEnd: HandleSessionEnd(request, reply, 1); return;
    case MsgType::VGSessionEnd2: HandleSessionEnd(request, reply, 2); return;
    case MsgType::VGSessionPause: HandleSessionPause(request, reply); return;
    case MsgType::VGSessionContinue: HandleSessionContinue(request, reply); return;
    case MsgType::VGSessionKill: HandleSessionKill(request, reply); return;
    case MsgType::NSSGetPasswdDataByName: HandleNameQuery(request, reply, 1); return;
    case MsgType::NSSGetPasswdDataByName2: HandleNameQuery(request, reply, 2); return;
    case MsgType::NSSGetPasswdDataByUID: HandleUidQuery(request, reply, 1); return;
    case MsgType::NSSGetPasswdDataByUID2: HandleUidQuery(request, reply, 2); return;
    case MsgType::VGGetAuditLevel: HandleGetAuditLevel(request, reply); return;
    case MsgType::VGQueryIsUserAlwaysPermittedLogin: HandleIsUserAlwaysPermitted(request, reply); return;
    case MsgType::VGQueryRunlevel: HandleQueryRunlevel(request, reply); return;
    case MsgType::VGQueryOriginalShell: HandleQueryOriginalShell(request, reply); return;
    case MsgType::VGCacheOvsSecret: HandleCacheOvsSecret(request, reply); return;
    case MsgType::VGFlushCache: HandleFlushCache(request, reply); return;
    case MsgType::VGReloadProps: HandleReloadProps(request, reply); return;
    case MsgType::ControlLog2: HandleControlLog2(request, reply); return;
    case MsgType::VGQueryVgdParameters: HandleQueryVgdParameters(request, reply); return;
    case MsgType::VGQueryVgdParameter: HandleQueryVgdParameter(request, reply); return;
    case MsgType::VGQueryDBSize: HandleQuerySpoolSize(request, reply, false); return;
    case MsgType::VGQueryATDBSize: HandleQuerySpoolSize(request, reply, true); return;
    case MsgType::VGQueryDespoolRate: HandleQueryDespoolRate(request, reply, false); return;
    case MsgType::VGQueryDespoolATRate: HandleQueryDespoolRate(request, reply, true); return;
    case MsgType::VGResumeSpool: HandleResumeSpool(request, reply); return;
    case MsgType::VGQueryVgdActionCount: HandleQueryActionCount(request, reply); return;
    case MsgType::VGQueryIsHooked: HandleQueryIsHooked(request, reply); return;
    case MsgType::VGQueryIsLibauditEnabled: HandleQueryIsLibauditEnabled(request, reply); return;
    case MsgType::VGEnableLibaudit: HandleEnableLibaudit(request, reply); return;
    case MsgType::VGReloadMonitoring: HandleReloadMonitoring(request, reply); return;
    case MsgType::VGQueryIsSessionAudited: HandleQueryIsSessionAudited(request, reply); return;
    case MsgType::VGQueryIsDaemonOnline: HandleIsDaemonOnline(request, reply); return;
    case MsgType::VGQueryIsATChannelOnline: HandleIsATChannelOnline(request, reply); return;
    case MsgType::VGQueryCollectorStatus: HandleCollectorStatus(request, reply); return;
    case MsgType::VGQueryCollectorStatus2: HandleCollectorStatus2(request, reply); return;
    case MsgType::VGQueryConnectionStatistics: HandleConnectionStatistics(request, reply); return;
    case MsgType::VGQuerySpoolInfo: HandleSpoolInfo(request, reply); return;
    case MsgType::VGRebindCollector: HandleRebindCollector(request, reply); return;
    case MsgType::VGFlushInstallationInfoCache: HandleFlushInstallationInfoCache(request, reply); return;
    case MsgType::AuditTrailSessionData:
    case MsgType::AuditTrailSessionData2: HandleAuditTrailSessionData(type, request, reply); return;
    default: {
      const char* name = MsgTableGetMsgTypeName(type);
      throw ofw::SystemException(ofw::format("Unknown message type %d %s", static_cast<int>(type), name ? name : ""), 0,
                                 __FILE__, __LINE__);
    }
  }
}
