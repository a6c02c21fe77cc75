// Query and control requests served for the name-service module, the audit
// shell and the tools: passwd look-ups, audit level, always-permitted users,
// run level, original shell, the secret cache, cache flush and configuration
// reload.
#include <cstdlib>

#include "host/audit_level.h"
#include "host/runlevel.h"
#include "lrpc2/msg_types.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/config/properties.h"
#include "ofw/script_runner.h"
#include "auditor/action_count.h"
#include "server/ipc_server.h"
#include "server/passwd_da.h"
#include "server/server_session.h"
#include "server/user_lookup.h"

void LRPC2ServerSession::HandleNameQuery(LRPC2Msg* request, LRPC2Msg* reply, int version) {
  const char* name = MsgTableGetMsgTypeName(version == 2 ? MsgType::NSSGetPasswdDataByName2
                                                         : MsgType::NSSGetPasswdDataByName);
  ovg::incrementActionCount(ovg::AC_NSS_BY_NAME);
  OFW_DEBUG(logger_, "-> %s ", name);
  char* user = nullptr;
  int localOnly = 0;
  if (MsgReadString(request, &user) != 0 || !user || (version == 2 && MsgReadBool(request, &localOnly) != 0)) {
    std::free(user);
    OFW_DEBUG(logger_, "<- %s Failure. Cannot read username.", name);
    MsgWriteBool(reply, 0);
    return;
  }
  std::string userName(user);
  std::free(user);
  ovg::PasswdDA record;
  if (server_->userLookup().vgd_getpwnam(userName, record, localOnly != 0)) {
    MsgWriteBool(reply, 1);
    ovg::copyPasswdDAToReply(record, reply);
    OFW_DEBUG(logger_, "<- %s Success.", name);
  } else {
    MsgWriteBool(reply, 0);
    OFW_DEBUG(logger_, "<- %s Failure. User not found.", name);
  }
}

void LRPC2ServerSession::HandleUidQuery(LRPC2Msg* request, LRPC2Msg* reply, int version) {
  const char* name =
      MsgTableGetMsgTypeName(version == 2 ? MsgType::NSSGetPasswdDataByUID2 : MsgType::NSSGetPasswdDataByUID);
  ovg::incrementActionCount(ovg::AC_NSS_BY_UID);
  OFW_DEBUG(logger_, "-> %s ", name);
  uint32_t uid = 0;
  int localOnly = 0;
  if (MsgReadUInt32(request, &uid) != 0 || (version == 2 && MsgReadBool(request, &localOnly) != 0)) {
    OFW_DEBUG(logger_, "<- %s Failure. Cannot read UID.", name);
    MsgWriteBool(reply, 0);
    return;
  }
  OFW_DEBUG(logger_, "HandleUidQuery: uid: %u", uid);
  OFW_DEBUG(logger_, "HandleUidQuery: localonly = %d", localOnly);
  ovg::PasswdDA record;
  if (server_->userLookup().vgd_getpwuid(uid, record, localOnly != 0)) {
    OFW_DEBUG(logger_, "HandleUidQuery: UID %u found", uid);
    MsgWriteBool(reply, 1);
    ovg::copyPasswdDAToReply(record, reply);
    OFW_DEBUG(logger_, "<- %s Success.", name);
  } else {
    OFW_DEBUG(logger_, "HandleUidQuery: UID %u not found.", uid);
    MsgWriteBool(reply, 0);
    OFW_DEBUG(logger_, "<- %s Failure. UID not found.", name);
  }
}

void LRPC2ServerSession::HandleGetAuditLevel(LRPC2Msg* request, LRPC2Msg* reply) {
  OFW_DEBUG(logger_, "Handling GetAuditLevel request.");
  char* user = nullptr;
  if (MsgReadString(request, &user) != 0) throw ofw::BadDataException("Malformed request: cannot read user", 0, __FILE__, __LINE__);
  std::string name = user ? user : "";
  std::free(user);
  int level = VGCGetAuditLevel(logger_, name.c_str());
  OFW_DEBUG(logger_, "Effective audit level for user %s is %s.\n", name.c_str(), OVGAuditLevelToString(level));
  MsgWriteInt32(reply, level);
}

