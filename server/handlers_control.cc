// Status, statistics and control requests of the administrator's tools:
// parameters, spool sizes and despool rates, spool resume, the action-count
// report, the name-service hook, the advanced-monitoring requests (not
// supported on this platform) and whether a process belongs to an audited
// session.
#include <cstdlib>
#include <mutex>

#include "auditor/auditor.h"
#include "host/nss_hook.h"
#include "lrpc2/msg_types.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/config/properties.h"
#include "server/action_count_report.h"
#include "server/ipc_server.h"
#include "server/process_info.h"
#include "server/server_session.h"
#include "server/user_lookup.h"

namespace {

// Serializes the advanced-monitoring requests.
std::mutex gMonitoringMutex;

const char kMonitoringUnsupported[] = "Advanced monitoring is not supported for this platform.";

Vigilog::Auditor& auditor() {
  if (!Vigilog::gAuditor) throw ofw::SystemException("Auditing is not initialised", 0, __FILE__, __LINE__);
  return *Vigilog::gAuditor;
}

std::string readString(LRPC2Msg* request, const char* what) {
  char* value = nullptr;
  if (MsgReadString(request, &value) != 0)
    throw ofw::BadDataException(ofw::format("Malformed request: cannot read %s", what), 0, __FILE__, __LINE__);
  std::string s = value ? value : "";
  std::free(value);
  return s;
}

int32_t readInt32(LRPC2Msg* request, const char* what) {
  int32_t v = 0;
  if (MsgReadInt32(request, &v) != 0)
    throw ofw::BadDataException(ofw::format("Malformed request: cannot read %s", what), 0, __FILE__, __LINE__);
  return v;
}

}  // namespace

void LRPC2ServerSession::HandleQueryVgdParameters(LRPC2Msg*, LRPC2Msg* reply) {
  MsgWriteInt32(reply, ofw::Props().getInt("spool.diskspace.min", 10));
  MsgWriteInt32(reply, ofw::Props().getInt("spool.diskspace.softlimit", 12));
}

void LRPC2ServerSession::HandleQueryVgdParameter(LRPC2Msg* request, LRPC2Msg* reply) {
  std::string key = readString(request, "key");
  MsgWriteString(reply, ofw::Props().getProperty(key).c_str());
}

void LRPC2ServerSession::HandleQuerySpoolSize(LRPC2Msg*, LRPC2Msg* reply, bool auditTrail) {
  uint64_t size = auditTrail ? auditor().getATDbSize() : auditor().getDbSize();
  MsgWriteString(reply, std::to_string(size).c_str());
}

void LRPC2ServerSession::HandleQueryDespoolRate(LRPC2Msg*, LRPC2Msg* reply, bool auditTrail) {
  uint32_t rate = auditTrail ? auditor().despoolATRate() : auditor().despoolRate();
  MsgWriteString(reply, (std::to_string(rate) + "/second").c_str());
}

void LRPC2ServerSession::HandleResumeSpool(LRPC2Msg* request, LRPC2Msg* reply) {
  if (!ClientIsRoot()) {
    MsgWriteInt32(reply, 500);
    return;
  }
  std::string name = readString(request, "spool name");
  int32_t status = 503;
  try {
    if (auditor().resumeSpool(name)) status = 0;
  } catch (const std::exception& e) {
    OFW_ERROR(logger_, "Problem resuming spool: %s", e.what());
  }
  MsgWriteInt32(reply, status);
}

void LRPC2ServerSession::HandleQueryActionCount(LRPC2Msg*, LRPC2Msg* reply) {
  uint32_t counts[ovg::AC_COUNT];
  ovg::snapshotActionCounts(counts);
  const ovg::UserLookup& lookup = server_->userLookup();
  ovg::ReportPairs pairs = ovg::actionCountReport(counts, lookup.cacheHits(), lookup.cacheMisses());
  MsgWriteBeginKeyValueSet(reply);
  for (const auto& p : pairs) MsgWriteAppendKeyValuePair(reply, p.first.c_str(), p.second.c_str());
}

void LRPC2ServerSession::HandleQueryIsHooked(LRPC2Msg*, LRPC2Msg* reply) { MsgWriteBool(reply, ovg::IsHooked() ? 1 : 0); }

void LRPC2ServerSession::HandleQueryIsLibauditEnabled(LRPC2Msg*, LRPC2Msg* reply) { MsgWriteBool(reply, 0); }

void LRPC2ServerSession::HandleEnableLibaudit(LRPC2Msg* request, LRPC2Msg* reply) {
  std::lock_guard<std::mutex> g(gMonitoringMutex);
  bool root = ClientIsRoot();
  if (root) {
    // The two switches are read and left unused: nothing to switch here.
    int enable = 0, second = 0;
    MsgReadBool(request, &enable);
    MsgReadBool(request, &second);
  }
  MsgWriteInt32(reply, -1);
  MsgWriteString(reply, root ? kMonitoringUnsupported
                             : "Vigilog advanced monitoring may only be enabled or disabled by root");
}

void LRPC2ServerSession::HandleReloadMonitoring(LRPC2Msg*, LRPC2Msg* reply) {
  std::lock_guard<std::mutex> g(gMonitoringMutex);
  bool root = ClientIsRoot();
  MsgWriteInt32(reply, -1);
  MsgWriteString(reply, root ? kMonitoringUnsupported
                             : "Vigilog advanced monitoring configuration may only be reloaded by root");
}

void LRPC2ServerSession::HandleQueryIsSessionAudited(LRPC2Msg* request, LRPC2Msg* reply) {
  int32_t pid = readInt32(request, "pid");
  int32_t psid = readInt32(request, "psid");
  std::string tty = readString(request, "tty");
  Vigilog::AuditRegistry& reg = auditor().registry();
  std::string id;
  bool audited = false;
  if (!tty.empty() && reg.isTTYAuditing(tty)) {
    OFW_DEBUG(logger_, "tty %s is being audited", tty.c_str());
    id = reg.getSessionIDFromTTY(tty);
    audited = true;
  } else if (psid > 0 && reg.isPSIDAuditing(psid)) {
    OFW_DEBUG(logger_, "Process session ID %d is being audited", psid);
    id = reg.getSessionIDFromPSID(psid);
    audited = true;
  } else if (pid > 0) {
    int parent = ovg::findAuditedAncestor(pid, [&reg](int p) { return reg.isVuvoAuditing(p); });
    if (parent > 0) {
      OFW_DEBUG(logger_, "Parent %d is being audited", parent);
      id = reg.getSessionIDFromVuvoPID(parent);
      audited = true;
    }
  }
  MsgWriteBool(reply, audited ? 1 : 0);
  if (audited) MsgWriteString(reply, id.c_str());
}
