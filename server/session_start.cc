#include "server/session_start.h"

#include "ofw/config/properties.h"

namespace ovg {

namespace {

bool listed(const ofw::ValueList& list, const std::string& item) {
  if (!list) return false;
  for (const std::string& s : *list)
    if (s == item) return true;
  return false;
}

std::string baseName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

StartRequest readStartRequest(RequestReader& r, int v) {
  StartRequest s;
  s.version = v;
  if (v >= 5) {
    s.ovgshPid = r.int32("ovgsh pid");
    s.ovgshParentPid = r.int32("ovgsh parent pid");
    s.shellPid = r.int32("shell pid");
  }
  s.psid = r.int32("psid");
  s.userGiven = v >= 17 ? r.boolean("user given") : false;
  s.user = r.string("user name");
  s.tty = r.string("tty");
  if (v >= 4) s.slave = r.string("slave pty");
  s.string1 = r.string("first shell string");
  s.string2 = r.string("second shell string");
  if (v >= 2) s.program = r.string("program name");
  s.isAuditCommand = v >= 9 ? r.boolean("audit command flag") : false;
  bool secondFlag = v >= 12 ? r.boolean("second flag") : false;
  s.isNssCmdShell = v >= 12 && !s.isAuditCommand && !secondFlag;
  if (v >= 10 && v <= 15) r.string("reserved string");
  if (v >= 11) s.actualUser = r.string("actual user name");
  if (v >= 13) {
    std::string text = r.string("related session");
    if (!text.empty()) s.related = ofw::Guid::fromSwappedString(text);
  }
  s.startTime = v >= 14 ? timevalFromBlob(r.blob("start time")) : now();
  s.argc = r.int32("argc");
  s.argv.push_back(r.string("argv[0]"));
  return s;
}

bool isInitScript(const StartRequest& s) {
  const std::string& a0 = s.argv.at(0);
  if ((!a0.empty() && a0[0] == '-') || (!(a0.size() && a0[0] == '/') && a0 != "sh") || s.program == "xterm")
    return false;
  if (baseName(a0) == ofw::Props().getProperty("vgsh.shell.name", "ovgsh")) return false;
  return listed(ofw::Props().getValueList("vgd.ignore.nonlogin.ttys"), s.tty);
}

StartDecision decideStart(Vigilog::AuditRegistry& reg, const StartRequest& s, bool initScript, int parentAudited) {
  StartDecision d;
  d.isParentAudit = parentAudited != 0;
  d.auditThisTTY = !reg.isTTYAuditing(s.tty);
  d.auditThisPSID = s.psid != -1 && !reg.isPSIDAuditing(s.psid);
  d.audited = (d.auditThisPSID || (s.psid == -1 && d.auditThisTTY) || s.isAuditCommand) && !initScript &&
              !d.isParentAudit;
  if (d.audited) return d;
  if (s.psid == -1 || reg.isPSIDAuditing(s.psid)) {
    d.status = 4;
    d.existingId = reg.getSessionIDFromPSID(s.psid);
  } else if (!reg.isTTYAuditing(s.tty)) {
    if (d.isParentAudit) {
      d.status = 4;
      d.existingId = reg.getSessionIDFromVuvoPID(parentAudited);
    }
  } else {
    d.status = 4;
    d.existingId = reg.getSessionIDFromTTY(s.tty);
  }
  return d;
}

}  // namespace ovg