void LRPC2ServerSession::HandleIsUserAlwaysPermitted(LRPC2Msg* request, LRPC2Msg* reply) {
  char* user = nullptr;
  if (MsgReadString(request, &user) != 0) throw ofw::BadDataException("Malformed request: cannot read user", 0, __FILE__, __LINE__);
  std::string name = user ? user : "";
  std::free(user);
  bool permitted = IsAlwaysPermittedLogin(logger_, name.c_str());
  OFW_DEBUG(logger_, "User name: %s, isAlwaysPermitted value: %s\n", name.c_str(), permitted ? "Yes" : "No");
  MsgWriteBool(reply, permitted ? 1 : 0);
}

void LRPC2ServerSession::HandleQueryRunlevel(LRPC2Msg*, LRPC2Msg* reply) {
  OFW_DEBUG(logger_, "Handling QueryRunlevel request.");
  int level = GetCurrentRunlevel(false);
  if (level < 0)
    OFW_WARN(logger_,
             "Cannot get valid run-level from system (errno=%d). User login from now on may not be audited. Please "
             "make sure OrvaneVG service has permission to access utmp/utmpx and the system run-level value is valid.",
             -level);
  MsgWriteInt32(reply, level);
}

void LRPC2ServerSession::HandleQueryOriginalShell(LRPC2Msg* request, LRPC2Msg* reply) {
  uint32_t uid = 0;
  if (MsgReadUInt32(request, &uid) != 0) throw ofw::BadDataException("Malformed request: cannot read uid", 0, __FILE__, __LINE__);
  ovg::PasswdDA record;
  bool found = server_->userLookup().vgd_getpwuid(uid, record, false);
  MsgWriteBool(reply, found ? 1 : 0);
  MsgWriteString(reply, found ? record.shell.c_str() : "");
}

void LRPC2ServerSession::HandleCacheOvsSecret(LRPC2Msg* request, LRPC2Msg* reply) {
  char* secret = nullptr;
  if (MsgReadString(request, &secret) != 0) throw ofw::BadDataException("Malformed request: cannot read secret", 0, __FILE__, __LINE__);
  std::string text = secret ? secret : "";
  if (secret) MsgFreeSensitive(secret, text.size());
  bool stored = server_->userLookup().secretCache().insert(text);
  // Wipe the local copy before it is released.
  volatile char* p = &text[0];
  for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  MsgWriteBool(reply, stored ? 1 : 0);
}

void LRPC2ServerSession::HandleFlushCache(LRPC2Msg*, LRPC2Msg* reply) {
  if (!ClientIsRoot()) {
    MsgWriteInt32(reply, 502);
    return;
  }
  server_->userLookup().flushCaches();
  ofw::ProcessNscdRequest(1);
  MsgWriteInt32(reply, 0);
}

void LRPC2ServerSession::HandleReloadProps(LRPC2Msg*, LRPC2Msg* reply) {
  if (!ClientIsRoot()) {
    MsgWriteInt32(reply, 500);
    return;
  }
  // A failed reload keeps the running configuration and answers 501.
  int rc = ofw::Props().reload();
  if (rc == 0) server_->flags().reloadPending = true;
  MsgWriteInt32(reply, rc == 0 ? 0 : 501);
  VGCReloadAuditLevel();
  OFW_DEBUG(logger_, "Audit level properties reloaded");
}

void LRPC2ServerSession::HandleControlLog2(LRPC2Msg* request, LRPC2Msg* reply) {
  ofw::LoggerPtr client = ofw::getLogger("client", true);
  try {
    uint32_t marker = 0;
    while (MsgReadUInt32(request, &marker) == 0 && marker != 0) {
      char *program = nullptr, *file = nullptr, *function = nullptr, *text = nullptr;
      int32_t pid = 0, level = 0, line = 0;
      bool ok = MsgReadString(request, &program) == 0 && MsgReadInt32(request, &pid) == 0 &&
                MsgReadInt32(request, &level) == 0 && MsgReadString(request, &file) == 0 &&
                MsgReadInt32(request, &line) == 0 && MsgReadString(request, &function) == 0 &&
                MsgReadString(request, &text) == 0;
      if (ok) {
        ofw::Logger::SetThreadName(ofw::format("fd:%d %s(%d)", fd.load(), program ? program : "", pid));
        if (level < ofw::Logger::TRACE || level > ofw::Logger::FATAL) level = ofw::Logger::INFO;
        if (client->isLevelEnabled(level))
          client->log(level, file ? file : "", line, function ? function : "", "%s", text ? text : "");
      }
      std::free(program);
      std::free(file);
      std::free(function);
      std::free(text);
      if (!ok) throw ofw::BadDataException("malformed log record", 0, __FILE__, __LINE__);
    }
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Problem logging message from client: %s", e.what());
  }
  MsgWriteBool(reply, 1);
}
