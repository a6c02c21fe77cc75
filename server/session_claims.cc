#include "server/session_claims.h"

#include "server/process_info.h"

namespace ovg {

SessionClaims checkClaims(int peerUid, int pid, const std::string& tty, int psid, const ofw::LoggerPtr& logger) {
  SessionClaims c;
  c.pid = pid;
  c.tty = tty;
  c.psid = psid;
  if (peerUid == 0) return c;
  // An unknown peer (uid < 0) owns nothing.
  if (pid != 0 && (peerUid < 0 || !processOwnedBy(pid, peerUid))) {
    OFW_WARN(logger, "Pid %d is not a process of uid %d; not registered", pid, peerUid);
    c.pidOk = false;
  }
  if (peerUid < 0 || !terminalOwnedBy(tty, peerUid)) {
    OFW_WARN(logger, "Terminal %s does not belong to uid %d; not registered", tty.c_str(), peerUid);
    c.ttyOk = false;
  }
  if (psid != -1 && !groupClaimAllowed(peerUid, psid)) {
    OFW_WARN(logger, "Session id %d is not a process group of uid %d; not registered", psid, peerUid);
    c.psidOk = false;
  }
  return c;
}

bool groupClaimAllowed(int peerUid, int pgid) {
  return peerUid == 0 || (peerUid > 0 && processGroupOwnedBy(pgid, peerUid));
}

Registered registerClaims(Vigilog::AuditRegistry& reg, const SessionClaims& claims, const std::string& sessionId) {
  Registered r;
  r.pid = claims.pidOk && reg.addVuvoPID(claims.pid, sessionId);
  if (r.pid) reg.addCmdAuditOvgsh(claims.pid, sessionId);
  r.tty = claims.ttyOk && reg.addTTY(claims.tty, sessionId);
  r.psid = claims.psidOk && claims.psid != -1 && reg.addPSID(claims.psid, sessionId);
  return r;
}

void unregisterClaims(Vigilog::AuditRegistry& reg, const SessionClaims& claims, const Registered& added,
                      const std::string& sessionId) {
  if (added.psid) reg.removePSID(claims.psid, sessionId);
  if (added.tty) reg.removeTTY(claims.tty, sessionId);
  if (added.pid) {
    reg.removeVuvoPID(claims.pid, sessionId);
    reg.removeCmdAuditOvgsh(claims.pid, sessionId);
  }
}

}  // namespace ovg
